// Files on a POSIX host, behaving as the device's file system does: read-only files refuse
// writing even to root, and a file locked by another handle is in use.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "device_rules.h"
#include "platform.h"
#include "posix_internal.h"
#include "raw_file.h"

static int NewFile(int fd, bool writing, PlatFile** file) {
  RawHandle raw;
  raw.fd = fd;
  return NewPlatFile(raw, writing, file);
}

int LockFile(int fd, int operation) {
  return osLock(fd, operation | LOCK_NB) != 0 ? TranslateErrno(errno) : PLAT_OK;
}

int OpenForReading(const char16_t* path, int* fd) {
  std::string host;
  bool exists = false;
  int result = ResolveDevicePath(path, RESOLVE_OPEN, &host, &exists);
  if (result != PLAT_OK) return result;
  if (!exists) return PLAT_ERR_NOT_FOUND;
  // The resolved path has every link inside the root followed already; one that appears there
  // now is refused rather than followed.
  *fd = osOpen(host.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
  return *fd < 0 ? TranslateErrno(errno) : PLAT_OK;
}

int PlatFileOpenRead(const char16_t* path, PlatFile** file) {
  int fd = -1;
  int result = OpenForReading(path, &fd);
  if (result != PLAT_OK) return result;
  struct stat st;
  if (osSize(fd, &st) != 0) {
    result = TranslateErrno(errno);
  } else {
    result = S_ISDIR(st.st_mode) ? PLAT_ERR_ACCESS : LockFile(fd, LOCK_SH);
  }
  if (result != PLAT_OK) {
    osClose(fd);
    return result;
  }
  return NewFile(fd, false, file);
}

// Truncation waits for the lock: a file in use must keep its contents.
static int OpenExisting(const std::string& host, bool truncate, int* fd) {
  struct stat st;
  if (osAttributes(host.c_str(), &st) != 0) return TranslateErrno(errno);
  if (S_ISDIR(st.st_mode) || IsReadOnly(st)) return PLAT_ERR_ACCESS;
  *fd = osOpen(host.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | (truncate ? 0 : O_APPEND), 0);
  if (*fd < 0) return TranslateErrno(errno);
  int result = LockFile(*fd, LOCK_EX);
  if (result == PLAT_OK && truncate && osTruncate(*fd, 0) != 0) result = TranslateErrno(errno);
  if (result != PLAT_OK) osClose(*fd);
  return result;
}

static int OpenForWriting(const char16_t* path, bool truncate, PlatFile** file) {
  // The host holds names the device's FAT volume cannot.
  if (!DeviceCanCreate(path)) return PLAT_ERR_INVALID;
  std::string host;
  bool exists = false;
  int result = ResolveDevicePath(path, RESOLVE_OPEN, &host, &exists);
  if (result != PLAT_OK) return result;
  int fd = -1;
  if (!exists) {
    // A brand-new file: nobody can hold it yet and there is nothing to truncate. The lock is
    // still taken, so that it is in use for everyone else while this handle is open.
    fd = osOpen(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 && (result = LockFile(fd, LOCK_EX)) != PLAT_OK) {
      osClose(fd);
      return result;
    }
    // Another process made the name since it was looked up: it is an existing file after all.
    if (fd < 0 && errno != EEXIST) return TranslateErrno(errno);
  }
  if (fd < 0) {
    result = OpenExisting(host, truncate, &fd);
    if (result != PLAT_OK) return result;
  }
  return NewFile(fd, true, file);
}

int PlatFileCreate(const char16_t* path, PlatFile** file) { return OpenForWriting(path, true, file); }

int PlatFileOpenAppend(const char16_t* path, PlatFile** file) {
  return AtItsEnd(OpenForWriting(path, false, file), file);
}

int RawRead(RawHandle raw, void* buffer, size_t* size) {
  for (;;) {
    ssize_t n = osRead(raw.fd, buffer, *size);
    if (n >= 0) {
      *size = static_cast<size_t>(n);
      return PLAT_OK;
    }
    if (errno != EINTR) {
      *size = 0;
      return TranslateErrno(errno);
    }
  }
}

// The OS may take less than asked: Linux moves at most 0x7ffff000 bytes per call.
int RawWrite(RawHandle raw, const void* data, size_t size, size_t* done) {
  *done = 0;
  for (;;) {
    ssize_t n = osWrite(raw.fd, data, size);
    if (n >= 0) {
      *done = static_cast<size_t>(n);
      return PLAT_OK;
    }
    if (errno != EINTR) return TranslateErrno(errno);
  }
}

int RawSeek(RawHandle raw, ZInt64* position, PlatSeekOrigin origin) {
  int whence = origin == PLAT_SEEK_SET ? SEEK_SET : origin == PLAT_SEEK_CUR ? SEEK_CUR : SEEK_END;
  off_t moved = osSeek(raw.fd, static_cast<off_t>(*position), whence);
  if (moved < 0) return TranslateErrno(errno);
  *position = moved;
  return PLAT_OK;
}

int RawSize(RawHandle raw, ZUInt64* size) {
  struct stat st;
  if (osSize(raw.fd, &st) != 0) return TranslateErrno(errno);
  *size = static_cast<ZUInt64>(st.st_size);
  return PLAT_OK;
}

// The host keeps what a process wrote past its end; its volume is flushed once, by
// PlatFlushVolume.
int RawFlush(RawHandle) { return PLAT_OK; }

int RawClose(RawHandle raw) { return osClose(raw.fd) != 0 ? TranslateErrno(errno) : PLAT_OK; }
