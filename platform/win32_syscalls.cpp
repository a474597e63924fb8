// The Win32 backend's table of OS calls and its error translation.
#include "win32_internal.h"

// Each row's function taken as the row's type, so that a row whose type does not fit its
// function does not compile.
#define OS_CALL_ROW(id, name, accessor, function, Result, params, args)                    \
  {name, reinterpret_cast<OsCallPointer>(static_cast<OsCallType<id>::Type>(function)), \
   reinterpret_cast<OsCallPointer>(static_cast<OsCallType<id>::Type>(function))},
OsCall osCalls[] = {WIN32_OS_CALLS(OS_CALL_ROW)};
#undef OS_CALL_ROW
const int osCallCount = OS_CALL_COUNT;

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

// CE 6.0's documentation of CeFsIoControl: a file system that does not support the call answers
// FALSE with ERROR_NOT_SUPPORTED (the object store, a ROM or network volume: nothing is cached
// beyond a file's close, and every file written was flushed as it closed). A driver that does not
// know the code answers, as drivers do, ERROR_INVALID_FUNCTION. Every other failure (the medium
// refusing the write-back, a card pulled) leaves the folder changes perhaps off the medium.
int VolumeFlushFailure() {
  DWORD error = GetLastError();
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ? PLAT_OK : PLAT_ERR_IO;
}
