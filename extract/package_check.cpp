#include "package_check.h"

#include "item_path.h"
#include "package_reader.h"

// Whether the extraction would handle item index: its name must print (not empty), and unless it
// is an anti-item, which writes nothing, pass the path checks, and a file must decode with a
// correct checksum.
static bool ItemWouldExtract(PackageReader* reader, UInt32 index, const ZChar* outDir) {
  if (ReadItemName(reader, index) != SZ_OK) return false;
  const ZChar* name = reinterpret_cast<const ZChar*>(reader->name);
  if (name[0] == 0) return false;
  if (IsAntiItem(reader, index)) return true;  // nothing to write
  if (ItemPathProblem(outDir, name) != NULL) return false;
  if (SzArEx_IsDir(&reader->db, index)) return true;
  return StartItem(reader, index) == SZ_OK && SkipItem(reader) == SZ_OK;
}

int TestPackage(const ZChar* packagePath, const ZChar* outDir) {
  PackageReader reader;
  if (OpenPackage(packagePath, &reader) != PACKAGE_OPENED) return 1;
  int result = 0;
  for (UInt32 i = 0; i < reader.db.NumFiles && result == 0; i++) {
    if (!ItemWouldExtract(&reader, i, outDir)) result = 1;
  }
  ClosePackage(&reader);
  return result;
}

int MeasurePackage(const ZChar* packagePath, ZUInt64* fileBytes, ZUInt64* unpackedBytes) {
  PackageReader reader;
  if (OpenPackage(packagePath, &reader) != PACKAGE_OPENED) return 1;
  int result = PlatFileSize(reader.file, fileBytes) == PLAT_OK ? 0 : 1;
  ZUInt64 total = 0;
  for (UInt32 i = 0; i < reader.db.NumFiles; i++) {
    ZUInt64 size = SzArEx_GetFileSize(&reader.db, i);
    total = total + size < total ? ~static_cast<ZUInt64>(0) : total + size;
  }
  *unpackedBytes = total;
  ClosePackage(&reader);
  return result;
}
