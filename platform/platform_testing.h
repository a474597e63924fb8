// Test-only: make the backend's OS calls fail on demand, to reach failure paths that a host
// cannot produce at will (a short write, a failed close). Linked into tests only.
#pragma once

#include <stddef.h>

enum PlatFault {
  PLAT_FAULT_ERROR,        // the call fails and does nothing: an I/O error for most calls, too
                           // many open files for "opendir", no watch left for "inotify_add_watch"
  PLAT_FAULT_SHORT,        // a read or write moves half of what was asked (at least one byte less)
  PLAT_FAULT_NO_PROGRESS,  // a read or write moves nothing and reports no error
  PLAT_FAULT_STALE_ERROR,  // the call succeeds and leaves the last error of an earlier call in
                           // place, as the device's OS may ("lock")
  PLAT_FAULT_CUT,          // the process ends at once before the call, as at a power cut: nothing
                           // of it runs after (no exit handler, no flush of stdio), and its parent
                           // sees it killed, as after PlatProcessKill. Any call name takes it
  PLAT_FAULT_UNSUPPORTED,  // the call fails as one the file system does not have ("fsctl")
};

// From now on, the nth call (1 = the next one) of the named OS call suffers the fault; the calls
// before and after it behave normally. A name stands for the same idea on both backends:
//   "open", "read", "write", "close"  a file's (or handle's) open, read, write and close
//   "seek", "size"                    moving in an open file, and its size
//   "truncate"                        emptying a file opened to be overwritten (POSIX)
//   "mkdir", "rmdir", "unlink"        making and removing folders, deleting files
//   "attributes", "chmod"             an entry's attributes read and changed
//   "opendir", "readdir", "closedir"  a folder's first entry, its next one, the end of a walk
//   "lock"                            a file's lock (POSIX), the creation of a run lock
//   "flush"                           putting written data on the medium: the volume on POSIX,
//                                     a written file as it is flushed or closed on Win32
//   "statvfs"                         a volume's free space
//   "event", "set"                    a named event's opening and its signal
//   "event_value", "event_delete"     whether a named event is signalled, and its name's removal
//                                     (POSIX)
//   "module"                          the running executable's path
//   "volume"                          a volume's allocation unit (Win32)
//   "fsctl"                           a volume's flush of its folders (Win32)
//   "stat", "realpath"                where a path leads through its links (POSIX)
//   "inotify_init"                    the start of change notifications (POSIX)
//   "inotify_add_watch"               a watch on a folder (POSIX)
//   "inotify_read"                    the reading of change notifications (POSIX)
//   "getcwd"                          the current folder, for a relative host path (POSIX)
//   "console_text"                    a name's conversion to the console's code page (Win32)
// Returns 0, or -1 for an unknown name (or one the backend has not). One fault per call name at a
// time.
int PlatTestInjectFault(const char* call, int nth, PlatFault fault);
// From now on every read moves at most maxBytes, as reads from a slow medium may; 0 lifts the
// limit. Planned read faults still happen on their call.
void PlatTestLimitReads(size_t maxBytes);
// Puts every call back to the real one.
void PlatTestClearFaults();

// The stack a device thread has: a test runs the updater with no more than this.
enum { PLAT_DEVICE_STACK = 64 << 10 };
// From now on the programs this process starts get at most bytes of stack for their main thread,
// start-up included; 0 lifts the limit again. This process's own main thread is held to it too
// until then, so nothing deep may run in between. Returns PLAT_OK, or PLAT_ERR_INVALID where the
// backend cannot do it (a Windows program's main-thread stack comes from its own image).
int PlatTestLimitChildStack(size_t bytes);
// Runs body on a thread of its own with bytes of stack and gives its result in *result. Returns
// PLAT_OK, or a failure when no such thread can be had.
int PlatTestRunOnStack(size_t bytes, int (*body)(), int* result);
