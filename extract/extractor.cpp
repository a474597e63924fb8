#include "extractor.h"

#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "device_rules.h"
#include "failure_reason.h"
#include "gbk.h"
#include "item_path.h"
#include "package_reader.h"
#include "platform.h"

// Every name and error goes out at once, as the run's stage lines do, so that a run cut short
// leaves a log that reaches the item it was working on.
// Writes "\n [ZELT_UPDATE]  ERROR: <message>\n" to the console (console.h) and flushes it.
static void PrintExtractError(const char* message) {
  ConsolePrint("\n [ZELT_UPDATE]  ERROR: ");
  ConsolePrint(message);
  ConsolePrint("\n");
  ConsoleFlush(true);
}

// Writes a UTF-16 name to the console (console.h) in its code page and flushes it, with
// whatever the item before printed after its name. SZ_ERROR_MEM when no buffer can be had,
// SZ_ERROR_FAIL when the name converts to nothing (an empty name).
static SRes PrintItemName(const UInt16* name) {
  const ZChar* text = reinterpret_cast<const ZChar*>(name);
  char* narrow = NULL;
  int produced = ConsoleTextOf(text, TextLength(text), &narrow);
  SRes res = narrow == NULL ? SZ_ERROR_MEM : produced == 0 ? SZ_ERROR_FAIL : SZ_OK;
  if (res == SZ_OK) {
    ConsoleWrite(narrow, static_cast<size_t>(produced));
    ConsoleFlush(false);  // with it the end of the item before
  }
  free(narrow);
  return res;
}

// Converts a narrow path into a zero-filled buffer of PLAT_MAX_PATH units, refusing one that
// would not fit (the conversion writes up to one unit per byte plus the terminator).
static bool WidenPath(const char* narrow, ZChar* wide) {
  size_t length = strlen(narrow);
  if (length + 1 > PLAT_MAX_PATH) return false;
  GbkToUnicode(wide, narrow, static_cast<int>(length));
  return true;
}

int ExtractFile(const char* packagePath, const char* outDir) {
  if (packagePath == NULL || outDir == NULL) return 1;
  ZChar wideOutDir[PLAT_MAX_PATH] = {0};
  if (!WidenPath(outDir, wideOutDir)) {
    PrintExtractError("output directory path too long");
    ReportFailure("the output folder's path is too long for the device");
    return 1;
  }
  return ExtractToDirectory(packagePath, wideOutDir);
}

int ExtractToDirectory(const char* packagePath, const ZChar* outDir) {
  if (packagePath == NULL || outDir == NULL) return 1;
  ZChar widePackage[PLAT_MAX_PATH] = {0};
  if (!WidenPath(packagePath, widePackage)) {
    PrintExtractError("package path too long");
    ReportFailure("the package's path is too long for the device");
    return 1;
  }
  return ExtractPackage(widePackage, outDir);
}

// A file that could not be created leaves the update whole only where an older file of that
// name stays in its place.
static bool EntryExists(const ZChar* path, bool directory) {
  ZUInt32 attributes = 0;
  return PlatGetFileAttributes(path, &attributes) == PLAT_OK &&
         ((attributes & PLAT_ATTR_DIRECTORY) != 0) == directory;
}

// Writes the started item index as it is decoded, and says why on standard error when it fails.
// Returns SZ_OK, or the result that stops the walk (a decoder's, or SZ_ERROR_FAIL for a failed
// write); *created is false when the file could not be created, and the walk goes on without it.
// A file that fails part-way stays as far as written.
static SRes WriteItemFile(PackageReader* reader, UInt32 index, const ZChar* path, bool* created) {
  const ZChar* name = reinterpret_cast<const ZChar*>(reader->name);
  PlatFile* file = NULL;
  *created = false;
  int opened = PlatFileCreate(path, &file);
  if (opened != PLAT_OK) {
    // The item's bytes still have to decode: a corrupt one stops the walk here as it would
    // have had the file been made.
    SRes res = SkipItem(reader);
    if (res != SZ_OK) {
      ReportResult(&reader->db, name, index, res);
      return res;
    }
    PrintExtractError("can not open output file");
    ReportPlatformFailure(path, "cannot create the file", opened);
    return SZ_OK;
  }
  *created = true;
  for (;;) {
    const Byte* data = NULL;
    size_t size = 0;
    SRes res = ReadItem(reader, &data, &size);
    if (res != SZ_OK) {
      PlatFileClose(file);
      ReportResult(&reader->db, name, index, res);
      return res;
    }
    if (size == 0) break;
    size_t written = 0;
    int wrote = PlatFileWrite(file, data, size, &written);
    if (wrote != PLAT_OK || written != size) {
      PrintExtractError("can not write output file");
      if (wrote == PLAT_OK) wrote = PLAT_ERR_IO;  // a volume that took what it had room for
      ReportPlatformFailure(path, "cannot write the file", wrote);
      PlatFileClose(file);
      return SZ_ERROR_FAIL;
    }
  }
  int closed = PlatFileClose(file);
  if (closed != PLAT_OK) {
    PrintExtractError("can not close output file");
    ReportPlatformFailure(path, "cannot close the file (its last bytes did not reach the medium)",
                          closed);
    return SZ_ERROR_FAIL;
  }
  return SZ_OK;
}

