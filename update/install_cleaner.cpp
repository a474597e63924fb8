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

// The walk over the tree: the path of the entry being visited, and whether the walk deletes or
// only proves that it could. One buffer serves the whole walk: each level appends its name and
// cuts it off again, and the buffer grows when a deep tree needs it.
struct Walk {
  ZChar* text;
  size_t length;
  size_t capacity;     // units, terminator included
  bool deleting;          // false: prove that the clean could finish now, changing nothing
  ZUInt32 clusterBytes;   // proving: the volume's allocation unit
  ZUInt64 freedClusters;  // proving: what the files and folders the clean would delete take
  ZUInt64 keptEntries;    // proving: the entries the clean would leave, so far
  int refusal;            // proving: the CLEAN_* reason why it could not finish
};

static bool Append(Walk* walk, const ZChar* text) {
  size_t add = TextLength(text);
  if (walk->length + add + 1 > walk->capacity) {
    size_t capacity = (walk->length + add + 1) * 2;
    ZChar* grown = static_cast<ZChar*>(malloc(capacity * sizeof(ZChar)));
    if (grown == NULL) return false;
    if (walk->text != NULL) memcpy(grown, walk->text, (walk->length + 1) * sizeof(ZChar));
    free(walk->text);
    walk->text = grown;
    walk->capacity = capacity;
  }
  memcpy(walk->text + walk->length, text, (add + 1) * sizeof(ZChar));
  walk->length += add;
  return true;
}

static void CutTo(Walk* walk, size_t length) {
  walk->length = length;
  walk->text[length] = 0;
}

static int Refuse(Walk* walk, int refusal) {
  walk->refusal = refusal;
  return -1;
}

static bool SameText(const ZChar* a, const ZChar* b) {
  size_t length = TextLength(a);
  return length == TextLength(b) && memcmp(a, b, length * sizeof(ZChar)) == 0;
}

static int VisitTree(Walk* walk);

// A read-only file left by an earlier package must go like any other. One that still cannot be
// deleted keeps its attribute, so that a failed clean changes nothing about it. (Only the
// read-only bit can be set, so 0 clears it.)
static int DeleteClearingReadOnly(const ZChar* path) {
  int result = PlatDeleteFile(path);
  ZUInt32 attributes = 0;
  if (result != PLAT_ERR_ACCESS || PlatGetFileAttributes(path, &attributes) != PLAT_OK ||
      (attributes & PLAT_ATTR_READONLY) == 0 || PlatSetFileAttributes(path, 0) != PLAT_OK) {
    return result;
  }
  result = PlatDeleteFile(path);
  if (result != PLAT_OK) PlatSetFileAttributes(path, PLAT_ATTR_READONLY);
  return result;
}

// A read-only folder can be neither removed on the device nor emptied on a host, so a folder the
// walk enters loses the attribute first.
static void ClearFolderReadOnly(const ZChar* path) {
  ZUInt32 attributes = 0;
  if (PlatGetFileAttributes(path, &attributes) == PLAT_OK && (attributes & PLAT_ATTR_READONLY)) {
    PlatSetFileAttributes(path, 0);
  }
}

// walk->text holds the file's path. 0 to go on with the next entry, -1 to stop the walk.
static int DeleteFile(Walk* walk, const ZChar* name) {
  if (DeleteClearingReadOnly(walk->text) == PLAT_OK) return 0;
  LogDeleteFailure(walk->text);
  // The driver may be loaded while the update runs; the package brings the same file again.
  return SameText(name, kToleratedFile) ? 0 : -1;
}

// The file the clean would stop at is found before anything is deleted.
static int ProbeFile(Walk* walk, const ZChar* name) {
  ZUInt64 size = 0;
  int probed = PlatFileProbe(walk->text, &size);
  if (probed == PLAT_OK) walk->freedClusters += WholeClusters(size, walk->clusterBytes);
  if (probed == PLAT_OK || probed == PLAT_ERR_NOT_FOUND) return 0;
  if (SameText(name, kToleratedFile)) {
    walk->keptEntries++;
    return 0;
  }
  LogFileInUse(walk->text);
  return Refuse(walk, CLEAN_FILE_IN_USE);
}

