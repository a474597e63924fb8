// The CE 6.0 volume calls as a PC's Windows answers them, for every build with desktop headers:
// the device's coredll has both, a PC's kernel32 neither.
#include "win32_ce6.h"

// A PC tells the cluster for a volume's root only: the path's volume first, then its cluster.
extern "C" BOOL WINAPI CeGetVolumeInfoW(LPCWSTR pszRootPath, CE_VOLUME_INFO_LEVEL InfoLevel,
                                 LPCE_VOLUME_INFO lpVolumeInfo) {
  WCHAR volume[MAX_PATH + 8];
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
  if (InfoLevel != CeVolumeInfoLevelStandard || lpVolumeInfo->cbSize < sizeof(CE_VOLUME_INFO)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!GetVolumePathNameW(pszRootPath, volume, MAX_PATH + 8) ||
      !GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) {
    return FALSE;
  }
  ZeroMemory(lpVolumeInfo, sizeof(CE_VOLUME_INFO));
  lpVolumeInfo->cbSize = sizeof(CE_VOLUME_INFO);
  lpVolumeInfo->dwBlockSize = sectorsPerCluster * bytesPerSector;
  return TRUE;
}

// A PC journals its folder changes itself (and flushing a whole volume takes an administrator);
// the files' data went to the medium as each was closed.
extern "C" BOOL WINAPI CeFsIoControlW(LPCWSTR, DWORD dwIoControlCode, LPVOID, DWORD, LPVOID,
                                      DWORD, LPDWORD lpBytesReturned, LPOVERLAPPED) {
  if (dwIoControlCode != FSCTL_FLUSH_BUFFERS) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  if (lpBytesReturned != NULL) *lpBytesReturned = 0;
  return TRUE;
}
