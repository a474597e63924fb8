// Directories, names and attributes through the Win32 file API. The device has no links; a PC's
// links are entries of their own, never walked into, so nothing outside the device is touched.
#include <stdlib.h>
#include <string.h>

#include "device_rules.h"
#include "win32_internal.h"

// The attributes SetFileAttributesW keeps when the read-only bit changes.
static const DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// PLAT_ATTR_* bits, which are the OS's own, of an entry's attributes. A link to a directory is
// not one: following it would walk, and empty, whatever it points to.
static ZUInt32 PlatAttributes(DWORD attributes) {
  bool directory =
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & kLinkAttribute) == 0;
  return (directory ? PLAT_ATTR_DIRECTORY : 0) |
         (attributes & FILE_ATTRIBUTE_READONLY ? PLAT_ATTR_READONLY : 0);
}

// What GetFileAttributesW returns for a failure.
static const DWORD kNoAttributes = 0xFFFFFFFF;

int HostAttributes(const ZChar* host, DWORD* attributes) {
  *attributes = osGetFileAttributes(host);
  return *attributes == kNoAttributes ? LastError() : PLAT_OK;
}

int PlatCreateDirectory(const ZChar* path) {
  if (!DeviceCanCreate(path)) return PLAT_ERR_INVALID;
  ZChar host[HOST_PATH_MAX];
  int result = ToHostPath(path, host);
  if (result != PLAT_OK) return result;
  return osCreateDirectory(host, NULL) ? PLAT_OK : LastError();
}

int PlatRemoveDirectory(const ZChar* path) {
  ZChar host[HOST_PATH_MAX];
  int result = ToHostPath(path, host);
  if (result != PLAT_OK) return result;
  // The device refuses a read-only folder, whatever a PC's file system would do.
  DWORD attributes = 0;
  if (HostAttributes(host, &attributes) == PLAT_OK && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return PLAT_ERR_ACCESS;
  }
  return osRemoveDirectory(host) ? PLAT_OK : LastError();
}

int PlatDeleteFile(const ZChar* path) {
  ZChar host[HOST_PATH_MAX];
  int result = ToHostPath(path, host);
  if (result != PLAT_OK) return result;
  if (osDeleteFile(host)) return PLAT_OK;
  result = LastError();
  // A link to a directory goes the way of a directory; what it points to stays.
  DWORD attributes = 0;
  if (result == PLAT_ERR_ACCESS && HostAttributes(host, &attributes) == PLAT_OK &&
      (attributes & kLinkAttribute) != 0 && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return osRemoveDirectory(host) ? PLAT_OK : LastError();
  }
  return result;
}

int PlatSetFileAttributes(const ZChar* path, ZUInt32 attributes) {
  ZChar host[HOST_PATH_MAX];
  DWORD current = 0;
  int result = ToHostPath(path, host);
  if (result == PLAT_OK) result = HostAttributes(host, &current);
  if (result != PLAT_OK) return result;
  if ((current & FILE_ATTRIBUTE_READONLY) == (attributes & PLAT_ATTR_READONLY)) return PLAT_OK;
  DWORD wanted = (current & kSettable & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY)) |
                 (attributes & PLAT_ATTR_READONLY);
  // No attribute at all is spelt "normal".
  BOOL set = osSetFileAttributes(host, wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL);
  return set ? PLAT_OK : LastError();
}

int PlatGetFileAttributes(const ZChar* path, ZUInt32* attributes) {
  ZChar host[HOST_PATH_MAX];
  DWORD current = 0;
  int result = ToHostPath(path, host);
  if (result == PLAT_OK) result = HostAttributes(host, &current);
  if (result != PLAT_OK) return result;
  *attributes = PlatAttributes(current);
  return PLAT_OK;
}

