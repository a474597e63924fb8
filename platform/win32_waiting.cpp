// The waiting side's calls through the Win32 API: waiting for events and starting and waiting
// for a child process. The updater itself never waits, so it does not import these.
#include <stdlib.h>

#include "win32_internal.h"

int PlatEventWaitAny(PlatEvent* const* events, int count, ZUInt32 timeoutMs, int* signalled) {
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  if (count <= 0 || count > MAXIMUM_WAIT_OBJECTS) return PLAT_ERR_INVALID;
  for (int i = 0; i < count; i++) handles[i] = events[i]->handle;
  DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, timeoutMs);
  if (woken == WAIT_TIMEOUT) return PLAT_ERR_TIMEOUT;
  if (woken >= WAIT_OBJECT_0 + static_cast<DWORD>(count)) return LastError();
  *signalled = static_cast<int>(woken - WAIT_OBJECT_0);
  return PLAT_OK;
}

struct PlatProcess {
  HANDLE handle;
};

// Appends arg to the command line at *line, quoted so that the child's C runtime hands it back
// unchanged: inside quotes, backslashes are literal except in front of a quote.
static void AppendQuoted(const wchar_t* arg, wchar_t** line) {
  bool plain = arg[0] != 0;
  for (const wchar_t* p = arg; *p != 0; p++)
    plain = plain && *p != L' ' && *p != L'\t' && *p != L'"';
  wchar_t* out = *line;
  if (!plain) *out++ = L'"';
  for (const wchar_t* p = arg;; p++) {
    size_t backslashes = 0;
    for (; *p == L'\\'; p++) backslashes++;
    bool beforeQuote = *p == L'"' || (*p == 0 && !plain);
    for (size_t i = 0; i < (beforeQuote ? 2 * backslashes : backslashes); i++) *out++ = L'\\';
    if (*p == 0) break;
    if (*p == L'"') *out++ = L'\\';
    *out++ = *p;
  }
  if (!plain) *out++ = L'"';
  *out++ = L' ';
  *line = out;
}

// The arguments, from the locale's code page, as one command line; NULL when one cannot be
// converted or memory runs out.
static wchar_t* CommandLine(const char* const* argv) {
  size_t units = 1;
  size_t longest = 0;
  for (const char* const* arg = argv; *arg != NULL; arg++) {
    int wide = MultiByteToWideChar(CP_ACP, 0, *arg, -1, NULL, 0);
    if (wide <= 0) return NULL;
    units +=
        2 * static_cast<size_t>(wide) + 3;  // every unit a backslash at worst, two quotes, a blank
    if (static_cast<size_t>(wide) > longest) longest = static_cast<size_t>(wide);
  }
  wchar_t* line = static_cast<wchar_t*>(malloc(units * sizeof(wchar_t)));
  wchar_t* arg = static_cast<wchar_t*>(malloc(longest * sizeof(wchar_t) + sizeof(wchar_t)));
  wchar_t* end = line;
  for (const char* const* p = argv; line != NULL && arg != NULL && *p != NULL; p++) {
    MultiByteToWideChar(CP_ACP, 0, *p, -1, arg, static_cast<int>(longest));
    AppendQuoted(arg, &end);
  }
  if (line != NULL && arg != NULL) {
    *(end > line ? end - 1 : end) = 0;  // no blank after the last argument
  } else {
    free(line);
    line = NULL;
  }
  free(arg);
  return line;
}

// The handle comes first: a started child must always have one to be waited for by.
static int Spawn(const char* const* argv, STARTUPINFOW* startup, PlatProcess** process) {
  *process = static_cast<PlatProcess*>(malloc(sizeof(PlatProcess)));
  wchar_t* line = *process != NULL ? CommandLine(argv) : NULL;
  if (line == NULL) {
    free(*process);
    return PLAT_ERR_NO_MEMORY;
  }
  startup->cb = sizeof *startup;
  PROCESS_INFORMATION started;
  // Inheriting handles gives the child our standard output and error where they are redirected.
  BOOL ok = CreateProcessW(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, startup, &started);
  int result = ok ? PLAT_OK : LastError();
  free(line);
  if (!ok) {
    free(*process);
    return result;
  }
  CloseHandle(started.hThread);
  (*process)->handle = started.hProcess;
  return PLAT_OK;
}

int PlatProcessStart(const char* const* argv, PlatProcess** process) {
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  return Spawn(argv, &startup, process);
}

// A file the child inherits as a standard stream: created or emptied, readable by others.
static HANDLE OpenForChild(const char* hostPath) {
  wchar_t path[HOST_PATH_MAX];
  if (MultiByteToWideChar(CP_ACP, 0, hostPath, -1, path, HOST_PATH_MAX) <= 0) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return INVALID_HANDLE_VALUE;
  }
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, TRUE};
  return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, &inherited, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, NULL);
}

int PlatProcessStartRedirected(const char* const* argv, const char* outputFile,
                               const char* errorFile, PlatProcess** process) {
  HANDLE output = OpenForChild(outputFile);
  if (output == INVALID_HANDLE_VALUE) return LastError();
  HANDLE error = OpenForChild(errorFile);
  if (error == INVALID_HANDLE_VALUE) {
    int result = LastError();
    CloseHandle(output);
    return result;
  }
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = error;
  int result = Spawn(argv, &startup, process);
  CloseHandle(output);
  CloseHandle(error);
  return result;
}

ZUInt32 PlatProcessId(const PlatProcess* process) { return GetProcessId(process->handle); }

int PlatProcessWait(PlatProcess* process, ZUInt32 timeoutMs, int* exitCode) {
  DWORD woken = WaitForSingleObject(process->handle, timeoutMs);
  if (woken == WAIT_TIMEOUT) return PLAT_ERR_TIMEOUT;
  DWORD code = 0;
  if (woken != WAIT_OBJECT_0 || !GetExitCodeProcess(process->handle, &code)) return LastError();
  // Exit statuses are 0..255 as on the host; an exception status (0xC...) is the Windows form
  // of being killed by a signal.
  *exitCode = (code & 0xF0000000) == 0xC0000000 ? -1 : static_cast<int>(code & 0xFF);
  CloseHandle(process->handle);
  free(process);
  return PLAT_OK;
}
