// Stacks of the device's size on Windows: a thread whose stack is reserved at that size, fenced
// at that size too, since Wine gives every thread at least 1 MB whatever it asks for.
#include <windows.h>

#include "platform.h"
#include "platform_testing.h"

int PlatTestLimitChildStack(size_t) { return PLAT_ERR_INVALID; }

struct Run {
  int (*body)();
  size_t bytes;
  int result;
};

static DWORD WINAPI RunBody(LPVOID argument) {
  Run* run = static_cast<Run*>(argument);
  // A page that no access may touch, just past the stack's first run->bytes: a deeper run ends
  // the process there, as an overflow does on the device. Where the OS kept to the reserve, the
  // page lies outside the stack and cannot be changed, and the OS's own end of it does the same.
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  MEMORY_BASIC_INFORMATION stack;  // from here to the stack's top, one run of committed pages
  if (VirtualQuery(&system, &stack, sizeof stack) == 0) return 1;
  ULONG_PTR top = reinterpret_cast<ULONG_PTR>(stack.BaseAddress) + stack.RegionSize;
  ULONG_PTR fence = (top - run->bytes - system.dwPageSize) & ~static_cast<ULONG_PTR>(system.dwPageSize - 1);
  DWORD previous = 0;
  VirtualProtect(reinterpret_cast<void*>(fence), system.dwPageSize, PAGE_NOACCESS, &previous);
  run->result = run->body();
  return 0;
}

int PlatTestRunOnStack(size_t bytes, int (*body)(), int* result) {
  Run run = {body, bytes, -1};
  HANDLE thread = CreateThread(NULL, bytes, RunBody, &run, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
  if (thread == NULL) return PLAT_ERR_NO_MEMORY;
  DWORD waited = WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  if (waited != WAIT_OBJECT_0) return PLAT_ERR_IO;
  *result = run.result;
  return PLAT_OK;
}