// walk->text holds the directory with its trailing backslash.
static int VisitEntry(Walk* walk, const PlatFindData& entry) {
  size_t directoryLength = walk->length;
  bool isDirectory = (entry.attributes & PLAT_ATTR_DIRECTORY) != 0;
  if (isDirectory && (SameText(entry.name, ZT(".")) || SameText(entry.name, ZT("..")))) return 0;
  if (!isDirectory && SameText(entry.name, kKeptFile)) {
    walk->keptEntries++;
    return 0;
  }
  if (!Append(walk, entry.name)) return Refuse(walk, CLEAN_WALK_FAILED);
  int result = isDirectory      ? VisitTree(walk)
               : walk->deleting ? DeleteFile(walk, entry.name)
                                : ProbeFile(walk, entry.name);
  CutTo(walk, directoryLength);
  return result;
}

// walk->text holds the directory without a trailing backslash (one is tolerated) and is left as
// given.
static int VisitTree(Walk* walk) {
  size_t givenLength = walk->length;
  ZUInt64 keptBefore = walk->keptEntries;
  if (walk->deleting) ClearFolderReadOnly(walk->text);
  if ((walk->length == 0 || walk->text[walk->length - 1] != ZT('\\')) && !Append(walk, ZT("\\"))) {
    return Refuse(walk, CLEAN_WALK_FAILED);
  }
  size_t directoryLength = walk->length;
  if (!Append(walk, kEveryEntry)) return Refuse(walk, CLEAN_WALK_FAILED);
  PlatFind* find = NULL;
  PlatFindData entry;
  int found = PlatFindFirst(walk->text, &find, &entry);
  CutTo(walk, directoryLength);
  bool exists = found == PLAT_OK;
  if (exists) {
    do {
      if (VisitEntry(walk, entry) != 0) {
        PlatFindClose(find);
        CutTo(walk, givenLength);
        return -1;
      }
    } while ((found = PlatFindNext(find, &entry)) == PLAT_OK);
    PlatFindClose(find);
  }
  // Only a missing folder or the end of its entries means there is nothing more: a folder that
  // cannot be read (no descriptor left, a failing medium) may still hold old files.
  if (found != PLAT_ERR_NOT_FOUND) {
    CutTo(walk, givenLength);
    return Refuse(walk, CLEAN_WALK_FAILED);
  }
  // A directory that keeps a protected file cannot go; its removal simply fails. The top
  // directory is recognised however it is spelt ("\Zeltrovan\", "\ZELTROVAN"), since the
  // device names it either way and losing it fails the copy that follows.
  bool top = NamesEqualIgnoringCase(walk->text, walk->length, kTopDirectory, TextLength(kTopDirectory));
  CutTo(walk, givenLength);
  if (!top && walk->deleting) PlatRemoveDirectory(walk->text);
  // A folder frees at least its first cluster, once nothing in it stays; a missing one nothing.
  if (exists && !top && !walk->deleting && walk->keptEntries == keptBefore) walk->freedClusters++;
  return 0;
}

static int WalkTree(const ZChar* dir, bool deleting, ZUInt32 clusterBytes, ZUInt64* freedClusters) {
  Walk walk = {NULL, 0, 0, deleting, clusterBytes, 0, 0, CLEAN_WALK_FAILED};
  int result = Append(&walk, dir) ? VisitTree(&walk) : -1;
  free(walk.text);
  *freedClusters = walk.freedClusters;
  return result == 0 ? CLEAN_READY : walk.refusal;
}

int RemoveInstallTree(const ZChar* dir) {
  ZUInt64 freedClusters = 0;
  return WalkTree(dir, true, 1, &freedClusters) == CLEAN_READY ? 0 : -1;
}

int CheckInstallTree(const ZChar* dir, ZUInt32 clusterBytes, ZUInt64* freedClusters) {
  return WalkTree(dir, false, clusterBytes, freedClusters);
}
