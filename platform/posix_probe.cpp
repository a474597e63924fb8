// Whether a file could be deleted now, on a POSIX host: the exclusive lock a deletion takes,
// taken and dropped at once.
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform.h"
#include "posix_internal.h"

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
  if (osLock(fd, LOCK_EX | LOCK_NB) != 0) result = TranslateErrno(errno);
  osClose(fd);  // and with it the lock
  if (result == PLAT_OK) *size = static_cast<ZUInt64>(st.st_size);
  return result;
}
