// The updater's entry: one update per start, with no arguments.
#include "update_run.h"

int main() { return RunUpdate(); }
