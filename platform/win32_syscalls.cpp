// The Win32 backend's table of OS calls, its error translation and its small text helpers.
#include "win32_internal.h"

#define OS_CALL(name, function) \
  { name, reinterpret_cast<OsCallPointer>(function), reinterpret_cast<OsCallPointer>(function) }
// In the order of Win32Call.
OsCall osCalls[] = {
    OS_CALL("open", CreateFileW),
    OS_CALL("read", ReadFile),
    OS_CALL("write", WriteFile),
    OS_CALL("close", CloseHandle),
    OS_CALL("mkdir", CreateDirectoryW),
    OS_CALL("rmdir", RemoveDirectoryW),
    OS_CALL("unlink", DeleteFileW),
    OS_CALL("chmod", SetFileAttributesW),
    OS_CALL("opendir", FindFirstFileW),
    OS_CALL("readdir", FindNextFileW),
    OS_CALL("closedir", FindClose),
    OS_CALL("statvfs", GetDiskFreeSpaceExW),
    OS_CALL("seek", SetFilePointer),
    OS_CALL("size", GetFileSize),
    OS_CALL("attributes", GetFileAttributesW),
    OS_CALL("lock", CreateMutexW),
    OS_CALL("flush", FlushFileBuffers),
    OS_CALL("event", CreateEventW),
    OS_CALL("set", SetEvent),
    OS_CALL("module", GetModuleFileNameW),
    OS_CALL("volume", CeGetVolumeInfoW),
    OS_CALL("fsctl", CeFsIoControlW),
};
const int osCallCount = sizeof osCalls / sizeof osCalls[0];
typedef char AnEntryForEveryCall[sizeof osCalls / sizeof osCalls[0] == OS_CALL_COUNT ? 1 : -1];

static int TranslateWin32Error(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS: return PLAT_OK;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_NO_MORE_FILES:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_DIRECTORY: return PLAT_ERR_NOT_FOUND;  // a file where a directory was named
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return PLAT_ERR_EXISTS;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD: return PLAT_ERR_ACCESS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE: return PLAT_ERR_IN_USE;
    case ERROR_DIR_NOT_EMPTY: return PLAT_ERR_NOT_EMPTY;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK: return PLAT_ERR_INVALID;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return PLAT_ERR_NO_MEMORY;
    default: return PLAT_ERR_IO;
  }
}

// Called after a failure only, which must never read as success, even from a call that failed
// without saying why.
int LastError() {
  int result = TranslateWin32Error(GetLastError());
  return result == PLAT_OK ? PLAT_ERR_IO : result;
}

// CE 6.0's file systems answer a control they do not have with ERROR_NOT_SUPPORTED (the object
// store, a ROM or network volume: they cache nothing beyond a file's close), or, as drivers do
// for a code they do not know, ERROR_INVALID_FUNCTION. Every other failure (the medium refusing
// the write-back, a card pulled) leaves the changes perhaps off the medium.
int VolumeFlushFailure() {
  DWORD error = GetLastError();
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ? PLAT_OK : PLAT_ERR_IO;
}

bool CopyText(const ZChar* text, ZChar* buffer, size_t size) {
  for (size_t i = 0; i < size; i++) {
    buffer[i] = text[i];
    if (text[i] == 0) return true;
  }
  if (size > 0) buffer[0] = 0;
  return false;
}
