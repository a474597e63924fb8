#include "install_cleaner.h"

#include <stdlib.h>
#include <string.h>

#include "device_names.h"
#include "platform.h"
#include "update_log.h"

static const ZChar kTopDirectory[] = ZT("\\Zeltrovan\\");
static const ZChar kKeptFile[] = ZT("EMMC_Check_File.txt");
static const ZChar kToleratedFile[] = ZT("ceusbkwrapperdrv.dll");
static const ZChar kEveryEntry[] = ZT("*.*");

// The path of the entry being visited. One buffer serves the whole walk: each level appends its
// name and cuts it off again, and the buffer grows when a deep tree needs it.
struct WalkPath {
  ZChar* text;
  size_t length;
  size_t capacity;  // units, terminator included
};

static bool Append(WalkPath* path, const ZChar* text) {
  size_t add = TextLength(text);
  if (path->length + add + 1 > path->capacity) {
    size_t capacity = (path->length + add + 1) * 2;
    ZChar* grown = static_cast<ZChar*>(malloc(capacity * sizeof(ZChar)));
    if (grown == NULL) return false;
    if (path->text != NULL) memcpy(grown, path->text, (path->length + 1) * sizeof(ZChar));
    free(path->text);
    path->text = grown;
    path->capacity = capacity;
  }
  memcpy(path->text + path->length, text, (add + 1) * sizeof(ZChar));
  path->length += add;
  return true;
}

static void CutTo(WalkPath* path, size_t length) {
  path->length = length;
  path->text[length] = 0;
}

static bool SameText(const ZChar* a, const ZChar* b) {
  size_t length = TextLength(a);
  return length == TextLength(b) && memcmp(a, b, length * sizeof(ZChar)) == 0;
}

static int RemoveTree(WalkPath* path);

// A read-only file left by an earlier package must go like any other. One that still cannot be
// deleted keeps its attribute, so that a failed clean changes nothing about it.
static int DeleteClearingReadOnly(const ZChar* path) {
  int result = PlatDeleteFile(path);
  ZUInt32 attributes = 0;
  if (result != PLAT_ERR_ACCESS || PlatGetFileAttributes(path, &attributes) != PLAT_OK ||
      (attributes & PLAT_ATTR_READONLY) == 0 ||
      PlatSetFileAttributes(path, attributes & ~static_cast<ZUInt32>(PLAT_ATTR_READONLY)) != PLAT_OK) {
    return result;
  }
  result = PlatDeleteFile(path);
  if (result != PLAT_OK) PlatSetFileAttributes(path, attributes);
  return result;
}

// A read-only folder can be neither removed on the device nor emptied on a host, so a folder the
// walk enters loses the attribute first.
static void ClearFolderReadOnly(const ZChar* path) {
  ZUInt32 attributes = 0;
  if (PlatGetFileAttributes(path, &attributes) == PLAT_OK && (attributes & PLAT_ATTR_READONLY)) {
    PlatSetFileAttributes(path, attributes & ~static_cast<ZUInt32>(PLAT_ATTR_READONLY));
  }
}

// path holds the directory with its trailing backslash. 0 to go on with the next entry, -1 to
// stop the walk.
static int RemoveEntry(WalkPath* path, const PlatFindData& entry) {
  size_t directoryLength = path->length;
  if (entry.attributes & PLAT_ATTR_DIRECTORY) {
    if (SameText(entry.name, ZT(".")) || SameText(entry.name, ZT(".."))) return 0;
    if (!Append(path, entry.name)) return -1;
    int result = RemoveTree(path);
    CutTo(path, directoryLength);
    return result;
  }
  if (SameText(entry.name, kKeptFile)) return 0;
  if (!Append(path, entry.name)) return -1;
  int deleted = DeleteClearingReadOnly(path->text);
  if (deleted != PLAT_OK) LogDeleteFailure(path->text);
  CutTo(path, directoryLength);
  if (deleted == PLAT_OK) return 0;
  // The driver may be loaded while the update runs; the package brings the same file again.
  return SameText(entry.name, kToleratedFile) ? 0 : -1;
}

// path holds the directory without a trailing backslash (one is tolerated) and is left as given.
static int RemoveTree(WalkPath* path) {
  size_t givenLength = path->length;
  ClearFolderReadOnly(path->text);
  if ((path->length == 0 || path->text[path->length - 1] != ZT('\\')) && !Append(path, ZT("\\"))) {
    return -1;
  }
  size_t directoryLength = path->length;
  if (!Append(path, kEveryEntry)) return -1;
  PlatFind* find = NULL;
  PlatFindData entry;
  int found = PlatFindFirst(path->text, &find, &entry);
  CutTo(path, directoryLength);
  if (found == PLAT_OK) {
    do {
      if (RemoveEntry(path, entry) != 0) {
        PlatFindClose(find);
        CutTo(path, givenLength);
        return -1;
      }
    } while ((found = PlatFindNext(find, &entry)) == PLAT_OK);
    PlatFindClose(find);
  }
  // Only a missing folder or the end of its entries means there is nothing more: a folder that
  // cannot be read (no descriptor left, a failing medium) may still hold old files.
  if (found != PLAT_ERR_NOT_FOUND) {
    CutTo(path, givenLength);
    return -1;
  }
  // A directory that keeps a protected file cannot go; its removal simply fails. The top
  // directory is recognised however it is spelt ("\Zeltrovan\", "\ZELTROVAN"), since the
  // device names it either way and losing it fails the copy that follows.
  bool top = NamesEqualIgnoringCase(path->text, path->length, kTopDirectory, TextLength(kTopDirectory));
  CutTo(path, givenLength);
  if (!top) PlatRemoveDirectory(path->text);
  return 0;
}

int RemoveInstallTree(const ZChar* dir) {
  WalkPath path = {NULL, 0, 0};
  int result = Append(&path, dir) ? RemoveTree(&path) : -1;
  free(path.text);
  return result;
}
