// The updater with its run on a thread of the device's stack, standing in for zelt-update where
// the OS gives a program's main thread more stack than it asks for.
#include <cstdio>

#include "platform.h"
#include "platform_testing.h"
#include "update_run.h"

int main() {
  int result = -1;
  if (PlatTestRunOnStack(PLAT_DEVICE_STACK, RunUpdate, &result) != PLAT_OK) {
    fprintf(stderr, "zelt-stack-updater: no thread with the device's stack\n");
    return 3;
  }
  return result;
}
