// What a planned fault does to each of the POSIX backend's OS calls; the plan is fault_plan.cpp.
#include <cerrno>
#include <csignal>
#include <type_traits>
#include <unistd.h>

#include "fault_plan.h"
#include "posix_internal.h"

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
  if (!FaultDue(OS_READ, &fault)) return RealOsCall<OS_READ>()(fd, b, n);
  ssize_t size = FaultySize(fault, n);
  if (size > 0) return RealOsCall<OS_READ>()(fd, b, static_cast<size_t>(size));
  return size == 0 ? 0 : Failed();
}
static ssize_t FaultyWrite(int fd, const void* b, size_t n) {
  PlatFault fault;
  if (!FaultDue(OS_WRITE, &fault)) return RealOsCall<OS_WRITE>()(fd, b, n);
  ssize_t size = FaultySize(fault, n);
  if (size > 0) return RealOsCall<OS_WRITE>()(fd, b, static_cast<size_t>(size));
  return size == 0 ? 0 : Failed();
}
// A failed close still releases the descriptor, as close(2) does.
static int FaultyClose(int fd) {
  PlatFault fault;
  bool due = FaultDue(OS_CLOSE, &fault);
  int result = RealOsCall<OS_CLOSE>()(fd);
  return due ? Failed() : result;
}
// So does a failed closedir.
static int FaultyClosedir(DIR* dir) {
  PlatFault fault;
  bool due = FaultDue(OS_CLOSEDIR, &fault);
  int result = RealOsCall<OS_CLOSEDIR>()(dir);
  return due ? Failed() : result;
}
// A folder that cannot be opened for want of descriptors, as under a low "ulimit -n".
static DIR* FaultyOpendir(const char* p) {
  PlatFault fault;
  if (!FaultDue(OS_OPENDIR, &fault)) return RealOsCall<OS_OPENDIR>()(p);
  errno = EMFILE;
  return nullptr;
}
// An entry of an open folder that cannot be read, as on a damaged medium.
static dirent* FaultyReaddir(DIR* dir) {
  PlatFault fault;
  if (!FaultDue(OS_READDIR, &fault)) return RealOsCall<OS_READDIR>()(dir);
  errno = EIO;
  return nullptr;
}
// The kernel's limit on watches reached.
static int FaultyWatch(int fd, const char* p, uint32_t mask) {
  PlatFault fault;
  return FaultDue(OS_WATCH, &fault) ? Failed(ENOSPC) : RealOsCall<OS_WATCH>()(fd, p, mask);
}
// A lock taken with errno left as an earlier call set it, as a successful call may.
static int FaultyLock(int fd, int operation) {
  PlatFault fault;
  if (!FaultDue(OS_LOCK, &fault)) return RealOsCall<OS_LOCK>()(fd, operation);
  if (fault != PLAT_FAULT_STALE_ERROR) return Failed();
  int earlier = errno;
  int result = RealOsCall<OS_LOCK>()(fd, operation);
  if (result == 0) errno = earlier;
  return result;
}

// An event that cannot be made, as when the host has no room for another.
static sem_t* FaultyEvent(const char* name, int flags, mode_t mode, unsigned value) {
  PlatFault fault;
  if (!FaultDue(OS_EVENT, &fault)) return RealOsCall<OS_EVENT>()(name, flags, mode, value);
  errno = ENOSPC;
  return SEM_FAILED;
}

// Every other call fails with an I/O error and does nothing.
template <int call, typename Function = typename OsCallType<call>::Type>
struct Failing;
template <int call, typename Result, typename... Args>
struct Failing<call, Result (*)(Args...)> {
  static Result Call(Args... args) {
    PlatFault fault;
    if (!FaultDue(call, &fault)) return RealOsCall<call>()(args...);
    errno = EIO;
    if constexpr (std::is_pointer_v<Result>) {
      return nullptr;
    } else {
      return static_cast<Result>(-1);
    }
  }
};

#define FAULTY(call, function) {call, reinterpret_cast<OsCallPointer>(function)}
#define FAILING(call) FAULTY(call, Failing<call>::Call)
const FaultyCall faultyCalls[] = {
    FAILING(OS_OPEN),          FAULTY(OS_READ, FaultyRead),         FAULTY(OS_WRITE, FaultyWrite),
    FAULTY(OS_CLOSE, FaultyClose), FAILING(OS_MKDIR),               FAILING(OS_RMDIR),
    FAILING(OS_UNLINK),        FAILING(OS_CHMOD),                   FAULTY(OS_OPENDIR, FaultyOpendir),
    FAULTY(OS_READDIR, FaultyReaddir), FAULTY(OS_CLOSEDIR, FaultyClosedir),
    FAULTY(OS_WATCH, FaultyWatch), FAILING(OS_STATVFS),             FAILING(OS_SEEK),
    FAILING(OS_SIZE),          FAILING(OS_ATTRIBUTES),              FAULTY(OS_LOCK, FaultyLock),
    FAILING(OS_FLUSH),         FAILING(OS_TRUNCATE),                FAULTY(OS_EVENT, FaultyEvent),
    FAILING(OS_SET),           FAILING(OS_EVENT_VALUE),             FAILING(OS_EVENT_DELETE),
    FAILING(OS_MODULE),        FAILING(OS_STAT),                    FAILING(OS_REALPATH),
    FAILING(OS_WATCHER),       FAILING(OS_NOTICES),                 FAILING(OS_CWD),
};
const int faultyCallCount = sizeof faultyCalls / sizeof faultyCalls[0];
static_assert(sizeof faultyCalls / sizeof faultyCalls[0] == OS_CALL_COUNT, "one for every call");

// SIGKILL, as PlatProcessKill ends a process: its parent sees it killed.
void CutPower() {
  kill(getpid(), SIGKILL);
  _exit(137);
}
