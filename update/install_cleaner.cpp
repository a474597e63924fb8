#include "install_cleaner.h"

#include <stdlib.h>
#include <string.h>

#include "device_rules.h"
#include "install_names.h"
#include "platform.h"
#include "update_log.h"

static const ZChar kEveryEntry[] = ZT("*.*");

// A folder the walk is inside: its open enumeration and where its path ends in the walk's text.
struct Level {
  PlatFind* find;          // NULL when the folder is missing or has no entries
  size_t givenLength;      // the folder's path as given, with no trailing backslash added
  size_t directoryLength;  // with the trailing backslash its entries' names follow
  ZUInt64 keptBefore;      // proving: the walk's kept entries when it entered the folder
};

// The walk over the tree: the path of the entry being visited, the folders it is inside, and
// whether the walk deletes or only proves that it could. Nothing of a level lives on the stack,
// since the tree may be as deep as a device path allows and the device's stack is small: the
// path is one buffer that each level appends its name to and cuts it off again, and the levels
// are one array; both grow when a deep tree needs it.
struct Walk {
  ZChar* text;
  size_t length;
  size_t capacity;     // units, terminator included
  Level* levels;
  size_t depth;
  size_t levelCapacity;
  PlatFindData entry;     // the deepest folder's current entry
  bool deleting;          // false: prove that the clean could finish now, changing nothing
  ZUInt32 clusterBytes;   // proving: the volume's allocation unit
  ZUInt64 freedClusters;  // proving: what the files and folders the clean would delete take
  ZUInt64 keptEntries;    // proving: the entries the clean would leave, so far
  KeptEntries* kept;      // proving: where the files it would leave are noted, or NULL
  int refusal;            // proving: the CLEAN_* reason why it could not finish
};

// The walk's steps return an enumeration's result (PLAT_OK: an entry to visit) or this, once the
// walk has stopped.
enum { kStopped = -1 };

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

// Counts a file the clean leaves, whose path walk->text holds when the caller asked for the
// paths, and notes it. False when memory runs out.
static bool Keep(Walk* walk) {
  walk->keptEntries++;
  KeptEntries* kept = walk->kept;
  if (kept == NULL) return true;
  if (kept->count == kept->capacity) {
    size_t capacity = kept->capacity * 2 + 4;
    ZChar** grown = static_cast<ZChar**>(malloc(capacity * sizeof(ZChar*)));
    if (grown == NULL) return false;
    if (kept->paths != NULL) memcpy(grown, kept->paths, kept->count * sizeof(ZChar*));
    free(kept->paths);
    kept->paths = grown;
    kept->capacity = capacity;
  }
  ZChar* path = static_cast<ZChar*>(malloc((walk->length + 1) * sizeof(ZChar)));
  if (path == NULL) return false;
  memcpy(path, walk->text, (walk->length + 1) * sizeof(ZChar));
  kept->paths[kept->count++] = path;
  kept->dirLength = walk->levels[0].directoryLength;
  return true;
}

static int Refuse(Walk* walk, int refusal) {
  walk->refusal = refusal;
  return kStopped;
}

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
  if (SameText(name, kToleratedFile)) return Keep(walk) ? 0 : Refuse(walk, CLEAN_WALK_FAILED);
  LogFileInUse(walk->text);
  return Refuse(walk, CLEAN_FILE_IN_USE);
}

// An entry that the device's file calls cannot reach stays where it is, as a folder that keeps a
// protected file stays: a file whose path is too long, or a folder too long to be listed (the
// application can make one of 256 to 259 units, which the device creates but never lists again).
// What it holds can be neither proved nor deleted, and refusing the run for it would refuse every
// update from then on; no package can bring an item there, since its test refuses such paths. An
// empty one still goes, since removing it takes only its own path. walk->text holds the entry's
// path. Returns whether the walk passes the entry by.
static bool PassOverUnreachable(Walk* walk, bool isDirectory) {
  if (!isDirectory) return !DevicePathFits(walk->text, 0);
  if (DevicePathFits(walk->text, LISTING_SUFFIX_UNITS)) return false;
  if (walk->deleting) PlatRemoveDirectory(walk->text);
  return true;
}

// A new deepest level, its enumeration not yet started; NULL when memory runs out.
static Level* PushLevel(Walk* walk, size_t givenLength, size_t directoryLength) {
  if (walk->depth == walk->levelCapacity) {
    size_t capacity = walk->levelCapacity * 2 + 16;
    Level* grown = static_cast<Level*>(malloc(capacity * sizeof(Level)));
    if (grown == NULL) return NULL;
    if (walk->levels != NULL) memcpy(grown, walk->levels, walk->depth * sizeof(Level));
    free(walk->levels);
    walk->levels = grown;
    walk->levelCapacity = capacity;
  }
  Level* level = &walk->levels[walk->depth++];
  level->find = NULL;
  level->givenLength = givenLength;
  level->directoryLength = directoryLength;
  level->keptBefore = walk->keptEntries;
  return level;
}

// Enters the folder walk->text names (without a trailing backslash; one is tolerated) and reads
// its first entry into walk->entry. Returns the enumeration's result, PLAT_ERR_NOT_FOUND for a
// folder with nothing in it, or kStopped when the walk cannot go on.
static int EnterFolder(Walk* walk) {
  size_t givenLength = walk->length;
  if (walk->deleting) ClearFolderReadOnly(walk->text);
  if ((walk->length == 0 || walk->text[walk->length - 1] != ZT('\\')) && !Append(walk, ZT("\\"))) {
    return Refuse(walk, CLEAN_WALK_FAILED);
  }
  size_t directoryLength = walk->length;
  if (!Append(walk, kEveryEntry)) return Refuse(walk, CLEAN_WALK_FAILED);
  Level* level = PushLevel(walk, givenLength, directoryLength);
  if (level == NULL) return Refuse(walk, CLEAN_WALK_FAILED);
  int found = PlatFindFirst(walk->text, &level->find, &walk->entry);
  if (found != PLAT_OK) level->find = NULL;
  CutTo(walk, directoryLength);
  return found;
}

