// A backend's table of OS calls, shared in shape by both backends; nothing outside platform/
// includes it. Every OS call of the updater's backend goes through its table by a name of its own,
// so that the test-only fault plan (fault_plan.cpp) can swap any entry, by that name, for a version
// that fails once, with no test code in the product's paths. What stays out cannot fail in a way
// the code could act on: the release of a handle the code is done with (an event's close, the
// change notifier's close), the tick count, and the waiting side's process calls
// (posix_waiting.cpp, win32_waiting.cpp), which only zelt-wait and the tests make.
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
