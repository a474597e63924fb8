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

// The POSIX backend's OS calls, in the order of its table (posix_syscalls.cpp); the names a test
// fails them by are in platform_testing.h.
enum PosixCall {
  OS_OPEN, OS_READ, OS_WRITE, OS_CLOSE, OS_MKDIR, OS_RMDIR, OS_UNLINK, OS_CHMOD, OS_OPENDIR,
  OS_READDIR, OS_CLOSEDIR, OS_WATCH, OS_STATVFS, OS_SEEK, OS_SIZE, OS_ATTRIBUTES, OS_LOCK,
  OS_FLUSH, OS_TRUNCATE, OS_EVENT, OS_SET, OS_MODULE, OS_STAT, OS_REALPATH, OS_WATCHER,
  OS_CALL_COUNT
};
static_assert(static_cast<int>(OS_CALL_COUNT) <= static_cast<int>(OS_CALLS_MOST),
              "the fault plan keeps a plan for every call");

// Each call as the backend makes it: through its table entry, in its own type.
template <typename Function>
inline Function* OsCallOf(int call, bool real = false) {
  return reinterpret_cast<Function*>(real ? osCalls[call].real : osCalls[call].current);
}
typedef int OpenCall(const char* path, int flags, mode_t mode);
typedef ssize_t ReadCall(int fd, void* buffer, size_t size);
typedef ssize_t WriteCall(int fd, const void* buffer, size_t size);
typedef int CloseCall(int fd);
typedef int MkdirCall(const char* path, mode_t mode);
typedef int PathCall(const char* path);  // rmdir, unlink
typedef int ChmodCall(const char* path, mode_t mode);
typedef DIR* OpendirCall(const char* path);
typedef dirent* ReaddirCall(DIR* dir);
typedef int ClosedirCall(DIR* dir);
typedef int WatchCall(int fd, const char* path, uint32_t mask);
typedef int StatvfsCall(const char* path, struct statvfs* volume);
typedef off_t SeekCall(int fd, off_t offset, int whence);
typedef int SizeCall(int fd, struct stat* st);
typedef int AttributesCall(const char* path, struct stat* st);
typedef int LockCall(int fd, int operation);
typedef int FlushCall(int fd);
typedef int TruncateCall(int fd, off_t length);
typedef sem_t* EventCall(const char* name, int flags, mode_t mode, unsigned value);
typedef int SetCall(sem_t* semaphore);
typedef ssize_t ModuleCall(const char* link, char* buffer, size_t size);
typedef int StatCall(const char* path, struct stat* st);
typedef char* RealpathCall(const char* path, char* resolved);
typedef int WatcherCall(int flags);
#define osOpen OsCallOf<OpenCall>(OS_OPEN)
#define osRead OsCallOf<ReadCall>(OS_READ)
#define osWrite OsCallOf<WriteCall>(OS_WRITE)
#define osClose OsCallOf<CloseCall>(OS_CLOSE)
#define osMkdir OsCallOf<MkdirCall>(OS_MKDIR)
#define osRmdir OsCallOf<PathCall>(OS_RMDIR)
#define osUnlink OsCallOf<PathCall>(OS_UNLINK)
#define osChmod OsCallOf<ChmodCall>(OS_CHMOD)
#define osOpendir OsCallOf<OpendirCall>(OS_OPENDIR)
#define osReaddir OsCallOf<ReaddirCall>(OS_READDIR)
#define osClosedir OsCallOf<ClosedirCall>(OS_CLOSEDIR)
#define osWatch OsCallOf<WatchCall>(OS_WATCH)
#define osStatvfs OsCallOf<StatvfsCall>(OS_STATVFS)
#define osSeek OsCallOf<SeekCall>(OS_SEEK)
#define osSize OsCallOf<SizeCall>(OS_SIZE)
#define osAttributes OsCallOf<AttributesCall>(OS_ATTRIBUTES)
#define osLock OsCallOf<LockCall>(OS_LOCK)
#define osFlush OsCallOf<FlushCall>(OS_FLUSH)
#define osTruncate OsCallOf<TruncateCall>(OS_TRUNCATE)
#define osEvent OsCallOf<EventCall>(OS_EVENT)
#define osSet OsCallOf<SetCall>(OS_SET)
#define osModule OsCallOf<ModuleCall>(OS_MODULE)
#define osStat OsCallOf<StatCall>(OS_STAT)
#define osRealpath OsCallOf<RealpathCall>(OS_REALPATH)
#define osWatcher OsCallOf<WatcherCall>(OS_WATCHER)

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

// The device root as a canonical host path without a trailing "/" ("" for the host's own root).
int DeviceRootPath(std::string* root);

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
