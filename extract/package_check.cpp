#include "package_check.h"

#include "device_rules.h"
#include "failure_reason.h"
#include "item_path.h"
#include "package_reader.h"
#include "package_space.h"

struct Progress {
  TestProgress report;
  void* context;
  ZUInt64 done;
  ZUInt64 total;
};

// Whether the extraction could make item index where the package test's tree says it lands: its
// name must print (not empty), and unless it is an anti-item, which writes nothing, pass the path
// and name checks, fit a FAT file, and find its place in the tree free. An item at the top of
// outDir named as the package copy (case ignored), or one in a folder of that name there, is
// refused: the update unpacks a copy of the package that lies just there, which is read while the
// items are written, so the item could neither replace it nor stay once the copy is deleted, and
// the folder could not be made beside it. Says why on standard error when report is set.
static bool ItemNameFits(PackageReader* reader, UInt32 index, const ZChar* outDir, const ZChar* copyName,
                         PackageTree* tree, bool report) {
  SRes res = ReadItemName(reader, index);
  if (res != SZ_OK) {
    if (report) ReportResult(&reader->db, NULL, index, res);
    return false;
  }
  const ZChar* name = reinterpret_cast<const ZChar*>(reader->name);
  const char* problem = NULL;
  if (name[0] == 0) {
    problem = "the name is empty";
  } else if (IsAntiItem(reader, index)) {
    return true;  // nothing to write
  }
  bool isDirectory = SzArEx_IsDir(&reader->db, index);
  if (problem == NULL) problem = ItemPathProblem(outDir, name, isDirectory);
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
  // A file named twice is no refusal: the update completes, as zelt-check warns.
  if (added == TREE_ADDED || added == TREE_SAME_FILE) return true;
  if (report) ReportItemConflict(&reader->db, name, TreeCause(added), other == index ? kNoItem : other);
  return false;
}

// Whether file item index decodes with a correct checksum, telling progress of its bytes; says why
// on standard error when not.
static bool ItemDecodes(PackageReader* reader, UInt32 index, Progress* progress) {
  SRes res = StartItem(reader, index);
  while (res == SZ_OK) {
    const Byte* data = NULL;
    size_t size = 0;
    res = ReadItem(reader, &data, &size);
    if (size == 0) break;
    if (progress->report != NULL) {
      progress->done += size;
      progress->report(progress->context, progress->done, progress->total);
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
                      PackageSpace* space, TestProgress progress, void* context) {
  PackageTree tree;
  PackageTreeInit(&tree, &reader->db,
                  space != NULL ? space->clusterBytes : static_cast<ZUInt32>(PLAT_ASSUMED_CLUSTER),
                  TextLength(copyName));
  // Names first, every one of them, so that the tree is whole for the measure: they cost little
  // beside decoding. Only the first refusal is told.
  int result = 0;
  for (UInt32 i = 0; i < reader->db.NumFiles; i++) {
    if (!ItemNameFits(reader, i, outDir, copyName, &tree, result == 0)) result = 1;
  }
  Progress counted = {progress, context, 0, 0};
  for (UInt32 i = 0; progress != NULL && i < reader->db.NumFiles; i++) {
    counted.total += SzArEx_GetFileSize(&reader->db, i);
  }
  for (UInt32 i = 0; i < reader->db.NumFiles && result == 0; i++) {
    if (IsAntiItem(reader, i) || SzArEx_IsDir(&reader->db, i)) continue;
    if (!ItemDecodes(reader, i, &counted)) result = 1;
  }
  if (space != NULL) {
    ZUInt64 fileBytes = 0;
    space->measured = PlatFileSize(reader->file, &fileBytes) == PLAT_OK && !tree.failed;
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
  int result = TestOpenedPackage(&reader, outDir, copyName, space, NULL, NULL);
  ClosePackage(&reader);
  return result;
}
