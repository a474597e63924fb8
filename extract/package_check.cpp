#include "package_check.h"

#include "device_rules.h"
#include "failure_reason.h"
#include "item_path.h"
#include "package_reader.h"
#include "package_space.h"

enum { kNoBlock = 0xFFFFFFFFu };

// The watch of a test, and the bytes decoded so far of the total it is told.
struct Watched {
  const TestWatch* watch;
  ZUInt64 done;
  ZUInt64 total;
};

// Whether the extraction could make item index where the package test's tree says it lands: its
// name must print (not empty), and unless it is an anti-item, which writes nothing, pass the path
// and name checks, fit a FAT file, and find its place in the tree free. An item at the top of
// outDir named as the package copy (case ignored), or one in a folder of that name there, is
// refused: the update unpacks a copy of the package that lies just there, which is read while the
// items are written, so the item could neither replace it nor stay once the copy is deleted, and
// the folder could not be made beside it. Says why on standard error when report is set, and tells
// a watch of the items placed.
static bool ItemNameFits(PackageReader* reader, UInt32 index, const ZChar* outDir, const ZChar* copyName,
                         PackageTree* tree, bool report, const TestWatch* watch) {
  SRes res = ReadItemName(reader, index);
  if (res != SZ_OK) {
    if (report) ReportResult(&reader->db, NULL, index, res);
    return false;
  }
  const ZChar* name = reinterpret_cast<const ZChar*>(reader->name);
  if (name[0] == 0) {
    if (report) ReportEmptyName(index);
    return false;
  }
  if (IsAntiItem(reader, index)) {
    if (watch != NULL && watch->placed != NULL) watch->placed(watch->context, index, name);
    return true;  // nothing to write
  }
  bool isDirectory = SzArEx_IsDir(&reader->db, index);
  const char* problem = ItemPathProblem(outDir, name, isDirectory);
  const ZChar* cursor = name;
  size_t topLength = 0;
  const ZChar* top = NextPathComponent(&cursor, &topLength);
  if (problem == NULL && top != NULL && NamesEqualIgnoringCase(top, topLength, copyName, TextLength(copyName))) {
    problem = "named as the package's own copy, which the update unpacks from";
  }
  if (problem == NULL && !isDirectory && !DeviceFileSizeFits(SzArEx_GetFileSize(&reader->db, index))) {
    problem = kFileTooLargeCause;
  }
  if (problem != NULL) {
    if (report) ReportItemFailure(name, problem);
    return false;
  }
  UInt32 other = index;
  int added = PackageTreeAdd(tree, index, &other);
  // A file named twice is no refusal: the update completes, and a watch is warned.
  bool placed = added == TREE_ADDED || added == TREE_SAME_FILE;
  if (report && (!placed || (added == TREE_SAME_FILE && watch != NULL))) {
    ReportItemConflict(&reader->db, name, TreeCause(added), other == index ? kNoItem : other);
  }
  if (placed && watch != NULL && watch->placed != NULL) watch->placed(watch->context, index, name);
  return placed;
}

// Whether file item index decodes with a correct checksum, telling a watch of its bytes; says why
// on standard error when not.
static bool ItemDecodes(PackageReader* reader, UInt32 index, Watched* watched) {
  SRes res = StartItem(reader, index);
  while (res == SZ_OK) {
    const Byte* data = NULL;
    size_t size = 0;
    res = ReadItem(reader, &data, &size);
    if (size == 0) break;
    if (watched->watch != NULL && watched->watch->progress != NULL) {
      watched->done += size;
      watched->watch->progress(watched->watch->context, watched->done, watched->total);
    }
  }
  if (res == SZ_OK) return true;
  if (ReadItemName(reader, index) == SZ_OK) {
    ReportResult(&reader->db, reinterpret_cast<const ZChar*>(reader->name), index, res);
  } else {
    ReportResult(&reader->db, NULL, index, res);
  }
  return false;
}

int TestOpenedPackage(PackageReader* reader, const ZChar* outDir, const ZChar* copyName,
                      PackageSpace* space, const TestWatch* watch) {
  const CSzArEx* db = &reader->db;
  PackageTree tree;
  PackageTreeInit(&tree, db, space != NULL ? space->clusterBytes : static_cast<ZUInt32>(PLAT_ASSUMED_CLUSTER),
                  TextLength(copyName));
  // Names first, every one of them, so that the tree is whole for the measure: they cost little
  // beside decoding.
  int result = 0;
  for (UInt32 i = 0; i < db->NumFiles; i++) {
    if (!ItemNameFits(reader, i, outDir, copyName, &tree, result == 0 || watch != NULL, watch)) result = 1;
  }
  Watched watched = {watch, 0, 0};
  for (UInt32 i = 0; watch != NULL && i < db->NumFiles; i++) watched.total += SzArEx_GetFileSize(db, i);
  // A block that failed is not decoded again for its later items.
  UInt32 failedBlock = kNoBlock;
  for (UInt32 i = 0; i < db->NumFiles && (result == 0 || watch != NULL); i++) {
    if (IsAntiItem(reader, i) || SzArEx_IsDir(db, i) || db->FileToFolder[i] == failedBlock) continue;
    if (!ItemDecodes(reader, i, &watched)) {
      result = 1;
      failedBlock = db->FileToFolder[i];
    }
  }
  ZUInt64 fileBytes = 0;
  bool sized = PlatFileSize(reader->file, &fileBytes) == PLAT_OK;
  // The update copies the package into outDir, as a file of the device's FAT volume too.
  if (sized && !DeviceFileSizeFits(fileBytes) && (result == 0 || watch != NULL)) {
    ReportFailure(kPackageTooLargeCause);
    result = 1;
  }
  if (space != NULL) {
    space->measured = sized && !tree.failed;
    space->packageClusters = WholeClusters(fileBytes, space->clusterBytes);
    space->unpackedClusters = PackageTreeClusters(&tree);
  }
  PackageTreeFree(&tree);
  return result;
}

int TestPackage(const ZChar* packagePath, const ZChar* outDir, const ZChar* copyName,
                PackageSpace* space) {
  PackageReader reader;
  if (OpenPackage(packagePath, &reader) != PACKAGE_OPENED) return 1;
  int result = TestOpenedPackage(&reader, outDir, copyName, space, NULL);
  ClosePackage(&reader);
  return result;
}
