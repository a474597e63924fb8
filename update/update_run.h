// One update: empties \Zeltrovan, copies Zeltrovan.7z from the running program's directory into
// it, unpacks it there and tells the waiting process the outcome through one of two named events.
#pragma once

#include "device_types.h"

// The whole run, once per process: the run lock and the events it opens are held until the
// process ends. Returns the updater's exit code, 0 for a successful update and -1 otherwise.
int RunUpdate();
