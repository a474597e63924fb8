// Shared by the POSIX backend's files only; nothing outside platform/ includes it.
#pragma once

#include <dirent.h>
#include <semaphore.h>
#include <stdint.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include "os_calls.h"

// The POSIX backend's OS calls, one row each: its id, the name a test fails it by
// (platform_testing.h), the accessor the backend calls it through, the function behind it
// (posix_syscalls.cpp), and its type as result, parameters and the arguments that pass them on.
// The ids, the table's rows, the types and the accessors all follow from these rows.
#define POSIX_OS_CALLS(X)                                                                        \
  X(OS_OPEN, "open", osOpen, OpenWithMode, int, (const char* p, int f, mode_t m), (p, f, m))      \
  X(OS_READ, "read", osRead, read, ssize_t, (int fd, void* b, size_t n), (fd, b, n))              \
  X(OS_WRITE, "write", osWrite, write, ssize_t, (int fd, const void* b, size_t n), (fd, b, n))    \
  X(OS_CLOSE, "close", osClose, close, int, (int fd), (fd))                                       \
  X(OS_MKDIR, "mkdir", osMkdir, mkdir, int, (const char* p, mode_t m), (p, m))                    \
  X(OS_RMDIR, "rmdir", osRmdir, RemoveFolder, int, (const char* p), (p))                          \
  X(OS_UNLINK, "unlink", osUnlink, unlink, int, (const char* p), (p))                             \
  X(OS_CHMOD, "chmod", osChmod, chmod, int, (const char* p, mode_t m), (p, m))                    \
  X(OS_OPENDIR, "opendir", osOpendir, opendir, DIR*, (const char* p), (p))                        \
  X(OS_READDIR, "readdir", osReaddir, readdir, dirent*, (DIR* d), (d))                            \
  X(OS_CLOSEDIR, "closedir", osClosedir, closedir, int, (DIR* d), (d))                            \
  X(OS_WATCH, "inotify_add_watch", osWatch, inotify_add_watch, int,                               \
    (int fd, const char* p, uint32_t mask), (fd, p, mask))                                        \
  X(OS_STATVFS, "statvfs", osStatvfs, statvfs, int, (const char* p, struct statvfs* v), (p, v))   \
  X(OS_SEEK, "seek", osSeek, lseek, off_t, (int fd, off_t o, int w), (fd, o, w))                  \
  X(OS_SIZE, "size", osSize, fstat, int, (int fd, struct stat* st), (fd, st))                     \
  X(OS_ATTRIBUTES, "attributes", osAttributes, lstat, int, (const char* p, struct stat* st),      \
    (p, st))                                                                                      \
  X(OS_LOCK, "lock", osLock, flock, int, (int fd, int operation), (fd, operation))                \
  X(OS_FLUSH, "flush", osFlush, syncfs, int, (int fd), (fd))                                      \
  X(OS_TRUNCATE, "truncate", osTruncate, ftruncate, int, (int fd, off_t length), (fd, length))    \
  X(OS_EVENT, "event", osEvent, OpenSemaphore, sem_t*,                                            \
    (const char* name, int f, mode_t m, unsigned value), (name, f, m, value))                     \
  X(OS_SET, "set", osSet, sem_post, int, (sem_t* s), (s))                                         \
  X(OS_EVENT_VALUE, "event_value", osEventValue, sem_getvalue, int, (sem_t* s, int* value),       \
    (s, value))                                                                                   \
  X(OS_EVENT_DELETE, "event_delete", osEventDelete, sem_unlink, int, (const char* name), (name))  \
  X(OS_MODULE, "module", osModule, readlink, ssize_t, (const char* link, char* b, size_t n),      \
    (link, b, n))                                                                                 \
  X(OS_STAT, "stat", osStat, stat, int, (const char* p, struct stat* st), (p, st))                \
  X(OS_REALPATH, "realpath", osRealpath, realpath, char*, (const char* p, char* resolved),        \
    (p, resolved))                                                                                \
  X(OS_WATCHER, "inotify_init", osWatcher, inotify_init1, int, (int flags), (flags))              \
  X(OS_NOTICES, "inotify_read", osNotices, read, ssize_t, (int fd, void* b, size_t n), (fd, b, n)) \
  X(OS_CWD, "getcwd", osCwd, getcwd, char*, (char* b, size_t n), (b, n))

