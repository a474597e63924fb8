#include "package_check.h"

#include "device_names.h"
#include "failure_reason.h"
#include "item_path.h"
#include "package_reader.h"
#include "package_space.h"

// The last component of a device path, or an empty one.
static const ZChar* FileName(const ZChar* path, size_t* length) {
  const ZChar* last = path + TextLength(path);
  *length = 0;
  size_t componentLength = 0;
  while (const ZChar* component = NextPathComponent(&path, &componentLength)) {
    last = component;
    *length = componentLength;
  }
  return last;
}

struct Progress {
  TestProgress report;
  void* context;
  ZUInt64 done;
  ZUInt64 total;
};

// Whether the extraction would handle item index: its name must print (not empty), and unless it
// is an anti-item, which writes nothing, pass the path checks, and a file must decode with a
// correct checksum. An item at the top of outDir named as the package (case ignored), or one in a
// folder of that name there, is refused: the update unpacks a copy of the package that lies just
// there, which is read while the items are written, so the item could neither replace it nor stay
// once the copy is deleted, and the folder could not be made beside it. Says why on standard error
// when it would not.
static bool ItemWouldExtract(PackageReader* reader, UInt32 index, const ZChar* outDir,
                             const ZChar* packageName, size_t packageNameLength, Progress* progress) {
  SRes res = ReadItemName(reader, index);
  if (res != SZ_OK) {
    ReportResult(&reader->db, NULL, index, res);
    return false;
  }
  const ZChar* name = reinterpret_cast<const ZChar*>(reader->name);
  if (name[0] == 0) {
    ReportItemFailure(name, "the name is empty");
    return false;
  }
  if (IsAntiItem(reader, index)) return true;  // nothing to write
  bool isDirectory = SzArEx_IsDir(&reader->db, index);
  const char* problem = ItemPathProblem(outDir, name, isDirectory);
  if (problem != NULL) {
    ReportItemFailure(name, problem);
    return false;
  }
  const ZChar* cursor = name;
  size_t topLength = 0;
  const ZChar* top = NextPathComponent(&cursor, &topLength);
  if (top != NULL && NamesEqualIgnoringCase(top, topLength, packageName, packageNameLength)) {
    ReportItemFailure(name, "named as the package's own copy, which the update unpacks from");
    return false;
  }
  if (isDirectory) return true;
  res = StartItem(reader, index);
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
  if (res != SZ_OK) ReportResult(&reader->db, name, index, res);
  return res == SZ_OK;
}

// Fills *space from the open package.
static void Measure(PackageReader* reader, PackageSpace* space) {
  ZUInt64 fileBytes = 0;
  space->measured = PlatFileSize(reader->file, &fileBytes) == PLAT_OK &&
                    PackageClusters(reader, space->clusterBytes, &space->unpackedClusters) == SZ_OK;
  space->packageClusters = WholeClusters(fileBytes, space->clusterBytes);
}

int TestOpenedPackage(PackageReader* reader, const ZChar* packagePath, const ZChar* outDir,
                      PackageSpace* space, TestProgress progress, void* context) {
  size_t packageNameLength = 0;
  const ZChar* packageName = FileName(packagePath, &packageNameLength);
  Progress counted = {progress, context, 0, 0};
  for (UInt32 i = 0; progress != NULL && i < reader->db.NumFiles; i++) {
    counted.total += SzArEx_GetFileSize(&reader->db, i);
  }
  int result = 0;
  for (UInt32 i = 0; i < reader->db.NumFiles && result == 0; i++) {
    if (!ItemWouldExtract(reader, i, outDir, packageName, packageNameLength, &counted)) result = 1;
  }
  if (space != NULL) Measure(reader, space);
  return result;
}

int TestPackage(const ZChar* packagePath, const ZChar* outDir, PackageSpace* space) {
  PackageReader reader;
  if (OpenPackage(packagePath, &reader) != PACKAGE_OPENED) return 1;
  int result = TestOpenedPackage(&reader, packagePath, outDir, space, NULL, NULL);
  ClosePackage(&reader);
  return result;
}
