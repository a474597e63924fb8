// What a run proves before it deletes anything, through the Win32 API: whether a file could be
// deleted now and a volume's free space; and the device's run lock, which keeps a second run out.
#include <stdlib.h>
#include <string.h>

#include "device_rules.h"
#include "raw_file.h"
#include "win32_internal.h"

// ---- Run lock ----------------------------------------------------------------------------------
// A named mutex: whoever created it holds the lock, and it vanishes with its last handle, however
// its holder ends. Only its existence counts, so no thread ownership is involved.

struct PlatLock {
  HANDLE handle;
};

int PlatLockTake(const ZChar* name, PlatLock** lock) {
  ZChar hostName[PLAT_MAX_PATH];
  int result = name[0] != 0 ? HostObjectName(name, hostName) : PLAT_ERR_INVALID;
  if (result != PLAT_OK) return result;
  // Only a cleared error tells a new mutex from one that existed: the device's OS does not
  // promise to clear it on success.
  SetLastError(ERROR_SUCCESS);
  HANDLE handle = osCreateMutex(NULL, FALSE, hostName);
  if (handle == NULL) return LastError();
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    osCloseHandle(handle);
    return PLAT_ERR_IN_USE;
  }
  *lock = static_cast<PlatLock*>(malloc(sizeof(PlatLock)));
  if (*lock == NULL) {
    osCloseHandle(handle);
    return PLAT_ERR_NO_MEMORY;
  }
  (*lock)->handle = handle;
  return PLAT_OK;
}

void PlatLockRelease(PlatLock* lock) {
  osCloseHandle(lock->handle);
  free(lock);
}

// ---- Whether a file could be deleted now --------------------------------------------------------

// A deletion needs the file unshared: an open for reading that lets nobody in proves it could
// happen now. A link, or anything else that is no file, is deleted without touching its target.
int PlatFileProbe(const ZChar* path, ZUInt64* size) {
  *size = 0;
  ZChar host[HOST_PATH_MAX];
  DWORD attributes = 0;
  int result = ToHostPath(path, host);
  if (result == PLAT_OK) result = HostAttributes(host, &attributes);
  if (result != PLAT_OK) return result;
  if ((attributes & (kLinkAttribute | FILE_ATTRIBUTE_DIRECTORY)) != 0) return PLAT_OK;
  HANDLE handle =
      osCreateFile(host, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  RawHandle raw;
  raw.handle = handle;
  result = RawSize(raw, size);
  osCloseHandle(handle);
  if (result != PLAT_OK) *size = 0;
  return result;
}

// ---- Free space ---------------------------------------------------------------------------------

int PlatVolumeFreeSpace(const ZChar* path, ZUInt64* freeBytes, ZUInt32* clusterBytes) {
  ZChar host[HOST_PATH_MAX];
  DWORD attributes = 0;
  int result = ToHostPath(path, host);
  if (result == PLAT_OK) result = HostAttributes(host, &attributes);
  if (result != PLAT_OK) return result;
  // Takes a folder; for a file, the folder that holds it.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    size_t length = TextLength(host);
    while (length > 0 && !IsPathSeparator(host[length - 1])) length--;
    host[length] = 0;
  }
  // What the caller may use, which a quota can make less than the volume's free space.
  ULARGE_INTEGER available;
  if (!osGetDiskFreeSpaceEx(host, &available, NULL, NULL)) return LastError();
  *freeBytes = available.QuadPart;
  // The volume's own allocation unit; where the OS does not tell it, one that no volume of the
  // device's exceeds, so that a count in clusters can only come out too large.
  ZChar root[HOST_PATH_MAX];
  VolumeRootOf(host, root);
  CE_VOLUME_INFO info;
  memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  bool told = osCeGetVolumeInfo(root, CeVolumeInfoLevelStandard, &info) && info.dwBlockSize != 0;
  *clusterBytes = told ? info.dwBlockSize : static_cast<ZUInt32>(PLAT_LARGEST_CLUSTER);
  return PLAT_OK;
}
