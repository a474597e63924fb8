// The free space of a volume on a POSIX host.
#include <cerrno>
#include <sys/statvfs.h>

#include <string>

#include "platform.h"
#include "posix_internal.h"

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
