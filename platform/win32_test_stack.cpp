// Stacks of the device's size on Windows: a thread whose stack is reserved at that size.
#include <windows.h>

#include "platform.h"
#include "platform_testing.h"

int PlatTestLimitChildStack(size_t) { return PLAT_ERR_INVALID; }

struct Run {
  int (*body)();
  int result;
};

static DWORD WINAPI RunBody(LPVOID argument) {
  Run* run = static_cast<Run*>(argument);
  run->result = run->body();
  return 0;
}

int PlatTestRunOnStack(size_t bytes, int (*body)(), int* result) {
  Run run = {body, -1};
  HANDLE thread = CreateThread(NULL, bytes, RunBody, &run, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
  if (thread == NULL) return PLAT_ERR_NO_MEMORY;
  DWORD waited = WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  if (waited != WAIT_OBJECT_0) return PLAT_ERR_IO;
  *result = run.result;
  return PLAT_OK;
}
