// What a run proves before it deletes anything, and the lock that keeps a second run out, through
// the Win32 API: a file opened without sharing, the free space of a volume, a named mutex.
#include <stdlib.h>

#include "win32_internal.h"

int PlatFileProbe(const ZChar* path, ZUInt64* size) {
  *size = 0;
  ZChar host[HOST_PATH_MAX];
  int result = ToHostPath(path, host);
  if (result != PLAT_OK) return result;
  DWORD attributes = GetFileAttributesW(host);
  if (attributes == 0xFFFFFFFF) return LastError();
  // Opening a link would reach what it names; deleting it never does.
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | kLinkAttribute)) return PLAT_OK;
  // No sharing, as a deletion needs the file: any other handle on it makes this fail.
  HANDLE file =
      winCalls.createFile(host, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  DWORD high = 0;
  // All ones is a valid low part too; only a cleared error tells a failure from it.
  SetLastError(NO_ERROR);
  DWORD low = GetFileSize(file, &high);
  if (low == 0xFFFFFFFF && GetLastError() != NO_ERROR) result = LastError();
  winCalls.closeHandle(file);
  if (result == PLAT_OK) *size = (static_cast<ZUInt64>(high) << 32) | low;
  return result;
}

int PlatVolumeFreeSpace(const ZChar* path, ZUInt64* freeBytes) {
  ZChar host[HOST_PATH_MAX];
  int result = ToHostPath(path, host);
  if (result != PLAT_OK) return result;
  DWORD attributes = GetFileAttributesW(host);
  if (attributes == 0xFFFFFFFF) return LastError();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return PLAT_ERR_NOT_FOUND;
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(host, &available, NULL, NULL)) return LastError();
  *freeBytes = available.QuadPart;
  return PLAT_OK;
}

// ---- Run lock ----------------------------------------------------------------------------------

struct PlatLock {
  HANDLE mutex;
};

int PlatLockTake(const ZChar* name, PlatLock** lock) {
  ZChar hostName[PLAT_MAX_PATH];
  int result = name[0] != 0 ? ToHostEventName(name, hostName) : PLAT_ERR_INVALID;
  if (result != PLAT_OK) return result;
  HANDLE mutex = CreateMutexW(NULL, FALSE, hostName);
  if (mutex == NULL) return LastError();
  // A mutex whose holder ended without releasing it is abandoned, and taken as a free one is.
  DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return waited == WAIT_TIMEOUT ? PLAT_ERR_IN_USE : PLAT_ERR_IO;
  }
  *lock = static_cast<PlatLock*>(malloc(sizeof(PlatLock)));
  if (*lock == NULL) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return PLAT_ERR_NO_MEMORY;
  }
  (*lock)->mutex = mutex;
  return PLAT_OK;
}

void PlatLockRelease(PlatLock* lock) {
  ReleaseMutex(lock->mutex);
  CloseHandle(lock->mutex);
  free(lock);
}
