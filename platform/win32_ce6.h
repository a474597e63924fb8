// What Windows CE 6.0 declares for a volume's allocation unit and its file-system controls, which
// older CE SDKs' headers and desktop headers lack. Shared by the Win32 backend's files only.
#pragma once

#include <windows.h>

// storemgr.h of CE 6.0: CeGetVolumeInfoW fills a CE_VOLUME_INFO (cbSize set by the caller) for
// the volume that holds pszRootPath; at CeVolumeInfoLevelStandard its dwBlockSize is the volume's
// allocation unit in bytes. Where the SDK's storemgr.h was read first, its own declarations stand.
#ifndef __STORAGEMGR__
typedef struct _CE_VOLUME_INFO {
  DWORD cbSize;
  DWORD dwAttributes;
  DWORD dwFlags;
  DWORD dwBlockSize;
  WCHAR szStoreName[32];      // STORENAMESIZE
  WCHAR szPartitionName[32];  // PARTITIONNAMESIZE
} CE_VOLUME_INFO, *PCE_VOLUME_INFO, *LPCE_VOLUME_INFO;

typedef enum _CE_VOLUME_INFO_LEVEL {
  CeVolumeInfoLevelStandard,
  CeVolumeInfoLevelSecurity
} CE_VOLUME_INFO_LEVEL;

extern "C" BOOL WINAPI CeGetVolumeInfoW(LPCWSTR pszRootPath, CE_VOLUME_INFO_LEVEL InfoLevel,
                                 LPCE_VOLUME_INFO lpVolumeInfo);
#endif

// fsioctl.h of CE 6.0: CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 33, METHOD_BUFFERED, FILE_ANY_ACCESS),
// sent through CeFsIoControlW to the volume's root to write its caches to the medium.
#ifndef FSCTL_FLUSH_BUFFERS
#define FSCTL_FLUSH_BUFFERS ((0x00000009 << 16) | (33 << 2))
#endif
extern "C" BOOL WINAPI CeFsIoControlW(LPCWSTR pszRootPath, DWORD dwIoControlCode, LPVOID lpInBuf,
                                      DWORD nInBufSize, LPVOID lpOutBuf, DWORD nOutBufSize,
                                      LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
