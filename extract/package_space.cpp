#include "package_space.h"

#include <stdlib.h>

#include "device_names.h"

// A FAT folder entry is 32 bytes, and a long name takes one more entry for every 13 units.
enum { kEntryBytes = 32, kUnitsPerNameEntry = 13 };

// A folder: the first length units of an item's name.
struct FolderName {
  UInt32 item;
  UInt32 length;
};

static size_t NameLength(const CSzArEx* db, UInt32 item) {
  return db->FileNameOffsets[item + 1] - db->FileNameOffsets[item] - 1;
}

// Unit i of the item's name as the device compares names: case folded, either separator "/".
static ZChar NameUnit(const CSzArEx* db, UInt32 item, size_t i) {
  const Byte* unit = db->FileNames + (db->FileNameOffsets[item] + i) * 2;
  ZChar c = static_cast<ZChar>(unit[0] | (unit[1] << 8));
  return IsPathSeparator(c) ? ZT('/') : FoldCase(c);
}

// The folder entries that name the last component of the first length units of item's name.
static ZUInt64 EntryBytes(const CSzArEx* db, UInt32 item, size_t length) {
  size_t start = length;
  while (start > 0 && NameUnit(db, item, start - 1) != ZT('/')) start--;
  size_t units = length - start;
  return kEntryBytes * (1 + (units + kUnitsPerNameEntry - 1) / kUnitsPerNameEntry);
}

static int Compare(const CSzArEx* db, const FolderName& a, const FolderName& b) {
  for (size_t i = 0; i < a.length && i < b.length; i++) {
    ZChar x = NameUnit(db, a.item, i), y = NameUnit(db, b.item, i);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.length == b.length ? 0 : a.length < b.length ? -1 : 1;
}

// Heap sort: no recursion, however many folders a package has.
static void SiftDown(const CSzArEx* db, FolderName* folders, size_t root, size_t count) {
  for (size_t child; (child = 2 * root + 1) < count; root = child) {
    if (child + 1 < count && Compare(db, folders[child], folders[child + 1]) < 0) child++;
    if (Compare(db, folders[root], folders[child]) >= 0) return;
    FolderName swap = folders[root];
    folders[root] = folders[child];
    folders[child] = swap;
  }
}

static void SortFolders(const CSzArEx* db, FolderName* folders, size_t count) {
  for (size_t i = count / 2; i > 0; i--) SiftDown(db, folders, i - 1, count);
  for (size_t end = count; end > 1; end--) {
    FolderName swap = folders[0];
    folders[0] = folders[end - 1];
    folders[end - 1] = swap;
    SiftDown(db, folders, 0, end - 1);
  }
}

// Every folder an item names or lies in, once per item: fills folders when it is not NULL and
// returns how many there are.
static size_t ListFolders(const PackageReader* reader, FolderName* folders) {
  const CSzArEx* db = &reader->db;
  size_t count = 0;
  for (UInt32 item = 0; item < db->NumFiles; item++) {
    if (IsAntiItem(reader, item)) continue;
    size_t length = NameLength(db, item);
    for (size_t i = 1; i <= length; i++) {
      bool folderEnds = i < length ? NameUnit(db, item, i) == ZT('/') &&
                                         NameUnit(db, item, i - 1) != ZT('/')
                                   : SzArEx_IsDir(db, item);
      if (!folderEnds) continue;
      if (folders != NULL) {
        folders[count].item = item;
        folders[count].length = static_cast<UInt32>(i);
      }
      count++;
    }
  }
  return count;
}

SRes PackageClusters(const PackageReader* reader, ZUInt32 clusterBytes, ZUInt64* clusters) {
  const CSzArEx* db = &reader->db;
  ZUInt64 total = 0;
  ZUInt64 entryBytes = 0;
  for (UInt32 item = 0; item < db->NumFiles; item++) {
    if (IsAntiItem(reader, item) || SzArEx_IsDir(db, item)) continue;
    total = SaturatingSum(total, WholeClusters(SzArEx_GetFileSize(db, item), clusterBytes));
    entryBytes = SaturatingSum(entryBytes, EntryBytes(db, item, NameLength(db, item)));
  }
  // Names can share a folder in any order ("a/x", "b/y", "A/z"), so the folders are sorted to
  // count each once.
  size_t count = ListFolders(reader, NULL);
  FolderName* folders = NULL;
  if (count > 0) {
    if (count > static_cast<size_t>(-1) / sizeof(FolderName)) return SZ_ERROR_MEM;
    folders = static_cast<FolderName*>(malloc(count * sizeof(FolderName)));
    if (folders == NULL) return SZ_ERROR_MEM;
    ListFolders(reader, folders);
    SortFolders(db, folders, count);
  }
  for (size_t i = 0; i < count; i++) {
    if (i > 0 && Compare(db, folders[i - 1], folders[i]) == 0) continue;
    total = SaturatingSum(total, 1);
    entryBytes = SaturatingSum(entryBytes, EntryBytes(db, folders[i].item, folders[i].length));
  }
  free(folders);
  // Each folder's entries round up to whole clusters of their own; the one cluster every new
  // folder starts with covers that rounding, and the install folder has room where the clean
  // deleted entries.
  *clusters = SaturatingSum(total, WholeClusters(entryBytes, clusterBytes));
  return SZ_OK;
}
