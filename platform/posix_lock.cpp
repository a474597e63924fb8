// The device's named locks on a POSIX host: an exclusive flock on a file named like the device's
// events, which the kernel drops with the last descriptor, however the process ends.
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform.h"
#include "posix_internal.h"

struct PlatLock {
  int fd;
};

// Beside the named semaphores where the host keeps them in a folder.
static std::string LockFolder() {
  struct stat st;
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) return "/dev/shm";
  const char* temporary = getenv("TMPDIR");
  return temporary != nullptr && *temporary ? temporary : "/tmp";
}

int PlatLockTake(const char16_t* name, PlatLock** lock) {
  std::string objectName;
  int result = DeviceObjectName(name, &objectName);
  if (result != PLAT_OK) return result;
  std::string path = LockFolder() + "/" + objectName + ".lock";
  // The file is never removed: one unlinked while another process is about to lock it would let
  // two holders in, each with a file of its own.
  int fd = osOpen(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return TranslateErrno(errno);
  if (osLock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    osClose(fd);
    return TranslateErrno(error);
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
