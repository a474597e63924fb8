// What a run proves before it deletes anything, on a POSIX host: whether a file could be deleted
// now and a volume's free space; and the device's run lock, which keeps a second run out.
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>

#include "platform.h"
#include "posix_internal.h"

// ---- Run lock ----------------------------------------------------------------------------------
// An exclusive flock on a file named like the device's events, which the kernel drops with the
// last descriptor, however the process ends.

struct PlatLock {
  int fd;
};

// Beside the named semaphores where the host keeps them in a folder.
static std::string LockFolder() {
  struct stat st;
  if (osStat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) return "/dev/shm";
  const char* temporary = getenv("TMPDIR");
  return temporary != nullptr && *temporary ? temporary : "/tmp";
}

int PlatLockTake(const char16_t* name, PlatLock** lock) {
  std::string objectName;
  int result = HostObjectName(name, &objectName);
  if (result != PLAT_OK) return result;
  std::string path = LockFolder() + "/" + objectName + ".lock";
  // The file is never removed: one unlinked while another process is about to lock it would let
  // two holders in, each with a file of its own.
  int fd = osOpen(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return TranslateErrno(errno);
  result = LockFile(fd, LOCK_EX);
  if (result != PLAT_OK) {
    osClose(fd);
    return result;
  }
  *lock = static_cast<PlatLock*>(malloc(sizeof(PlatLock)));
  if (*lock == nullptr) {
    osClose(fd);
    return PLAT_ERR_NO_MEMORY;
  }
  (*lock)->fd = fd;
  return PLAT_OK;
}

void PlatLockRelease(PlatLock* lock) {
  osClose(lock->fd);
  free(lock);
}

// ---- Whether a file could be deleted now --------------------------------------------------------
// The exclusive lock a deletion takes, taken and dropped at once.

int PlatFileProbe(const char16_t* path, ZUInt64* size) {
  *size = 0;
  std::string host;
  bool exists = false;
  int result = ResolveDevicePath(path, RESOLVE_ENTRY, &host, &exists);
  if (result != PLAT_OK) return result;
  struct stat st;
  if (!exists) return PLAT_ERR_NOT_FOUND;
  if (osAttributes(host.c_str(), &st) != 0) return TranslateErrno(errno);
  if (!S_ISREG(st.st_mode)) return PLAT_OK;
  int fd = osOpen(host.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
  if (fd < 0) return TranslateErrno(errno);
  result = LockFile(fd, LOCK_EX);
  osClose(fd);  // and with it the lock
  if (result == PLAT_OK) *size = static_cast<ZUInt64>(st.st_size);
  return result;
}

// ---- Free space ---------------------------------------------------------------------------------

int PlatVolumeFreeSpace(const char16_t* path, ZUInt64* freeBytes, ZUInt32* clusterBytes) {
  std::string host;
  bool exists = false;
  int result = ResolveDevicePath(path, RESOLVE_OPEN, &host, &exists);
  if (result != PLAT_OK) return result;
  if (!exists) return PLAT_ERR_NOT_FOUND;
  struct statvfs volume;
  if (osStatvfs(host.c_str(), &volume) != 0) return TranslateErrno(errno);
  // The fragment is what the blocks are counted in and what a file's tail takes; the older
  // systems that report none have whole blocks only.
  unsigned long unit = volume.f_frsize != 0 ? volume.f_frsize : volume.f_bsize;
  if (unit == 0 || unit > 0xFFFFFFFFul) return PLAT_ERR_IO;
  // The blocks left to unprivileged writers, as the device reports what its caller may use.
  *freeBytes = static_cast<ZUInt64>(volume.f_bavail) * unit;
  *clusterBytes = static_cast<ZUInt32>(unit);
  return PLAT_OK;
}
