// The POSIX backend's table of OS calls and its error translation.
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>

#include "platform.h"
#include "posix_internal.h"

static int OpenWithMode(const char* path, int flags, mode_t mode) { return open(path, flags, mode); }
static sem_t* OpenSemaphore(const char* name, int flags, mode_t mode, unsigned value) {
  return sem_open(name, flags, mode, value);
}
// A folder that still has entries refuses removal with EEXIST on some file systems.
static int RemoveFolder(const char* path) {
  int result = rmdir(path);
  if (result != 0 && errno == EEXIST) errno = ENOTEMPTY;
  return result;
}

#define OS_CALL(name, function) {name, reinterpret_cast<OsCallPointer>(function), \
                                 reinterpret_cast<OsCallPointer>(function)}
// In the order of PosixCall.
OsCall osCalls[] = {
    OS_CALL("open", OpenWithMode),
    OS_CALL("read", read),
    OS_CALL("write", write),
    OS_CALL("close", close),
    OS_CALL("mkdir", mkdir),
    OS_CALL("rmdir", RemoveFolder),
    OS_CALL("unlink", unlink),
    OS_CALL("chmod", chmod),
    OS_CALL("opendir", opendir),
    OS_CALL("readdir", readdir),
    OS_CALL("closedir", closedir),
    OS_CALL("inotify_add_watch", inotify_add_watch),
    OS_CALL("statvfs", statvfs),
    OS_CALL("seek", lseek),
    OS_CALL("size", fstat),
    OS_CALL("attributes", lstat),
    OS_CALL("lock", flock),
    OS_CALL("flush", syncfs),
    OS_CALL("truncate", ftruncate),
    OS_CALL("event", OpenSemaphore),
    OS_CALL("set", sem_post),
    OS_CALL("module", readlink),
    OS_CALL("stat", stat),
    OS_CALL("realpath", realpath),
    OS_CALL("inotify_init", inotify_init1),
};
const int osCallCount = sizeof osCalls / sizeof osCalls[0];
static_assert(sizeof osCalls / sizeof osCalls[0] == OS_CALL_COUNT, "an entry for every call");

int TranslateErrno(int error) {
  switch (error) {
    case 0: return PLAT_OK;
    case ENOENT:
    case ENOTDIR: return PLAT_ERR_NOT_FOUND;
    case EEXIST: return PLAT_ERR_EXISTS;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return PLAT_ERR_ACCESS;
    case EWOULDBLOCK:
    case EBUSY:
    case ETXTBSY: return PLAT_ERR_IN_USE;
    case ENOTEMPTY: return PLAT_ERR_NOT_EMPTY;
    case EINVAL:
    case ENAMETOOLONG:
    case ELOOP: return PLAT_ERR_INVALID;
    case ENOMEM: return PLAT_ERR_NO_MEMORY;
    default: return PLAT_ERR_IO;
  }
}
