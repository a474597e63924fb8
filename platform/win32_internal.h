// Shared by the Win32 backend's files only; nothing outside platform/ includes it.
#pragma once

#include <windows.h>

#include "device_names.h"
#include "win32_ce6.h"
#include "os_calls.h"
#include "platform.h"

// The Win32 backend's OS calls, in the order of its table (win32_syscalls.cpp); the names a test
// fails them by are in platform_testing.h.
enum Win32Call {
  OS_OPEN, OS_READ, OS_WRITE, OS_CLOSE, OS_MKDIR, OS_RMDIR, OS_UNLINK, OS_CHMOD, OS_OPENDIR,
  OS_READDIR, OS_CLOSEDIR, OS_STATVFS, OS_SEEK, OS_SIZE, OS_ATTRIBUTES, OS_LOCK, OS_FLUSH, OS_EVENT,
  OS_SET, OS_MODULE, OS_VOLUME, OS_FSCTL, OS_CALL_COUNT
};
typedef char OsCallsFitThePlan[static_cast<int>(OS_CALL_COUNT) <= static_cast<int>(OS_CALLS_MOST)
                                   ? 1 : -1];

// Each call as the backend makes it: through its table entry, in its own type.
typedef HANDLE(WINAPI* CreateFileCall)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                       HANDLE);
typedef BOOL(WINAPI* ReadFileCall)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef BOOL(WINAPI* WriteFileCall)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef BOOL(WINAPI* HandleCall)(HANDLE);  // CloseHandle, FindClose, FlushFileBuffers, SetEvent
typedef BOOL(WINAPI* CreateDirectoryCall)(LPCWSTR, LPSECURITY_ATTRIBUTES);
typedef BOOL(WINAPI* PathCall)(LPCWSTR);  // RemoveDirectoryW, DeleteFileW
typedef BOOL(WINAPI* SetAttributesCall)(LPCWSTR, DWORD);
typedef HANDLE(WINAPI* FindFirstCall)(LPCWSTR, LPWIN32_FIND_DATAW);
typedef BOOL(WINAPI* FindNextCall)(HANDLE, LPWIN32_FIND_DATAW);
typedef BOOL(WINAPI* FreeSpaceCall)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
typedef DWORD(WINAPI* SeekCall)(HANDLE, LONG, PLONG, DWORD);
typedef DWORD(WINAPI* SizeCall)(HANDLE, LPDWORD);
typedef DWORD(WINAPI* GetAttributesCall)(LPCWSTR);
typedef HANDLE(WINAPI* CreateMutexCall)(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR);
typedef DWORD(WINAPI* ModuleCall)(HMODULE, LPWSTR, DWORD);
typedef HANDLE(WINAPI* CreateEventCall)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR);
typedef BOOL (*VolumeInfoCall)(LPCWSTR, CE_VOLUME_INFO_LEVEL, LPCE_VOLUME_INFO);
typedef BOOL(WINAPI* FsControlCall)(LPCWSTR, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                                    LPOVERLAPPED);
#define OS_CALL_OF(type, call) (reinterpret_cast<type>(osCalls[call].current))
#define osCreateFile OS_CALL_OF(CreateFileCall, OS_OPEN)
#define osReadFile OS_CALL_OF(ReadFileCall, OS_READ)
#define osWriteFile OS_CALL_OF(WriteFileCall, OS_WRITE)
#define osCloseHandle OS_CALL_OF(HandleCall, OS_CLOSE)
#define osCreateDirectory OS_CALL_OF(CreateDirectoryCall, OS_MKDIR)
#define osRemoveDirectory OS_CALL_OF(PathCall, OS_RMDIR)
#define osDeleteFile OS_CALL_OF(PathCall, OS_UNLINK)
#define osSetFileAttributes OS_CALL_OF(SetAttributesCall, OS_CHMOD)
#define osFindFirstFile OS_CALL_OF(FindFirstCall, OS_OPENDIR)
#define osFindNextFile OS_CALL_OF(FindNextCall, OS_READDIR)
#define osFindClose OS_CALL_OF(HandleCall, OS_CLOSEDIR)
#define osGetDiskFreeSpaceEx OS_CALL_OF(FreeSpaceCall, OS_STATVFS)
#define osSetFilePointer OS_CALL_OF(SeekCall, OS_SEEK)
#define osGetFileSize OS_CALL_OF(SizeCall, OS_SIZE)
#define osGetFileAttributes OS_CALL_OF(GetAttributesCall, OS_ATTRIBUTES)
#define osCreateMutex OS_CALL_OF(CreateMutexCall, OS_LOCK)
#define osFlushFileBuffers OS_CALL_OF(HandleCall, OS_FLUSH)
#define osCreateEvent OS_CALL_OF(CreateEventCall, OS_EVENT)
#define osSetEvent OS_CALL_OF(HandleCall, OS_SET)
#define osGetModuleFileName OS_CALL_OF(ModuleCall, OS_MODULE)
#define osCeGetVolumeInfo OS_CALL_OF(VolumeInfoCall, OS_VOLUME)
#define osCeFsIoControl OS_CALL_OF(FsControlCall, OS_FSCTL)

// The calling thread's last error as a PlatResult: the one place where a Win32 error code
// becomes one (win32_syscalls.cpp).
int LastError();
// What a failed FSCTL_FLUSH_BUFFERS of CeFsIoControlW means, from the calling thread's last
// error: PLAT_OK where the volume's file system has no such control, and then nothing cached
// beyond the files, each flushed as it was closed; PLAT_ERR_IO where what was written may not
// be on the medium.
int VolumeFlushFailure();
// The path the volume calls (CeGetVolumeInfoW, CeFsIoControlW) take for the volume that holds
// host, an existing entry's host path, in HOST_PATH_MAX units.
void VolumeRootOf(const ZChar* host, ZChar* root);

// A symbolic link or junction on a PC; never set on the device.
static const DWORD kLinkAttribute = 0x400;
// The attributes of an entry, by its host path.
int HostAttributes(const ZChar* host, DWORD* attributes);

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
inline int HostObjectName(const ZChar* name, ZChar* hostName) {
  return CopyText(name, hostName, PLAT_MAX_PATH) ? PLAT_OK : PLAT_ERR_INVALID;
}
#else
// On a PC the device's "\" is a folder (win32_paths.cpp).
// The path the OS calls take for a device path, in HOST_PATH_MAX units. PLAT_ERR_INVALID for a
// ".." component, a path too long for the device (DevicePathFits) or one that does not fit.
int ToHostPath(const ZChar* devicePath, ZChar* hostPath);
// The device path of a full host path, in size units; PLAT_ERR_INVALID when it lies outside the
// device root or does not fit.
int ToDevicePath(const ZChar* hostPath, ZChar* devicePath, size_t size);
// The name the OS knows a device's named object (an event, the run lock) by, in PLAT_MAX_PATH
// units: two devices on one PC never share one.
int HostObjectName(const ZChar* name, ZChar* hostName);
// Makes folder (a host path, absolute or relative to the current directory) the device root;
// "\" or "/" alone make every drive a top-level folder of the device ("\C:\...").
int SetDeviceRootFolder(const ZChar* folder);
#endif
