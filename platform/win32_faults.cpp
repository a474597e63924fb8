// What a planned fault does to each of the Win32 backend's OS calls; the plan is fault_plan.cpp.
#include "fault_plan.h"
#include "win32_internal.h"

#define REAL(call) (reinterpret_cast<OsCallType<call>::Type>(osCalls[call].real))

static bool Due(int call) {
  PlatFault fault;
  return FaultDue(call, &fault);
}

static BOOL Failed() {
  SetLastError(ERROR_IO_DEVICE);
  return FALSE;
}
// A failure of a call that hands back a handle.
static HANDLE FailedHandle(HANDLE failure) {
  Failed();
  return failure;
}
static const DWORD kAllOnes = 0xFFFFFFFF;

static HANDLE WINAPI FaultyCreateFile(LPCWSTR path, DWORD access, DWORD share,
                                      LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                      DWORD flags, HANDLE model) {
  if (Due(OS_OPEN)) return FailedHandle(INVALID_HANDLE_VALUE);
  return REAL(OS_OPEN)(path, access, share, security, disposition, flags, model);
}
// A read or write that the plan makes short moves half; one that makes no progress moves nothing
// and succeeds.
static BOOL WINAPI FaultyReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got,
                                  LPOVERLAPPED overlapped) {
  DWORD limit = static_cast<DWORD>(FaultReadLimit());
  if (limit != 0 && size > limit) size = limit;
  PlatFault fault;
  if (!FaultDue(OS_READ, &fault)) return REAL(OS_READ)(file, buffer, size, got, overlapped);
  if (fault == PLAT_FAULT_SHORT && size > 1) {
    return REAL(OS_READ)(file, buffer, size / 2, got, overlapped);
  }
  *got = 0;
  return fault == PLAT_FAULT_NO_PROGRESS ? TRUE : Failed();
}
static BOOL WINAPI FaultyWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD done,
                                   LPOVERLAPPED overlapped) {
  PlatFault fault;
  if (!FaultDue(OS_WRITE, &fault)) {
    return REAL(OS_WRITE)(file, buffer, size, done, overlapped);
  }
  if (fault == PLAT_FAULT_SHORT && size > 1) {
    return REAL(OS_WRITE)(file, buffer, size / 2, done, overlapped);
  }
  *done = 0;
  return fault == PLAT_FAULT_NO_PROGRESS ? TRUE : Failed();
}
// A failed close still releases the handle, as CloseHandle does; so does a failed FindClose.
static BOOL WINAPI FaultyCloseHandle(HANDLE handle) {
  bool due = Due(OS_CLOSE);
  BOOL result = REAL(OS_CLOSE)(handle);
  return due ? Failed() : result;
}
static BOOL WINAPI FaultyFindClose(HANDLE find) {
  bool due = Due(OS_CLOSEDIR);
  BOOL result = REAL(OS_CLOSEDIR)(find);
  return due ? Failed() : result;
}
static BOOL WINAPI FaultyCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  return Due(OS_MKDIR) ? Failed() : REAL(OS_MKDIR)(path, security);
}
static BOOL WINAPI FaultyRemoveDirectory(LPCWSTR path) {
  return Due(OS_RMDIR) ? Failed() : REAL(OS_RMDIR)(path);
}
static BOOL WINAPI FaultyDeleteFile(LPCWSTR path) {
  return Due(OS_UNLINK) ? Failed() : REAL(OS_UNLINK)(path);
}
static BOOL WINAPI FaultySetFileAttributes(LPCWSTR path, DWORD attributes) {
  return Due(OS_CHMOD) ? Failed() : REAL(OS_CHMOD)(path, attributes);
}
// A folder that cannot be read for want of handles, as POSIX's "opendir" runs out of descriptors.
static HANDLE WINAPI FaultyFindFirstFile(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (!Due(OS_OPENDIR)) return REAL(OS_OPENDIR)(pattern, data);
  SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  return INVALID_HANDLE_VALUE;
}
// An entry of an open folder that cannot be read, as on a damaged medium.
static BOOL WINAPI FaultyFindNextFile(HANDLE find, LPWIN32_FIND_DATAW data) {
  return Due(OS_READDIR) ? Failed() : REAL(OS_READDIR)(find, data);
}
static BOOL WINAPI FaultyGetDiskFreeSpaceEx(LPCWSTR path, PULARGE_INTEGER available,
                                            PULARGE_INTEGER total, PULARGE_INTEGER free) {
  if (Due(OS_STATVFS)) return Failed();
  return REAL(OS_STATVFS)(path, available, total, free);
}
static DWORD WINAPI FaultySetFilePointer(HANDLE file, LONG low, PLONG high, DWORD method) {
  if (!Due(OS_SEEK)) return REAL(OS_SEEK)(file, low, high, method);
  Failed();
  return kAllOnes;
}
static DWORD WINAPI FaultyGetFileSize(HANDLE file, LPDWORD high) {
  if (!Due(OS_SIZE)) return REAL(OS_SIZE)(file, high);
  Failed();
  return kAllOnes;
}
static DWORD WINAPI FaultyGetFileAttributes(LPCWSTR path) {
  if (!Due(OS_ATTRIBUTES)) return REAL(OS_ATTRIBUTES)(path);
  Failed();
  return kAllOnes;
}
// A lock's mutex created without the last error cleared, as the device's OS may leave it.
static HANDLE WINAPI FaultyCreateMutex(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCWSTR name) {
  PlatFault fault;
  if (!FaultDue(OS_LOCK, &fault)) return REAL(OS_LOCK)(security, owned, name);
  if (fault != PLAT_FAULT_STALE_ERROR) return FailedHandle(NULL);
  DWORD earlier = GetLastError();
  HANDLE handle = REAL(OS_LOCK)(security, owned, name);
  if (handle != NULL && GetLastError() == ERROR_SUCCESS) SetLastError(earlier);
  return handle;
}
// The medium refuses the written data as it is put there.
static BOOL WINAPI FaultyFlushFileBuffers(HANDLE file) {
  return Due(OS_FLUSH) ? Failed() : REAL(OS_FLUSH)(file);
}

