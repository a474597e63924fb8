// Swaps entries of the Win32 backend's OS call table for counting versions that fail once. The
// call names are the POSIX backend's, so that one test plan serves both.
#include <string.h>

#include "platform_testing.h"
#include "win32_internal.h"

struct Plan {
  int remaining;  // calls until the fault; 0 when none is planned
  PlatFault fault;
};
static Plan openPlan, readPlan, writePlan, closePlan, mkdirPlan, rmdirPlan, unlinkPlan, chmodPlan,
    opendirPlan, readdirPlan, lockPlan, flushPlan, statvfsPlan;
static DWORD readLimit;  // 0: none

// True on the call that must fail; the plan is then spent. A cut ends the process there.
static bool Due(Plan* plan) {
  if (plan->remaining == 0 || --plan->remaining != 0) return false;
  if (plan->fault == PLAT_FAULT_CUT) TerminateProcess(GetCurrentProcess(), 137);
  return true;
}

static BOOL Failed() {
  SetLastError(ERROR_IO_DEVICE);
  return FALSE;
}

static HANDLE WINAPI FaultyCreateFile(LPCWSTR path, DWORD access, DWORD share,
                                      LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                      DWORD flags, HANDLE model) {
  if (!Due(&openPlan)) {
    return winCallsReal.createFile(path, access, share, security, disposition, flags, model);
  }
  Failed();
  return INVALID_HANDLE_VALUE;
}
// A read or write that the plan makes short moves half; one that makes no progress moves nothing
// and succeeds.
static BOOL WINAPI FaultyReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got,
                                  LPOVERLAPPED overlapped) {
  if (readLimit != 0 && size > readLimit) size = readLimit;
  if (!Due(&readPlan)) return winCallsReal.readFile(file, buffer, size, got, overlapped);
  if (readPlan.fault == PLAT_FAULT_SHORT && size > 1) {
    return winCallsReal.readFile(file, buffer, size / 2, got, overlapped);
  }
  *got = 0;
  return readPlan.fault == PLAT_FAULT_NO_PROGRESS ? TRUE : Failed();
}
static BOOL WINAPI FaultyWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD done,
                                   LPOVERLAPPED overlapped) {
  if (!Due(&writePlan)) return winCallsReal.writeFile(file, buffer, size, done, overlapped);
  if (writePlan.fault == PLAT_FAULT_SHORT && size > 1) {
    return winCallsReal.writeFile(file, buffer, size / 2, done, overlapped);
  }
  *done = 0;
  return writePlan.fault == PLAT_FAULT_NO_PROGRESS ? TRUE : Failed();
}
// A failed close still releases the handle, as CloseHandle does.
static BOOL WINAPI FaultyCloseHandle(HANDLE handle) {
  bool due = Due(&closePlan);
  BOOL result = winCallsReal.closeHandle(handle);
  return due ? Failed() : result;
}
static BOOL WINAPI FaultyCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  return Due(&mkdirPlan) ? Failed() : winCallsReal.createDirectory(path, security);
}
static BOOL WINAPI FaultyRemoveDirectory(LPCWSTR path) {
  return Due(&rmdirPlan) ? Failed() : winCallsReal.removeDirectory(path);
}
static BOOL WINAPI FaultyDeleteFile(LPCWSTR path) {
  return Due(&unlinkPlan) ? Failed() : winCallsReal.deleteFile(path);
}
static BOOL WINAPI FaultySetFileAttributes(LPCWSTR path, DWORD attributes) {
  return Due(&chmodPlan) ? Failed() : winCallsReal.setFileAttributes(path, attributes);
}
// A folder that cannot be read for want of handles, as POSIX's "opendir" runs out of descriptors.
static HANDLE WINAPI FaultyFindFirstFile(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (!Due(&opendirPlan)) return winCallsReal.findFirstFile(pattern, data);
  SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  return INVALID_HANDLE_VALUE;
}
// An entry of an open folder that cannot be read, as on a damaged medium.
static BOOL WINAPI FaultyFindNextFile(HANDLE find, LPWIN32_FIND_DATAW data) {
  return Due(&readdirPlan) ? Failed() : winCallsReal.findNextFile(find, data);
}

// A lock's mutex created without the last error cleared, as the device's OS may leave it.
static HANDLE WINAPI FaultyCreateMutex(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCWSTR name) {
  if (!Due(&lockPlan)) return winCallsReal.createMutex(security, owned, name);
  if (lockPlan.fault != PLAT_FAULT_STALE_ERROR) {
    Failed();
    return NULL;
  }
  DWORD earlier = GetLastError();
  HANDLE handle = winCallsReal.createMutex(security, owned, name);
  if (handle != NULL && GetLastError() == ERROR_SUCCESS) SetLastError(earlier);
  return handle;
}

// The medium refuses the written data as it is put there.
static BOOL WINAPI FaultyFlushFileBuffers(HANDLE file) {
  return Due(&flushPlan) ? Failed() : winCallsReal.flushFileBuffers(file);
}
static BOOL WINAPI FaultyGetDiskFreeSpaceEx(LPCWSTR path, PULARGE_INTEGER available,
                                            PULARGE_INTEGER total, PULARGE_INTEGER free) {
  if (Due(&statvfsPlan)) return Failed();
  return winCallsReal.getDiskFreeSpaceEx(path, available, total, free);
}

static void UseFaultyCalls() {
  const Win32Syscalls faulty = {FaultyCreateFile,       FaultyReadFile,
                                FaultyWriteFile,        FaultyCloseHandle,
                                FaultyCreateDirectory,  FaultyRemoveDirectory,
                                FaultyDeleteFile,       FaultySetFileAttributes,
                                FaultyFindFirstFile,    FaultyFindNextFile,
                                FaultyCreateMutex,      FaultyFlushFileBuffers,
                                FaultyGetDiskFreeSpaceEx};
  winCalls = faulty;
}

int PlatTestInjectFault(const char* call, int nth, PlatFault fault) {
  struct Entry {
    const char* name;
    Plan* plan;
  };
  const Entry entries[] = {{"open", &openPlan},     {"read", &readPlan},   {"write", &writePlan},
                           {"close", &closePlan},   {"mkdir", &mkdirPlan}, {"rmdir", &rmdirPlan},
                           {"unlink", &unlinkPlan}, {"chmod", &chmodPlan},
                           {"opendir", &opendirPlan}, {"readdir", &readdirPlan}, {"lock", &lockPlan},
                           {"flush", &flushPlan}, {"statvfs", &statvfsPlan}};
  for (size_t i = 0; i < sizeof entries / sizeof entries[0]; i++) {
    if (strcmp(entries[i].name, call) != 0) continue;
    entries[i].plan->remaining = nth;
    entries[i].plan->fault = fault;
    UseFaultyCalls();
    return 0;
  }
  return -1;
}

void PlatTestLimitReads(size_t maxBytes) {
  readLimit = static_cast<DWORD>(maxBytes);
  UseFaultyCalls();
}

void PlatTestClearFaults() {
  readLimit = 0;
  const Plan none = {0, PLAT_FAULT_ERROR};
  openPlan = readPlan = writePlan = closePlan = none;
  mkdirPlan = rmdirPlan = unlinkPlan = chmodPlan = opendirPlan = readdirPlan = lockPlan = none;
  flushPlan = statvfsPlan = none;
  winCalls = winCallsReal;
}
