// The updater with one power cut planned: zelt-cut-updater CALL NTH runs the update and ends the
// process at once before the nth call of the named OS call (platform_testing.h), as a power cut
// would. A cut ends it as a killed process (exit status -1 through the platform), else it ends
// with the update's own status; 3 for a usage error. With "fail" after NTH that call fails as the
// medium failing it would, and the run goes on.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform_testing.h"
#include "update_run.h"

int main(int argc, char** argv) {
  bool fail = argc == 4 && std::string(argv[3]) == "fail";
  int nth = argc == 3 || fail ? std::atoi(argv[2]) : 0;
  if (nth <= 0 || PlatTestInjectFault(argv[1], nth, fail ? PLAT_FAULT_ERROR : PLAT_FAULT_CUT) != 0) {
    std::fprintf(stderr, "usage: zelt-cut-updater CALL NTH [fail]\n");
    return 3;
  }
  return RunUpdate();
}
