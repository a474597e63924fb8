#include "kept_clash.h"

#include "device_rules.h"
#include "failure_reason.h"
#include "install_names.h"
#include "package_reader.h"

enum KeptClash { CLASH_NONE, CLASH_KEPT_FILE_ON_THE_WAY, CLASH_FOLDER_OVER_KEPT, CLASH_FILE_OVER_KEPT };

// How an item (its name, and whether it is a folder) meets a kept file (its path below the
// install directory), component by component.
static int ClashOf(const ZChar* name, bool isDirectory, const ZChar* kept) {
  const ZChar* itemCursor = name;
  const ZChar* keptCursor = kept;
  size_t itemLength = 0;
  size_t keptLength = 0;
  const ZChar* item = NextPathComponent(&itemCursor, &itemLength);
  const ZChar* file = NextPathComponent(&keptCursor, &keptLength);
  while (item != NULL && file != NULL) {
    if (!NamesEqualIgnoringCase(item, itemLength, file, keptLength)) return CLASH_NONE;
    item = NextPathComponent(&itemCursor, &itemLength);
    file = NextPathComponent(&keptCursor, &keptLength);
  }
  if (item != NULL) return CLASH_KEPT_FILE_ON_THE_WAY;
  if (file != NULL) return isDirectory ? CLASH_NONE : CLASH_FILE_OVER_KEPT;
  return isDirectory ? CLASH_FOLDER_OVER_KEPT : CLASH_NONE;
}

static void ReportClash(const ZChar* name, int clash, const ZChar* kept) {
  if (clash == CLASH_KEPT_FILE_ON_THE_WAY) {
    ReportItemAgainstEntry(name, kKeptFileOnTheWayCause, kept, "rename that folder in the package");
  } else if (clash == CLASH_FOLDER_OVER_KEPT) {
    ReportItemAgainstEntry(name, kFolderOverKeptFileCause, kept, "rename the folder in the package");
  } else {
    ReportItemAgainstEntry(name, kFileOverKeptFolderCause, kept, "rename the file in the package");
  }
}

bool ItemsClearKeptEntries(const ZChar* packagePath, const KeptEntries* kept) {
  if (kept->count == 0) return true;
  PackageReader reader;
  if (OpenPackage(packagePath, &reader) != PACKAGE_OPENED) {
    ReportItemFailure(kPackageCopyName, "cannot open the package");
    return false;
  }
  bool clear = true;
  for (UInt32 index = 0; clear && index < reader.db.NumFiles; index++) {
    if (IsAntiItem(&reader, index)) continue;
    SRes res = ReadItemName(&reader, index);
    if (res != SZ_OK) {
      ReportResult(&reader.db, NULL, index, res);
      clear = false;
      continue;
    }
    const ZChar* name = reinterpret_cast<const ZChar*>(reader.name);
    bool isDirectory = SzArEx_IsDir(&reader.db, index);
    for (size_t k = 0; clear && k < kept->count; k++) {
      int clash = ClashOf(name, isDirectory, kept->paths[k] + kept->dirLength);
      if (clash != CLASH_NONE) {
        ReportClash(name, clash, kept->paths[k]);
        clear = false;
      }
    }
  }
  ClosePackage(&reader);
  return clear;
}
