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

// Each row's function taken as the row's type, so that a row whose type does not fit its
// function does not compile.
#define OS_CALL_ROW(id, name, accessor, function, Result, params, args)                    \
  {name, reinterpret_cast<OsCallPointer>(static_cast<OsCallType<id>::Type>(function)), \
   reinterpret_cast<OsCallPointer>(static_cast<OsCallType<id>::Type>(function))},
OsCall osCalls[] = {POSIX_OS_CALLS(OS_CALL_ROW)};
#undef OS_CALL_ROW
const int osCallCount = OS_CALL_COUNT;

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
