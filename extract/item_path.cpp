#include "item_path.h"

#include <string.h>

#include "device_names.h"

static bool HasParentComponent(const ZChar* name) {
  const ZChar* start = name;
  for (const ZChar* p = name;; p++) {
    if (*p == 0 || IsPathSeparator(*p)) {
      if (p - start == 2 && start[0] == ZT('.') && start[1] == ZT('.')) return true;
      if (*p == 0) return false;
      start = p + 1;
    }
  }
}

const char* ItemPathProblem(const ZChar* outDir, const ZChar* name) {
  bool drivePrefix = name[0] != 0 && name[1] == ZT(':');
  if (IsPathSeparator(name[0]) || drivePrefix || HasParentComponent(name)) {
    return "unsafe item path, item skipped";
  }
  if (TextLength(outDir) + 1 + TextLength(name) + 1 > PLAT_MAX_PATH) {
    return "item path too long, item skipped";
  }
  return NULL;
}

// outDir + "\" + name into path; the caller has checked that it fits.
static void JoinPath(const ZChar* outDir, const ZChar* name, ZChar* path) {
  size_t dirLength = TextLength(outDir);
  size_t nameLength = TextLength(name);
  memcpy(path, outDir, dirLength * sizeof(ZChar));
  path[dirLength] = ZT('\\');
  memcpy(path + dirLength + 1, name, (nameLength + 1) * sizeof(ZChar));
}

static bool SameText(const ZChar* a, const ZChar* b) {
  size_t length = TextLength(a);
  return length == TextLength(b) && memcmp(a, b, length * sizeof(ZChar)) == 0;
}

void PrepareItemPath(const ZChar* outDir, ZChar* name, ZChar* path, ZChar* madeFolder) {
  ZChar* lastSlash = NULL;
  for (ZChar* p = name; *p != 0; p++) {
    if (*p == ZT('/')) lastSlash = p;
  }
  bool folderMade = false;
  if (lastSlash != NULL) {
    *lastSlash = 0;
    JoinPath(outDir, name, path);
    *lastSlash = ZT('/');
    folderMade = SameText(path, madeFolder);
    if (!folderMade) memcpy(madeFolder, path, (TextLength(path) + 1) * sizeof(ZChar));
  }
  for (ZChar* p = name; *p != 0; p++) {
    if (*p != ZT('/')) continue;
    *p = 0;
    if (!folderMade) {
      JoinPath(outDir, name, path);
      PlatCreateDirectory(path);
    }
    *p = ZT('\\');
  }
  JoinPath(outDir, name, path);
}
