// The free space of a volume on a POSIX host.
#include <cerrno>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <string>

#include "platform.h"
#include "posix_internal.h"

int PlatVolumeFreeSpace(const char16_t* path, ZUInt64* freeBytes) {
  std::string host;
  bool exists = false;
  int result = ResolveDevicePath(path, RESOLVE_OPEN, &host, &exists);
  if (result != PLAT_OK) return result;
  struct stat st;
  if (!exists || stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return PLAT_ERR_NOT_FOUND;
  struct statvfs volume;
  if (statvfs(host.c_str(), &volume) != 0) return TranslateErrno(errno);
  // The blocks left to unprivileged writers, as the device reports what its caller may use.
  *freeBytes = static_cast<ZUInt64>(volume.f_bavail) * volume.f_frsize;
  return PLAT_OK;
}
