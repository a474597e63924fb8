// What a planned fault does to each of the POSIX backend's OS calls; the plan is fault_plan.cpp.
#include <cerrno>
#include <csignal>
#include <unistd.h>

#include "fault_plan.h"
#include "posix_internal.h"

template <typename Function>
static Function* Real(int call) {
  return OsCallOf<Function>(call, true);
}

static int Failed(int error = EIO) {
  errno = error;
  return -1;
}

// What a read or write of n bytes moves under the planned fault, or -1 when it fails outright.
static ssize_t FaultySize(PlatFault fault, size_t n) {
  if (fault == PLAT_FAULT_SHORT && n > 1) return static_cast<ssize_t>(n / 2);
  if (fault == PLAT_FAULT_NO_PROGRESS) return 0;
  return -1;
}

static ssize_t FaultyRead(int fd, void* b, size_t n) {
  size_t limit = FaultReadLimit();
  if (limit != 0 && n > limit) n = limit;
  PlatFault fault;
  if (!FaultDue(OS_READ, &fault)) return Real<ReadCall>(OS_READ)(fd, b, n);
  ssize_t size = FaultySize(fault, n);
  if (size > 0) return Real<ReadCall>(OS_READ)(fd, b, static_cast<size_t>(size));
  return size == 0 ? 0 : Failed();
}
static ssize_t FaultyWrite(int fd, const void* b, size_t n) {
  PlatFault fault;
  if (!FaultDue(OS_WRITE, &fault)) return Real<WriteCall>(OS_WRITE)(fd, b, n);
  ssize_t size = FaultySize(fault, n);
  if (size > 0) return Real<WriteCall>(OS_WRITE)(fd, b, static_cast<size_t>(size));
  return size == 0 ? 0 : Failed();
}
// A failed close still releases the descriptor, as close(2) does.
static int FaultyClose(int fd) {
  PlatFault fault;
  bool due = FaultDue(OS_CLOSE, &fault);
  int result = Real<CloseCall>(OS_CLOSE)(fd);
  return due ? Failed() : result;
}
// So does a failed closedir.
static int FaultyClosedir(DIR* dir) {
  PlatFault fault;
  bool due = FaultDue(OS_CLOSEDIR, &fault);
  int result = Real<ClosedirCall>(OS_CLOSEDIR)(dir);
  return due ? Failed() : result;
}
// A folder that cannot be opened for want of descriptors, as under a low "ulimit -n".
static DIR* FaultyOpendir(const char* p) {
  PlatFault fault;
  if (!FaultDue(OS_OPENDIR, &fault)) return Real<OpendirCall>(OS_OPENDIR)(p);
  errno = EMFILE;
  return nullptr;
}
// An entry of an open folder that cannot be read, as on a damaged medium.
static dirent* FaultyReaddir(DIR* dir) {
  PlatFault fault;
  if (!FaultDue(OS_READDIR, &fault)) return Real<ReaddirCall>(OS_READDIR)(dir);
  errno = EIO;
  return nullptr;
}
// The kernel's limit on watches reached.
static int FaultyWatch(int fd, const char* p, uint32_t mask) {
  PlatFault fault;
  return FaultDue(OS_WATCH, &fault) ? Failed(ENOSPC) : Real<WatchCall>(OS_WATCH)(fd, p, mask);
}
// A lock taken with errno left as an earlier call set it, as a successful call may.
static int FaultyLock(int fd, int operation) {
  PlatFault fault;
  if (!FaultDue(OS_LOCK, &fault)) return Real<LockCall>(OS_LOCK)(fd, operation);
  if (fault != PLAT_FAULT_STALE_ERROR) return Failed();
  int earlier = errno;
  int result = Real<LockCall>(OS_LOCK)(fd, operation);
  if (result == 0) errno = earlier;
  return result;
}

// An event that cannot be made, as when the host has no room for another.
static sem_t* FaultyEvent(const char* name, int flags, mode_t mode, unsigned value) {
  PlatFault fault;
  if (!FaultDue(OS_EVENT, &fault)) return Real<EventCall>(OS_EVENT)(name, flags, mode, value);
  errno = ENOSPC;
  return SEM_FAILED;
}

static char* FaultyRealpath(const char* path, char* resolved) {
  PlatFault fault;
  if (!FaultDue(OS_REALPATH, &fault)) return Real<RealpathCall>(OS_REALPATH)(path, resolved);
  errno = EIO;
  return nullptr;
}

// Every other call fails with an I/O error and does nothing.
template <int call, typename Result, typename... Args>
static Result FailingCall(Args... args) {
  PlatFault fault;
  if (FaultDue(call, &fault)) return static_cast<Result>(Failed());
  return reinterpret_cast<Result (*)(Args...)>(osCalls[call].real)(args...);
}

const OsCallPointer faultyCalls[] = {
    reinterpret_cast<OsCallPointer>(FailingCall<OS_OPEN, int, const char*, int, mode_t>),
    reinterpret_cast<OsCallPointer>(FaultyRead),
    reinterpret_cast<OsCallPointer>(FaultyWrite),
    reinterpret_cast<OsCallPointer>(FaultyClose),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_MKDIR, int, const char*, mode_t>),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_RMDIR, int, const char*>),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_UNLINK, int, const char*>),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_CHMOD, int, const char*, mode_t>),
    reinterpret_cast<OsCallPointer>(FaultyOpendir),
    reinterpret_cast<OsCallPointer>(FaultyReaddir),
    reinterpret_cast<OsCallPointer>(FaultyClosedir),
    reinterpret_cast<OsCallPointer>(FaultyWatch),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_STATVFS, int, const char*, struct statvfs*>),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_SEEK, off_t, int, off_t, int>),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_SIZE, int, int, struct stat*>),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_ATTRIBUTES, int, const char*, struct stat*>),
    reinterpret_cast<OsCallPointer>(FaultyLock),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_FLUSH, int, int>),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_TRUNCATE, int, int, off_t>),
    reinterpret_cast<OsCallPointer>(FaultyEvent),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_SET, int, sem_t*>),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_MODULE, ssize_t, const char*, char*, size_t>),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_STAT, int, const char*, struct stat*>),
    reinterpret_cast<OsCallPointer>(FaultyRealpath),
    reinterpret_cast<OsCallPointer>(FailingCall<OS_WATCHER, int, int>),
};
static_assert(sizeof faultyCalls / sizeof faultyCalls[0] == OS_CALL_COUNT, "one for every call");

// SIGKILL, as PlatProcessKill ends a process: its parent sees it killed.
void CutPower() {
  kill(getpid(), SIGKILL);
  _exit(137);
}
