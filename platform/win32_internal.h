// Shared by the Win32 backend's files only; nothing outside platform/ includes it.
#pragma once

#include <windows.h>

#include "device_names.h"
#include "platform.h"

// Every OS call whose failure a test must be able to provoke goes through this table, so that a
// test can swap in a failing version without any test code in the product's paths.
struct Win32Syscalls {
  HANDLE(WINAPI* createFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* readFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* closeHandle)(HANDLE);
  BOOL(WINAPI* createDirectory)(LPCWSTR, LPSECURITY_ATTRIBUTES);
  BOOL(WINAPI* removeDirectory)(LPCWSTR);
  BOOL(WINAPI* deleteFile)(LPCWSTR);
  BOOL(WINAPI* setFileAttributes)(LPCWSTR, DWORD);
  HANDLE(WINAPI* findFirstFile)(LPCWSTR, LPWIN32_FIND_DATAW);
  BOOL(WINAPI* findNextFile)(HANDLE, LPWIN32_FIND_DATAW);
  HANDLE(WINAPI* createMutex)(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR);
  BOOL(WINAPI* flushFileBuffers)(HANDLE);
  BOOL(WINAPI* getDiskFreeSpaceEx)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
};
extern Win32Syscalls winCalls;
extern const Win32Syscalls winCallsReal;

// The one place where a Win32 error code becomes a PlatResult.
int TranslateWin32Error(DWORD error);
// The calling thread's last error, translated.
int LastError();

struct PlatEvent {
  HANDLE handle;
};

// Room for a path as the OS takes it: on a PC the device root's folder, a device path below it
// and a "\*.*" pattern behind that.
enum { HOST_PATH_MAX = 2 * PLAT_MAX_PATH + 16 };

// Copies text, terminated, into a buffer of size units. False, with the buffer empty when size
// is at least 1, when it does not fit.
bool CopyText(const ZChar* text, ZChar* buffer, size_t size);

#ifdef _WIN32_WCE
// The device's own paths and names are what its OS takes. Its OS refuses a path too long as well;
// refusing it here first keeps the result the same as on a PC.
inline int ToHostPath(const ZChar* devicePath, ZChar* hostPath) {
  if (!DevicePathFits(devicePath, 0)) return PLAT_ERR_INVALID;
  return CopyText(devicePath, hostPath, HOST_PATH_MAX) ? PLAT_OK : PLAT_ERR_INVALID;
}
inline int ToDevicePath(const ZChar* hostPath, ZChar* devicePath, size_t size) {
  return CopyText(hostPath, devicePath, size) ? PLAT_OK : PLAT_ERR_INVALID;
}
inline int ToHostEventName(const ZChar* name, ZChar* hostName) {
  return CopyText(name, hostName, PLAT_MAX_PATH) ? PLAT_OK : PLAT_ERR_INVALID;
}
// Programs on the device learn a volume's free bytes (GetDiskFreeSpaceEx) but not its cluster:
// coredll has no call that tells it, and CeGetVolumeInfo's block size comes through storeapi,
// outside coredll, without a word on what a FAT volume puts there. The largest cluster the
// device's media use stands in, so that a count in clusters is never too small.
inline int HostClusterBytes(const ZChar*, ZUInt32* clusterBytes) {
  *clusterBytes = PLAT_ASSUMED_CLUSTER;
  return PLAT_OK;
}
#else
// On a PC the device's "\" is a folder (win32_pc.cpp).
// The path the OS calls take for a device path, in HOST_PATH_MAX units. PLAT_ERR_INVALID for a
// ".." component, a path too long for the device (DevicePathFits) or one that does not fit.
int ToHostPath(const ZChar* devicePath, ZChar* hostPath);
// The device path of a full host path, in size units; PLAT_ERR_INVALID when it lies outside the
// device root or does not fit.
int ToDevicePath(const ZChar* hostPath, ZChar* devicePath, size_t size);
// The name the OS knows a device's named event by, in PLAT_MAX_PATH units: two devices on one
// PC never share an event.
int ToHostEventName(const ZChar* name, ZChar* hostName);
// The allocation unit of the volume that holds hostFolder (an existing folder's host path).
int HostClusterBytes(const ZChar* hostFolder, ZUInt32* clusterBytes);
// Makes folder (a host path, absolute or relative to the current directory) the device root;
// "\" or "/" alone make every drive a top-level folder of the device ("\C:\...").
int SetDeviceRootFolder(const ZChar* folder);
#endif
