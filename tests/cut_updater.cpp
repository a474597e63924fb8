// The updater with one fault of the plan (platform_testing.h) planned: zelt-cut-updater CALL NTH
// [FAULT] runs the update and gives the nth call of the named OS call the fault: "cut" (the
// default) ends the process at once before it, as a power cut would; "error", "short" and
// "no-progress" make it fail, move half or move nothing. A cut ends it as a killed process (exit
// status -1 through the platform), else it ends with the update's own status; 3 for a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform_testing.h"
#include "update_run.h"

int main(int argc, char** argv) {
  struct Named {
    const char* name;
    PlatFault fault;
  };
  const Named faults[] = {{"cut", PLAT_FAULT_CUT}, {"error", PLAT_FAULT_ERROR},
                          {"short", PLAT_FAULT_SHORT}, {"no-progress", PLAT_FAULT_NO_PROGRESS}};
  int nth = argc == 3 || argc == 4 ? std::atoi(argv[2]) : 0;
  const Named* chosen = argc == 4 ? nullptr : &faults[0];
  for (const Named& named : faults) {
    if (argc == 4 && std::strcmp(argv[3], named.name) == 0) chosen = &named;
  }
  if (nth <= 0 || chosen == nullptr || PlatTestInjectFault(argv[1], nth, chosen->fault) != 0) {
    std::fprintf(stderr, "usage: zelt-cut-updater CALL NTH [cut|error|short|no-progress]\n");
    return 3;
  }
  return RunUpdate();
}