// Leaves the deepest folder once its entries are all read (found is how its enumeration ended)
// and removes it. Returns the next entry's result in the folder above, PLAT_ERR_NOT_FOUND when
// the walk is done, or kStopped.
static int LeaveFolder(Walk* walk, int found) {
  Level* level = &walk->levels[walk->depth - 1];
  bool exists = level->find != NULL;
  if (level->find != NULL) PlatFindClose(level->find);
  level->find = NULL;
  // Only a missing folder or the end of its entries means there is nothing more: a folder that
  // cannot be read (no descriptor left, a failing medium) may still hold old files.
  if (found != PLAT_ERR_NOT_FOUND) return Refuse(walk, CLEAN_WALK_FAILED);
  // A directory that keeps a protected file cannot go; its removal simply fails. The top
  // directory is recognised however it is spelt ("\Zeltrovan\", "\ZELTROVAN"), since the
  // device names it either way and losing it fails the copy that follows.
  bool top = NamesEqualIgnoringCase(walk->text, walk->length, kInstallDirListed,
                                    TextLength(kInstallDirListed));
  CutTo(walk, level->givenLength);
  if (!top && walk->deleting) PlatRemoveDirectory(walk->text);
  // A folder frees at least its first cluster, once nothing in it stays; a missing one nothing.
  if (exists && !top && !walk->deleting && walk->keptEntries == level->keptBefore) {
    walk->freedClusters++;
  }
  walk->depth--;
  if (walk->depth == 0) return PLAT_ERR_NOT_FOUND;
  level = &walk->levels[walk->depth - 1];
  CutTo(walk, level->directoryLength);
  return PlatFindNext(level->find, &walk->entry);
}

// Visits walk->entry, an entry of the deepest folder, whose path walk->text holds up to its
// trailing backslash. Returns the result of the next entry to visit, in the entry's own folder
// for a directory, or kStopped.
static int VisitEntry(Walk* walk) {
  const PlatFindData& entry = walk->entry;
  Level* level = &walk->levels[walk->depth - 1];
  bool isDirectory = (entry.attributes & PLAT_ATTR_DIRECTORY) != 0;
  if (isDirectory && (SameText(entry.name, ZT(".")) || SameText(entry.name, ZT("..")))) {
    return PlatFindNext(level->find, &walk->entry);
  }
  if (!isDirectory && SameText(entry.name, kKeptFile)) {
    if ((walk->kept != NULL && !Append(walk, entry.name)) || !Keep(walk)) {
      return Refuse(walk, CLEAN_WALK_FAILED);
    }
    CutTo(walk, level->directoryLength);
    return PlatFindNext(level->find, &walk->entry);
  }
  if (!Append(walk, entry.name)) return Refuse(walk, CLEAN_WALK_FAILED);
  if (PassOverUnreachable(walk, isDirectory)) {
    walk->keptEntries++;
    CutTo(walk, level->directoryLength);
    return PlatFindNext(level->find, &walk->entry);
  }
  if (isDirectory) return EnterFolder(walk);
  int result = walk->deleting ? DeleteFile(walk, entry.name) : ProbeFile(walk, entry.name);
  CutTo(walk, level->directoryLength);
  return result != 0 ? kStopped : PlatFindNext(level->find, &walk->entry);
}

// Depth first, one entry at a time, with every open folder's enumeration kept in walk->levels.
static int WalkTree(const ZChar* dir, bool deleting, ZUInt32 clusterBytes, ZUInt64* freedClusters,
                    KeptEntries* kept) {
  Walk walk;
  memset(&walk, 0, sizeof walk);
  walk.deleting = deleting;
  walk.clusterBytes = clusterBytes;
  walk.kept = kept;
  walk.refusal = CLEAN_WALK_FAILED;
  int found = Append(&walk, dir) ? EnterFolder(&walk) : kStopped;
  while (found != kStopped && walk.depth > 0) {
    found = found == PLAT_OK ? VisitEntry(&walk) : LeaveFolder(&walk, found);
  }
  // A walk stopped part way leaves its folders' enumerations open.
  while (walk.depth > 0) {
    walk.depth--;
    if (walk.levels[walk.depth].find != NULL) PlatFindClose(walk.levels[walk.depth].find);
  }
  free(walk.levels);
  free(walk.text);
  *freedClusters = walk.freedClusters;
  return found == kStopped ? walk.refusal : CLEAN_READY;
}

int RemoveInstallTree(const ZChar* dir) {
  ZUInt64 freedClusters = 0;
  return WalkTree(dir, true, 1, &freedClusters, NULL) == CLEAN_READY ? 0 : -1;
}

int CheckInstallTree(const ZChar* dir, ZUInt32 clusterBytes, ZUInt64* freedClusters,
                     KeptEntries* kept) {
  return WalkTree(dir, false, clusterBytes, freedClusters, kept);
}

void FreeKeptEntries(KeptEntries* kept) {
  for (size_t i = 0; i < kept->count; i++) free(kept->paths[i]);
  free(kept->paths);
  memset(kept, 0, sizeof *kept);
}
