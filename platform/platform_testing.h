// Test-only: make the backend's OS calls fail on demand, to reach failure paths that a host
// cannot produce at will (a short write, a failed close). Linked into tests only.
#pragma once

enum PlatFault {
  PLAT_FAULT_ERROR,  // the call fails (an I/O error; no handle left for opendir), doing nothing
  PLAT_FAULT_SHORT,  // a read or write moves half of what was asked (at least one byte less)
};

// From now on, the nth call (1 = the next one) of the named OS call ("open", "read", "write",
// "close", "mkdir", "rmdir", "unlink", "chmod", "opendir": opening a directory to walk it) suffers
// the fault; the calls before and after it behave normally. Returns 0, or -1 for an unknown name.
// One fault per call name at a time.
int PlatTestInjectFault(const char* call, int nth, PlatFault fault);
// Puts every call back to the real one.
void PlatTestClearFaults();