static HANDLE WINAPI FaultyCreateEvent(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL set,
                                       LPCWSTR name) {
  if (Due(OS_EVENT)) return FailedHandle(NULL);
  return REAL(OS_EVENT)(security, manual, set, name);
}
static BOOL WINAPI FaultySetEvent(HANDLE event) {
  return Due(OS_SET) ? Failed() : REAL(OS_SET)(event);
}

static DWORD WINAPI FaultyGetModuleFileName(HMODULE module, LPWSTR buffer, DWORD size) {
  if (!Due(OS_MODULE)) return REAL(OS_MODULE)(module, buffer, size);
  Failed();
  return 0;
}

// A name that cannot be shown in the console's code page.
static int WINAPI FaultyWideCharToMultiByte(UINT page, DWORD flags, LPCWSTR src, int count,
                                            LPSTR dst, int size, LPCSTR fill, LPBOOL filled) {
  if (!Due(OS_CONSOLE_TEXT)) {
    return REAL(OS_CONSOLE_TEXT)(page, flags, src, count, dst, size, fill, filled);
  }
  Failed();
  return 0;
}

static BOOL WINAPI FaultyCeGetVolumeInfo(LPCWSTR root, CE_VOLUME_INFO_LEVEL level, LPCE_VOLUME_INFO info) {
  return Due(OS_VOLUME) ? Failed() : REAL(OS_VOLUME)(root, level, info);
}
// A volume flush the file system does not have, or one the medium refuses.
static BOOL WINAPI FaultyCeFsIoControl(LPCWSTR root, DWORD code, LPVOID in, DWORD inSize,
                                       LPVOID out, DWORD outSize, LPDWORD returned,
                                       LPOVERLAPPED overlapped) {
  PlatFault fault;
  if (!FaultDue(OS_FSCTL, &fault)) {
    return REAL(OS_FSCTL)(root, code, in, inSize, out, outSize, returned, overlapped);
  }
  if (fault != PLAT_FAULT_UNSUPPORTED) return Failed();
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

#define FAULTY(call, function) {call, reinterpret_cast<OsCallPointer>(function)}
const FaultyCall faultyCalls[] = {
    FAULTY(OS_OPEN, FaultyCreateFile),
    FAULTY(OS_READ, FaultyReadFile),
    FAULTY(OS_WRITE, FaultyWriteFile),
    FAULTY(OS_CLOSE, FaultyCloseHandle),
    FAULTY(OS_MKDIR, FaultyCreateDirectory),
    FAULTY(OS_RMDIR, FaultyRemoveDirectory),
    FAULTY(OS_UNLINK, FaultyDeleteFile),
    FAULTY(OS_CHMOD, FaultySetFileAttributes),
    FAULTY(OS_OPENDIR, FaultyFindFirstFile),
    FAULTY(OS_READDIR, FaultyFindNextFile),
    FAULTY(OS_CLOSEDIR, FaultyFindClose),
    FAULTY(OS_STATVFS, FaultyGetDiskFreeSpaceEx),
    FAULTY(OS_SEEK, FaultySetFilePointer),
    FAULTY(OS_SIZE, FaultyGetFileSize),
    FAULTY(OS_ATTRIBUTES, FaultyGetFileAttributes),
    FAULTY(OS_LOCK, FaultyCreateMutex),
    FAULTY(OS_FLUSH, FaultyFlushFileBuffers),
    FAULTY(OS_EVENT, FaultyCreateEvent),
    FAULTY(OS_SET, FaultySetEvent),
    FAULTY(OS_MODULE, FaultyGetModuleFileName),
    FAULTY(OS_CONSOLE_TEXT, FaultyWideCharToMultiByte),
    FAULTY(OS_VOLUME, FaultyCeGetVolumeInfo),
    FAULTY(OS_FSCTL, FaultyCeFsIoControl),
};
const int faultyCallCount = sizeof faultyCalls / sizeof faultyCalls[0];
typedef char OneForEveryCall[sizeof faultyCalls / sizeof faultyCalls[0] == OS_CALL_COUNT ? 1 : -1];

// The status PlatProcessKill ends a process with, which its parent's wait reports as killed.
void CutPower() { TerminateProcess(GetCurrentProcess(), 0xC0000001); }
