// Swaps entries of the POSIX backend's OS call table for counting versions that fail once.
#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "platform_testing.h"
#include "posix_internal.h"

struct Plan {
  int remaining;  // calls until the fault; 0 when none is planned
  PlatFault fault;
};
static Plan openPlan, readPlan, writePlan, closePlan, mkdirPlan, rmdirPlan, unlinkPlan, chmodPlan,
    opendirPlan, readdirPlan, watchPlan, statvfsPlan;
static size_t readLimit;  // 0: none

// True on the call that must fail; the plan is then spent. A cut ends the process there.
static bool Due(Plan* plan) {
  if (plan->remaining == 0 || --plan->remaining != 0) return false;
  if (plan->fault == PLAT_FAULT_CUT) _exit(137);
  return true;
}

static int Failed() {
  errno = EIO;
  return -1;
}

// What a read or write of n bytes moves under the planned fault, or -1 when it fails outright.
static ssize_t FaultySize(PlatFault fault, size_t n) {
  if (fault == PLAT_FAULT_SHORT && n > 1) return static_cast<ssize_t>(n / 2);
  if (fault == PLAT_FAULT_NO_PROGRESS) return 0;
  return -1;
}

static int FaultyOpen(const char* p, int f, mode_t m) {
  return Due(&openPlan) ? Failed() : osCallsReal.open(p, f, m);
}
static ssize_t FaultyRead(int fd, void* b, size_t n) {
  if (readLimit != 0 && n > readLimit) n = readLimit;
  if (!Due(&readPlan)) return osCallsReal.read(fd, b, n);
  ssize_t size = FaultySize(readPlan.fault, n);
  return size > 0 ? osCallsReal.read(fd, b, static_cast<size_t>(size)) : size == 0 ? 0 : Failed();
}
static ssize_t FaultyWrite(int fd, const void* b, size_t n) {
  if (!Due(&writePlan)) return osCallsReal.write(fd, b, n);
  ssize_t size = FaultySize(writePlan.fault, n);
  return size > 0 ? osCallsReal.write(fd, b, static_cast<size_t>(size)) : size == 0 ? 0 : Failed();
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
// A folder that cannot be opened for want of descriptors, as under a low "ulimit -n".
static DIR* FaultyOpendir(const char* p) {
  if (!Due(&opendirPlan)) return osCallsReal.opendir(p);
  errno = EMFILE;
  return nullptr;
}
// An entry of an open folder that cannot be read, as on a damaged medium.
static dirent* FaultyReaddir(DIR* dir) {
  if (!Due(&readdirPlan)) return osCallsReal.readdir(dir);
  errno = EIO;
  return nullptr;
}
// The kernel's limit on watches reached.
static int FaultyWatch(int fd, const char* p, uint32_t mask) {
  if (!Due(&watchPlan)) return osCallsReal.inotify_add_watch(fd, p, mask);
  errno = ENOSPC;
  return -1;
}

static int FaultyStatvfs(const char* p, struct statvfs* v) {
  return Due(&statvfsPlan) ? Failed() : osCallsReal.statvfs(p, v);
}

static void UseFaultyCalls() {
  osCalls = PosixSyscalls{FaultyOpen,  FaultyRead,   FaultyWrite,  FaultyClose,   FaultyMkdir,
                          FaultyRmdir, FaultyUnlink, FaultyChmod, FaultyOpendir, FaultyReaddir,
                          FaultyWatch, FaultyStatvfs};
}

int PlatTestInjectFault(const char* call, int nth, PlatFault fault) {
  struct Entry {
    const char* name;
    Plan* plan;
  };
  const Entry entries[] = {{"open", &openPlan},       {"read", &readPlan},
                           {"write", &writePlan},     {"close", &closePlan},
                           {"mkdir", &mkdirPlan},     {"rmdir", &rmdirPlan},
                           {"unlink", &unlinkPlan},   {"chmod", &chmodPlan},
                           {"opendir", &opendirPlan}, {"readdir", &readdirPlan},
                           {"inotify_add_watch", &watchPlan}, {"statvfs", &statvfsPlan}};
  for (const Entry& entry : entries) {
    if (strcmp(entry.name, call) != 0) continue;
    *entry.plan = Plan{nth, fault};
    UseFaultyCalls();
    return 0;
  }
  return -1;
}

void PlatTestLimitReads(size_t maxBytes) {
  readLimit = maxBytes;
  UseFaultyCalls();
}

void PlatTestClearFaults() {
  readLimit = 0;
  openPlan = readPlan = writePlan = closePlan = Plan{0, PLAT_FAULT_ERROR};
  mkdirPlan = rmdirPlan = unlinkPlan = chmodPlan = Plan{0, PLAT_FAULT_ERROR};
  opendirPlan = readdirPlan = watchPlan = statvfsPlan = Plan{0, PLAT_FAULT_ERROR};
  osCalls = osCallsReal;
}
