// Shared by the Win32 backend's files only; nothing outside platform/ includes it.
#pragma once

#include <windows.h>

#include "device_rules.h"
#include "win32_ce6.h"
#include "os_calls.h"
#include "platform.h"

// The Win32 backend's OS calls, one row each: its id, the name a test fails it by
// (platform_testing.h), the accessor the backend calls it through, the function behind it
// (win32_syscalls.cpp), and its type as result, parameters and the arguments that pass them on.
// The ids, the table's rows, the types and the accessors all follow from these rows.
#define WIN32_OS_CALLS(X)                                                                        \
  X(OS_OPEN, "open", osCreateFile, CreateFileW, HANDLE,                                          \
    (LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f, HANDLE t),         \
    (p, a, s, sa, d, f, t))                                                                       \
  X(OS_READ, "read", osReadFile, ReadFile, BOOL,                                                  \
    (HANDLE h, LPVOID b, DWORD n, LPDWORD got, LPOVERLAPPED o), (h, b, n, got, o))                \
  X(OS_WRITE, "write", osWriteFile, WriteFile, BOOL,                                              \
    (HANDLE h, LPCVOID b, DWORD n, LPDWORD done, LPOVERLAPPED o), (h, b, n, done, o))             \
  X(OS_CLOSE, "close", osCloseHandle, CloseHandle, BOOL, (HANDLE h), (h))                         \
  X(OS_MKDIR, "mkdir", osCreateDirectory, CreateDirectoryW, BOOL,                                 \
    (LPCWSTR p, LPSECURITY_ATTRIBUTES sa), (p, sa))                                               \
  X(OS_RMDIR, "rmdir", osRemoveDirectory, RemoveDirectoryW, BOOL, (LPCWSTR p), (p))               \
  X(OS_UNLINK, "unlink", osDeleteFile, DeleteFileW, BOOL, (LPCWSTR p), (p))                       \
  X(OS_CHMOD, "chmod", osSetFileAttributes, SetFileAttributesW, BOOL, (LPCWSTR p, DWORD a),       \
    (p, a))                                                                                       \
  X(OS_OPENDIR, "opendir", osFindFirstFile, FindFirstFileW, HANDLE,                               \
    (LPCWSTR p, LPWIN32_FIND_DATAW d), (p, d))                                                    \
  X(OS_READDIR, "readdir", osFindNextFile, FindNextFileW, BOOL, (HANDLE h, LPWIN32_FIND_DATAW d), \
    (h, d))                                                                                       \
  X(OS_CLOSEDIR, "closedir", osFindClose, FindClose, BOOL, (HANDLE h), (h))                       \
  X(OS_STATVFS, "statvfs", osGetDiskFreeSpaceEx, GetDiskFreeSpaceExW, BOOL,                       \
    (LPCWSTR p, PULARGE_INTEGER a, PULARGE_INTEGER t, PULARGE_INTEGER f), (p, a, t, f))           \
  X(OS_SEEK, "seek", osSetFilePointer, SetFilePointer, DWORD,                                     \
    (HANDLE h, LONG low, PLONG high, DWORD method), (h, low, high, method))                       \
  X(OS_SIZE, "size", osGetFileSize, GetFileSize, DWORD, (HANDLE h, LPDWORD high), (h, high))      \
  X(OS_ATTRIBUTES, "attributes", osGetFileAttributes, GetFileAttributesW, DWORD, (LPCWSTR p),     \
    (p))                                                                                          \
  X(OS_LOCK, "lock", osCreateMutex, CreateMutexW, HANDLE,                                         \
    (LPSECURITY_ATTRIBUTES sa, BOOL owned, LPCWSTR name), (sa, owned, name))                      \
  X(OS_FLUSH, "flush", osFlushFileBuffers, FlushFileBuffers, BOOL, (HANDLE h), (h))               \
  X(OS_EVENT, "event", osCreateEvent, CreateEventW, HANDLE,                                       \
    (LPSECURITY_ATTRIBUTES sa, BOOL manual, BOOL set, LPCWSTR name), (sa, manual, set, name))     \
  X(OS_SET, "set", osSetEvent, SetEvent, BOOL, (HANDLE h), (h))                                   \
  X(OS_MODULE, "module", osGetModuleFileName, GetModuleFileNameW, DWORD,                          \
    (HMODULE m, LPWSTR b, DWORD n), (m, b, n))                                                    \
  X(OS_CONSOLE_TEXT, "console_text", osWideCharToMultiByte, WideCharToMultiByte, int,             \
    (UINT page, DWORD flags, LPCWSTR src, int count, LPSTR dst, int size, LPCSTR fill,            \
     LPBOOL filled),                                                                              \
    (page, flags, src, count, dst, size, fill, filled))                                           \
  X(OS_VOLUME, "volume", osCeGetVolumeInfo, CeGetVolumeInfoW, BOOL,                               \
    (LPCWSTR root, CE_VOLUME_INFO_LEVEL level, LPCE_VOLUME_INFO info), (root, level, info))       \
  X(OS_FSCTL, "fsctl", osCeFsIoControl, CeFsIoControlW, BOOL,                                     \
    (LPCWSTR root, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,                \
     LPDWORD returned, LPOVERLAPPED overlapped),                                                  \
    (root, code, in, inSize, out, outSize, returned, overlapped))

#define OS_CALL_ID(id, name, accessor, function, Result, params, args) id,
enum Win32Call { WIN32_OS_CALLS(OS_CALL_ID) OS_CALL_COUNT };
#undef OS_CALL_ID
typedef char OsCallsFitThePlan[static_cast<int>(OS_CALL_COUNT) <= static_cast<int>(OS_CALLS_MOST)
                                   ? 1 : -1];

// Each call's own type, by its id.
template <int call> struct OsCallType;
#define OS_CALL_TYPE(id, name, accessor, function, Result, params, args) \
  template <> struct OsCallType<id> { typedef Result(WINAPI* Type) params; };
WIN32_OS_CALLS(OS_CALL_TYPE)
#undef OS_CALL_TYPE

// What the backend calls: the entry's current function, in its own type.
#define OS_CALL_ACCESSOR(id, name, accessor, function, Result, params, args) \
  inline Result accessor params {                                          \
    return reinterpret_cast<OsCallType<id>::Type>(osCalls[id].current) args; \
  }
WIN32_OS_CALLS(OS_CALL_ACCESSOR)
#undef OS_CALL_ACCESSOR

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