#define OS_CALL_ID(id, name, accessor, function, Result, params, args) id,
enum PosixCall { POSIX_OS_CALLS(OS_CALL_ID) OS_CALL_COUNT };
#undef OS_CALL_ID
static_assert(static_cast<int>(OS_CALL_COUNT) <= static_cast<int>(OS_CALLS_MOST),
              "the fault plan keeps a plan for every call");

// Each call's own type, by its id.
template <int call> struct OsCallType;
#define OS_CALL_TYPE(id, name, accessor, function, Result, params, args) \
  template <> struct OsCallType<id> { typedef Result (*Type) params; };
POSIX_OS_CALLS(OS_CALL_TYPE)
#undef OS_CALL_TYPE

// The call as the OS makes it, whatever a test has put in its entry.
template <int call>
inline typename OsCallType<call>::Type RealOsCall() {
  return reinterpret_cast<typename OsCallType<call>::Type>(osCalls[call].real);
}
// What the backend calls: the entry's current function, in its own type.
#define OS_CALL_ACCESSOR(id, name, accessor, function, Result, params, args) \
  inline Result accessor params {                                          \
    return reinterpret_cast<OsCallType<id>::Type>(osCalls[id].current) args; \
  }
POSIX_OS_CALLS(OS_CALL_ACCESSOR)
#undef OS_CALL_ACCESSOR

// The one place where errno becomes a PlatResult.
int TranslateErrno(int error);

// A file with no write bit, which the backend treats as the device treats a read-only one.
inline bool IsReadOnly(const struct stat& st) { return (st.st_mode & 0222) == 0; }
// Locks model the device's share modes: a reader shares the file with other readers (LOCK_SH), a
// writer or a deleter holds it alone (LOCK_EX). Taking a lock fails at once, with PLAT_ERR_IN_USE,
// while another handle holds one that conflicts: the host's form of "in use".
int LockFile(int fd, int operation);
// Opens what path reaches for reading, a directory included.
int OpenForReading(const char16_t* path, int* fd);

// Host names are bytes, mostly UTF-8. A byte that is not part of valid UTF-8 becomes the lone
// surrogate U+DC00 + byte (U+DC80..U+DCFF) in the device name, so that every host name has a
// device name and no two share one. The way back fails for a device name no host name gives.
void Utf8ToUtf16(const char* src, size_t count, std::u16string* out);
// The code point of the host name at src[*i] as Utf8ToUtf16 sees it (an escaped byte is
// 0xDC00 + byte), moving *i past it.
uint32_t NextHostCodePoint(const char* src, size_t count, size_t* i);
bool Utf16ToUtf8(const char16_t* src, size_t count, std::string* out);

// An event is a named semaphore whose count never exceeds one.
struct PlatEvent {
  sem_t* semaphore;
};

// The device root as a canonical host path without a trailing "/" ("" for the host's own root),
// valid until the root is set again.
int DeviceRootPath(const std::string** root);
// Makes folder (a host path, absolute or relative to the current directory) the device root in
// place of ZELT_DEVICE_ROOT.
int SetDeviceRootFolder(const char* folder);
// The device path of an absolute host path without "." or ".." in it, in size units;
// PLAT_ERR_INVALID when it lies outside the device root or does not fit.
int ToDevicePath(const std::string& hostPath, char16_t* devicePath, size_t size);

enum ResolveTarget {
  RESOLVE_ENTRY,   // the last component itself, a symbolic link included
  RESOLVE_OPEN,    // what an open reaches: a last-component link is followed if it stays inside
};

// Turns a device path into a host path. The last component need not exist (a name to be created
// keeps the case given); every earlier one must be an existing directory. *exists tells whether
// the last component was found. A folder that cannot be read is its own failure, never "not
// found"; a path too long for the device's file calls is PLAT_ERR_INVALID.
int ResolveDevicePath(const char16_t* path, ResolveTarget target, std::string* host, bool* exists);
// "zelt-<hash of the device root>-<name>", the name of a host object (an event, a lock) that
// belongs to the device, so that two simulated devices never see each other's. It leaves room for
// a prefix or suffix of five characters within a host file name. PLAT_ERR_INVALID for an empty
// name or one too long.
int HostObjectName(const char16_t* name, std::string* out);
