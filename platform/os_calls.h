// A backend's table of OS calls, shared in shape by both backends; nothing outside platform/
// includes it. Every OS call a backend makes goes through its table by a name of its own, so that
// the test-only fault plan (fault_plan.cpp) can swap any entry, by that name, for a version that
// fails once, with no test code in the product's paths.
#pragma once

// Entries hold their function as this type and are called through the backend's accessors, which
// cast it back to the function's own type.
typedef void (*OsCallPointer)();

struct OsCall {
  const char* name;       // the name a test gives PlatTestInjectFault (platform_testing.h)
  OsCallPointer real;     // the OS's own function, or a thin wrapper of it
  OsCallPointer current;  // what the backend calls: real, or a test's faulty version
};

// The most entries a backend's table may have: the fault plan keeps a plan for each.
enum { OS_CALLS_MOST = 40 };

// The backend's table (posix_syscalls.cpp, win32_syscalls.cpp) and its length.
extern OsCall osCalls[];
extern const int osCallCount;
