// The fault plan of both backends' tests: which call fails, how and when. Each backend's faults
// file holds only what a fault does to its own calls.
#include <string.h>

#include "fault_plan.h"

struct Plan {
  int remaining;  // calls until the fault; 0 when none is planned
  PlatFault fault;
};
static Plan plans[OS_CALLS_MOST];
static size_t readLimit;  // 0: none

static int CallNamed(const char* name) {
  for (int i = 0; i < osCallCount; i++) {
    if (strcmp(osCalls[i].name, name) == 0) return i;
  }
  return -1;
}

static OsCallPointer FaultyVersion(int call) {
  for (int i = 0; i < faultyCallCount; i++) {
    if (faultyCalls[i].call == call) return faultyCalls[i].function;
  }
  return NULL;
}

bool FaultDue(int call, PlatFault* fault) {
  Plan* plan = &plans[call];
  if (plan->remaining == 0 || --plan->remaining != 0) return false;
  if (plan->fault == PLAT_FAULT_CUT) CutPower();
  *fault = plan->fault;
  return true;
}

size_t FaultReadLimit() { return readLimit; }

int PlatTestInjectFault(const char* call, int nth, PlatFault fault) {
  int index = CallNamed(call);
  if (index < 0 || FaultyVersion(index) == NULL) return -1;
  plans[index].remaining = nth;
  plans[index].fault = fault;
  osCalls[index].current = FaultyVersion(index);
  return 0;
}

void PlatTestLimitReads(size_t maxBytes) {
  readLimit = maxBytes;
  int read = CallNamed("read");
  osCalls[read].current = FaultyVersion(read);
}

void PlatTestClearFaults() {
  readLimit = 0;
  for (int i = 0; i < osCallCount; i++) {
    plans[i].remaining = 0;
    osCalls[i].current = osCalls[i].real;
  }
}
