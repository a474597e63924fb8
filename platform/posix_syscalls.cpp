// The POSIX backend's table of OS calls and its error translation.
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform.h"
#include "posix_internal.h"

static int OpenWithMode(const char* path, int flags, mode_t mode) { return open(path, flags, mode); }

const PosixSyscalls osCallsReal = {OpenWithMode, read,    write,   close,
                                   mkdir,        rmdir,   unlink,  chmod,
                                   opendir,      readdir, inotify_add_watch, statvfs};
PosixSyscalls osCalls = osCallsReal;

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