// Prints, decodes and writes item index. Returns SZ_OK to go on with the next item, or the result
// that stops the walk; *incomplete is set for an item skipped without stopping it. Every failure
// says why on standard error.
static SRes ExtractItem(PackageReader* reader, UInt32 index, const ZChar* outDir,
                        ZChar* madeFolder, bool* incomplete) {
  SRes res = ReadItemName(reader, index);
  if (res != SZ_OK) {
    ReportResult(&reader->db, NULL, index, res);
    return res;
  }
  ZChar* name = reinterpret_cast<ZChar*>(reader->name);
  res = PrintItemName(reader->name);
  if (res != SZ_OK) {
    ReportItemFailure(name, res == SZ_ERROR_MEM ? "not enough memory to print the name"
                                                        : "the name is empty or cannot be shown");
    return res;
  }
  bool isDirectory = SzArEx_IsDir(&reader->db, index);
  // A deletion marker of a differential package: what it names is already gone with the clean.
  if (IsAntiItem(reader, index)) {
    ConsolePrint(isDirectory ? "/\n" : "\n");
    return SZ_OK;
  }
  const char* problem = ItemPathProblem(outDir, name, isDirectory);
  if (problem != NULL) {
    PrintExtractError(problem);
    ReportItemFailure(name, problem);
    *incomplete = true;
    return SZ_OK;
  }
  if (isDirectory) {
    ConsolePrint("/");
    // The folder a writer packed as ".": it is outDir, already there.
    if (NamesOutputFolder(name)) {
      ConsolePrint("\n");
      return SZ_OK;
    }
  } else {
    res = StartItem(reader, index);
    if (res != SZ_OK) {
      ReportResult(&reader->db, name, index, res);
      return res;
    }
  }
  ZChar path[PLAT_MAX_PATH] = {0};
  PrepareItemPath(outDir, name, path, madeFolder);
  if (isDirectory) {
    // An existing directory is the common case; only a path left without one (a file in the
    // way) leaves the update incomplete.
    int made = PlatCreateDirectory(path);
    if (made != PLAT_OK && !EntryExists(path, true)) {
      PrintExtractError("can not create output directory");
      ReportPlatformFailure(path, "cannot create the folder", made);
      *incomplete = true;
      return SZ_OK;
    }
    ConsolePrint("\n");
    return SZ_OK;
  }
  bool created = false;
  res = WriteItemFile(reader, index, path, &created);
  if (res != SZ_OK) return res;
  // The item's attribute belongs to its bytes, not to an older file left at its path.
  if (!created) {
    if (!EntryExists(path, false)) *incomplete = true;
    return SZ_OK;
  }
  // Read-only is the one attribute a file takes, and a file just created is writable: only an item
  // stored read-only changes it, so no other file pays for its path being resolved again.
  if (SzBitWithVals_Check(&reader->db.Attribs, index) &&
      (reader->db.Attribs.Vals[index] & PLAT_ATTR_READONLY) != 0) {
    PlatSetFileAttributes(path, reader->db.Attribs.Vals[index]);
  }
  ConsolePrint("\n");
  return SZ_OK;
}

int ExtractPackage(const ZChar* packagePath, const ZChar* outDir) {
  ZChar outDirPath[PLAT_MAX_PATH] = {0};
  size_t outDirLength = TextLength(outDir);
  if (outDirLength + 1 > PLAT_MAX_PATH) {
    PrintExtractError("output directory path too long");
    ReportFailure("the output folder's path is too long for the device");
    return 1;
  }
  memcpy(outDirPath, outDir, outDirLength * sizeof(ZChar));

  PackageReader reader;
  int opened = OpenPackage(packagePath, &reader);
  if (opened == PACKAGE_UNREADABLE) PrintExtractError("can not open input file");
  if (opened != PACKAGE_OPENED) return 1;

  SRes res = SZ_OK;
  bool incomplete = false;  // an item was refused or is missing, but the walk went on
  ZChar madeFolder[PLAT_MAX_PATH] = {0};
  for (UInt32 i = 0; i < reader.db.NumFiles && res == SZ_OK; i++) {
    res = ExtractItem(&reader, i, outDirPath, madeFolder, &incomplete);
  }
  ClosePackage(&reader);
  if (res != SZ_OK || incomplete) return 1;
  ConsolePrint("\nEverything is Ok\n");
  ConsoleFlush(true);
  return 0;
}
