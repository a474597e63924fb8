// Swaps entries of the POSIX backend's OS call table for counting versions that fail once.
#include <cerrno>
#include <cstring>

#include "platform_testing.h"
#include "posix_internal.h"

struct Plan {
  int remaining;  // calls until the fault; 0 when none is planned
  PlatFault fault;
};
static Plan openPlan, readPlan, writePlan, closePlan, mkdirPlan, rmdirPlan, unlinkPlan, chmodPlan;
static Plan opendirPlan;

// True on the call that must fail; the plan is then spent.
static bool Due(Plan* plan) {
  if (plan->remaining == 0) return false;
  return --plan->remaining == 0;
}

static int Failed() {
  errno = EIO;
  return -1;
}

static int FaultyOpen(const char* p, int f, mode_t m) {
  return Due(&openPlan) ? Failed() : osCallsReal.open(p, f, m);
}
static ssize_t FaultyRead(int fd, void* b, size_t n) {
  if (!Due(&readPlan)) return osCallsReal.read(fd, b, n);
  return readPlan.fault == PLAT_FAULT_SHORT && n > 1 ? osCallsReal.read(fd, b, n / 2) : Failed();
}
static ssize_t FaultyWrite(int fd, const void* b, size_t n) {
  if (!Due(&writePlan)) return osCallsReal.write(fd, b, n);
  return writePlan.fault == PLAT_FAULT_SHORT && n > 1 ? osCallsReal.write(fd, b, n / 2) : Failed();
}
// A failed close still releases the descriptor, as close(2) does.
static int FaultyClose(int fd) {
  bool due = Due(&closePlan);
  int result = osCallsReal.close(fd);
  return due ? Failed() : result;
}
static int FaultyMkdir(const char* p, mode_t m) { return Due(&mkdirPlan) ? Failed() : osCallsReal.mkdir(p, m); }
static int FaultyRmdir(const char* p) { return Due(&rmdirPlan) ? Failed() : osCallsReal.rmdir(p); }
static int FaultyUnlink(const char* p) { return Due(&unlinkPlan) ? Failed() : osCallsReal.unlink(p); }
static int FaultyChmod(const char* p, mode_t m) { return Due(&chmodPlan) ? Failed() : osCallsReal.chmod(p, m); }
static DIR* FaultyOpendir(const char* p) {
  if (!Due(&opendirPlan)) return osCallsReal.opendir(p);
  errno = EMFILE;  // the failure a deep tree meets first: no descriptor left
  return nullptr;
}

int PlatTestInjectFault(const char* call, int nth, PlatFault fault) {
  struct Entry {
    const char* name;
    Plan* plan;
  };
  const Entry entries[] = {{"open", &openPlan},     {"read", &readPlan},   {"write", &writePlan},
                           {"close", &closePlan},   {"mkdir", &mkdirPlan}, {"rmdir", &rmdirPlan},
                           {"unlink", &unlinkPlan}, {"chmod", &chmodPlan}, {"opendir", &opendirPlan}};
  for (const Entry& entry : entries) {
    if (strcmp(entry.name, call) != 0) continue;
    *entry.plan = Plan{nth, fault};
    osCalls = PosixSyscalls{FaultyOpen,  FaultyRead,  FaultyWrite,  FaultyClose,  FaultyMkdir,
                            FaultyRmdir, FaultyUnlink, FaultyChmod, FaultyOpendir};
    return 0;
  }
  return -1;
}

void PlatTestClearFaults() {
  openPlan = readPlan = writePlan = closePlan = Plan{0, PLAT_FAULT_ERROR};
  mkdirPlan = rmdirPlan = unlinkPlan = chmodPlan = opendirPlan = Plan{0, PLAT_FAULT_ERROR};
  osCalls = osCallsReal;
}
