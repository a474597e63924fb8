// Folders, names and attributes on a POSIX host, behaving as the device's file system does:
// read-only entries refuse deletion even to root, and a file locked by another handle is in use.
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

static int ResolveExisting(const char16_t* path, std::string* host, struct stat* st) {
  bool exists = false;
  int result = ResolveDevicePath(path, RESOLVE_ENTRY, host, &exists);
  if (result != PLAT_OK) return result;
  if (!exists) return PLAT_ERR_NOT_FOUND;
  return osAttributes(host->c_str(), st) != 0 ? TranslateErrno(errno) : PLAT_OK;
}

int PlatCreateDirectory(const char16_t* path) {
  if (!DeviceCanCreate(path)) return PLAT_ERR_INVALID;
  std::string host;
  bool exists = false;
  int result = ResolveDevicePath(path, RESOLVE_ENTRY, &host, &exists);
  if (result != PLAT_OK) return result;
  if (exists) return PLAT_ERR_EXISTS;
  if (osMkdir(host.c_str(), 0777) != 0) return TranslateErrno(errno);
  return PLAT_OK;
}

int PlatRemoveDirectory(const char16_t* path) {
  std::string host;
  struct stat st;
  int result = ResolveExisting(path, &host, &st);
  if (result != PLAT_OK) return result;
  if (!S_ISDIR(st.st_mode)) return PLAT_ERR_INVALID;
  if (IsReadOnly(st)) return PLAT_ERR_ACCESS;  // as the device refuses a read-only folder
  if (osRmdir(host.c_str()) != 0) return TranslateErrno(errno);
  return PLAT_OK;
}

int PlatDeleteFile(const char16_t* path) {
  std::string host;
  struct stat st;
  int result = ResolveExisting(path, &host, &st);
  if (result != PLAT_OK) return result;
  if (S_ISDIR(st.st_mode)) return PLAT_ERR_ACCESS;
  if (S_ISREG(st.st_mode)) {
    if (IsReadOnly(st)) return PLAT_ERR_ACCESS;
    // Holding the lock across the unlink keeps anyone from taking the file in between.
    int fd = osOpen(host.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) return TranslateErrno(errno);
    result = LockFile(fd, LOCK_EX);
    if (result == PLAT_OK && osUnlink(host.c_str()) != 0) result = TranslateErrno(errno);
    osClose(fd);
  } else if (osUnlink(host.c_str()) != 0) {
    result = TranslateErrno(errno);
  }
  return result;
}

int PlatSetFileAttributes(const char16_t* path, uint32_t attributes) {
  std::string host;
  struct stat st;
  int result = ResolveExisting(path, &host, &st);
  if (result != PLAT_OK) return result;
  if (S_ISLNK(st.st_mode)) return PLAT_ERR_ACCESS;  // chmod would reach the link's target
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = (attributes & PLAT_ATTR_READONLY) ? (mode & ~0222u) : (mode | S_IWUSR);
  if (wanted != mode && osChmod(host.c_str(), wanted) != 0) return TranslateErrno(errno);
  return PLAT_OK;
}

int PlatGetFileAttributes(const char16_t* path, uint32_t* attributes) {
  std::string host;
  struct stat st;
  int result = ResolveExisting(path, &host, &st);
  if (result != PLAT_OK) return result;
  *attributes = (S_ISDIR(st.st_mode) ? PLAT_ATTR_DIRECTORY : 0) |
                (!S_ISLNK(st.st_mode) && IsReadOnly(st) ? PLAT_ATTR_READONLY : 0);
  return PLAT_OK;
}

// syncfs rather than an fsync per file: an update writes thousands of files, and one pass over
// the volume writes them back together instead of waiting on the medium once per file.
int PlatFlushVolume(const char16_t* path) {
  int fd = -1;
  int result = OpenForReading(path, &fd);
  if (result != PLAT_OK) return result;
  result = osFlush(fd) == 0 ? PLAT_OK : TranslateErrno(errno);
  osClose(fd);
  return result;
}

// ---- Enumeration -------------------------------------------------------------------------------

struct PlatFind {
  DIR* dir;
};

static int ReadEntry(PlatFind* find, PlatFindData* data) {
  for (;;) {
    errno = 0;
    dirent* entry = osReaddir(find->dir);
    if (entry == nullptr) return errno == 0 ? PLAT_ERR_NOT_FOUND : TranslateErrno(errno);
    std::u16string name;
    Utf8ToUtf16(entry->d_name, strlen(entry->d_name), &name);
    // A host name too long for the device cannot be addressed by a device path.
    if (name.size() >= PLAT_MAX_PATH) continue;
    bool isDirectory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      isDirectory = fstatat(dirfd(find->dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(st.st_mode);
    }
    name.copy(data->name, name.size());
    data->name[name.size()] = 0;
    data->attributes = isDirectory ? PLAT_ATTR_DIRECTORY : 0;
    return PLAT_OK;
  }
}

int PlatFindFirst(const char16_t* pattern, PlatFind** find, PlatFindData* data) {
  // The device lists a folder only where the pattern, "\*.*" and all, fits its limit.
  if (!DevicePathFits(pattern, 0)) return PLAT_ERR_INVALID;
  size_t folderLength = EveryEntryPatternFolderLength(pattern);
  if (folderLength == 0) return PLAT_ERR_INVALID;
  std::u16string directory(pattern, folderLength);
  std::string host;
  bool exists = false;
  int result = ResolveDevicePath(directory.c_str(), RESOLVE_OPEN, &host, &exists);
  if (result != PLAT_OK) return result;
  if (!exists) return PLAT_ERR_NOT_FOUND;
  DIR* dir = osOpendir(host.c_str());
  if (dir == nullptr) return TranslateErrno(errno);
  *find = static_cast<PlatFind*>(malloc(sizeof(PlatFind)));
  if (*find == nullptr) {
    osClosedir(dir);
    return PLAT_ERR_NO_MEMORY;
  }
  (*find)->dir = dir;
  result = ReadEntry(*find, data);
  if (result != PLAT_OK) PlatFindClose(*find);
  return result;
}

int PlatFindNext(PlatFind* find, PlatFindData* data) { return ReadEntry(find, data); }

void PlatFindClose(PlatFind* find) {
  osClosedir(find->dir);
  free(find);
}
