// Shared by the POSIX backend's files only; nothing outside platform/ includes it.
#pragma once

#include <dirent.h>
#include <stdint.h>
#include <string>
#include <sys/statvfs.h>
#include <sys/types.h>

// Every OS call whose failure a test must be able to provoke goes through this table, so that a
// test can swap in a failing version without any test code in the product's paths.
struct PosixSyscalls {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*read)(int fd, void* buffer, size_t size);
  ssize_t (*write)(int fd, const void* buffer, size_t size);
  int (*close)(int fd);
  int (*mkdir)(const char* path, mode_t mode);
  int (*rmdir)(const char* path);
  int (*unlink)(const char* path);
  int (*chmod)(const char* path, mode_t mode);
  DIR* (*opendir)(const char* path);
  dirent* (*readdir)(DIR* dir);
  int (*inotify_add_watch)(int fd, const char* path, uint32_t mask);
  int (*statvfs)(const char* path, struct statvfs* volume);
};
extern PosixSyscalls osCalls;
extern const PosixSyscalls osCallsReal;

// The one place where errno becomes a PlatResult.
int TranslateErrno(int error);

// Host names are bytes, mostly UTF-8. A byte that is not part of valid UTF-8 becomes the lone
// surrogate U+DC00 + byte (U+DC80..U+DCFF) in the device name, so that every host name has a
// device name and no two share one. The way back fails for a device name no host name gives.
void Utf8ToUtf16(const char* src, size_t count, std::u16string* out);
// The code point of the host name at src[*i] as Utf8ToUtf16 sees it (an escaped byte is
// 0xDC00 + byte), moving *i past it.
uint32_t NextHostCodePoint(const char* src, size_t count, size_t* i);
bool Utf16ToUtf8(const char16_t* src, size_t count, std::string* out);

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
int DeviceObjectName(const char16_t* name, std::string* out);
