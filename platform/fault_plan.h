// The one fault plan of both backends' tests (fault_plan.cpp) and what each backend's faulty
// calls (posix_faults.cpp, win32_faults.cpp) give it. Test-only.
#pragma once

#include <stddef.h>

#include "os_calls.h"
#include "platform_testing.h"

// The backend's faulty version of each of its calls, by the call's id, in any order.
struct FaultyCall {
  int call;
  OsCallPointer function;
};
extern const FaultyCall faultyCalls[];
extern const int faultyCallCount;

// True on the call that must suffer its planned fault, whose kind goes to *fault; the plan is then
// spent. A PLAT_FAULT_CUT never returns: the process ends here, before the call.
bool FaultDue(int call, PlatFault* fault);
// The most a read may move, or 0 for no limit.
size_t FaultReadLimit();
// Ends the process at once, as a power cut would: no exit handler runs and nothing buffered is
// written.
void CutPower();