#ifdef _WIN32_WCE
// A volume is a top-level folder that the OS marks temporary (a card, the flash), or else the root
// file system.
void VolumeRootOf(const ZChar* host, ZChar* root) {
  root[0] = ZT('\\');
  root[1] = 0;
  const ZChar* cursor = host;
  size_t length = 0;
  const ZChar* top = NextPathComponent(&cursor, &length);
  DWORD attributes = 0;
  if (top == NULL || length + 2 > HOST_PATH_MAX) return;
  memcpy(root + 1, top, length * sizeof(ZChar));
  root[length + 1] = 0;
  if (HostAttributes(root, &attributes) != PLAT_OK || (attributes & FILE_ATTRIBUTE_TEMPORARY) == 0) {
    root[1] = 0;
  }
}
#else
// A PC's volume calls find the volume of any path themselves.
void VolumeRootOf(const ZChar* host, ZChar* root) { CopyText(host, root, HOST_PATH_MAX); }
#endif

// Every file written through this backend is on the medium once closed; what is left is the
// folders. The device's FAT driver caches folder entries as it caches data, so a deletion is on
// the medium only once the volume is flushed. The path must name something, as on every backend.
int PlatFlushVolume(const ZChar* path) {
  ZChar host[HOST_PATH_MAX];
  ZChar root[HOST_PATH_MAX];
  DWORD attributes = 0;
  int result = ToHostPath(path, host);
  if (result == PLAT_OK) result = HostAttributes(host, &attributes);
  if (result != PLAT_OK) return result;
  VolumeRootOf(host, root);
  DWORD returned = 0;
  if (osCeFsIoControl(root, FSCTL_FLUSH_BUFFERS, NULL, 0, NULL, 0, &returned, NULL)) return PLAT_OK;
  return VolumeFlushFailure();
}

// ---- Enumeration -------------------------------------------------------------------------------

struct PlatFind {
  HANDLE handle;
};

static void StoreEntry(const WIN32_FIND_DATAW& found, PlatFindData* data) {
  CopyText(found.cFileName, data->name, PLAT_MAX_PATH);
  data->attributes = PlatAttributes(found.dwFileAttributes);
}

int PlatFindFirst(const ZChar* pattern, PlatFind** find, PlatFindData* data) {
  // The device lists a folder only where the pattern, "\*.*" and all, fits its limit.
  size_t folderLength = EveryEntryPatternFolderLength(pattern);
  if (folderLength == 0 || !DevicePathFits(pattern, 0)) return PLAT_ERR_INVALID;
  ZChar folder[PLAT_MAX_PATH];
  memcpy(folder, pattern, folderLength * sizeof(ZChar));
  folder[folderLength] = 0;
  ZChar host[HOST_PATH_MAX];
  int result = ToHostPath(folder, host);
  if (result != PLAT_OK) return result;
  size_t folderEnd = TextLength(host);
  size_t length = folderEnd;
  if (length + 4 >= HOST_PATH_MAX) return PLAT_ERR_INVALID;
  if (!IsPathSeparator(host[length - 1])) host[length++] = ZT('\\');
  CopyText(ZT("*.*"), host + length, 4);

  *find = static_cast<PlatFind*>(malloc(sizeof(PlatFind)));
  if (*find == NULL) return PLAT_ERR_NO_MEMORY;
  WIN32_FIND_DATAW found;
  (*find)->handle = osFindFirstFile(host, &found);
  if ((*find)->handle == INVALID_HANDLE_VALUE) {
    // An empty folder has no first entry (ERROR_NO_MORE_FILES or ERROR_FILE_NOT_FOUND): that is
    // "not found", as a missing folder is. So is a file named as the folder, whichever error the
    // OS gives for it.
    result = LastError();
    free(*find);
    host[folderEnd] = 0;
    DWORD attributes = 0;
    if (result != PLAT_ERR_NOT_FOUND && HostAttributes(host, &attributes) == PLAT_OK &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      result = PLAT_ERR_NOT_FOUND;
    }
    return result;
  }
  StoreEntry(found, data);
  return PLAT_OK;
}

int PlatFindNext(PlatFind* find, PlatFindData* data) {
  WIN32_FIND_DATAW found;
  if (!osFindNextFile(find->handle, &found)) return LastError();
  StoreEntry(found, data);
  return PLAT_OK;
}

void PlatFindClose(PlatFind* find) {
  osFindClose(find->handle);
  free(find);
}
