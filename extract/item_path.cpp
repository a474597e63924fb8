#include "item_path.h"

#include <string.h>

#include "device_rules.h"

void DropCurrentFolderComponents(ZChar* name) {
  ZChar* out = name;
  const ZChar* in = name;
  bool dropped = false;
  while (*in != 0) {
    const ZChar* end = in;
    while (*end != 0 && !IsPathSeparator(*end)) end++;
    bool current = end - in == 1 && in[0] == ZT('.');
    dropped = dropped || current;
    if (!current) {
      while (in < end) *out++ = *in++;
      if (*end != 0) *out++ = *end;
    }
    in = *end != 0 ? end + 1 : end;
  }
  // "a/." leaves "a/": the folder a.
  if (dropped && out > name && IsPathSeparator(out[-1])) out--;
  if (dropped && out == name) *out++ = ZT('.');
  *out = 0;
}

bool NamesOutputFolder(const ZChar* name) { return name[0] == ZT('.') && name[1] == 0; }

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

// outDir + "\" + name as the device creates it, and the deepest folder on its way (the item itself
// for a folder) as the cleaner lists it. Folders higher up are shorter, so they fit too. This also
// keeps the item's path within the PLAT_MAX_PATH buffer it is joined in.
static bool ItemPathFits(const ZChar* outDir, const ZChar* name, bool isDirectory) {
  size_t nameLength = TextLength(name);
  if (!DevicePathFits(outDir, 1 + nameLength)) return false;
  // The units that the folder's path adds to outDir: "\" and the name up to its last separator.
  size_t folderUnits = nameLength + 1;
  if (!isDirectory) {
    folderUnits = nameLength;
    while (folderUnits > 0 && !IsPathSeparator(name[folderUnits - 1])) folderUnits--;
  }
  return DevicePathFits(outDir, folderUnits + LISTING_SUFFIX_UNITS);
}

// The rule of the device's FAT names that a component of the name breaks (DeviceNameRuleBroken).
// A "\\" separates folders for some writers and is part of a name for others: the item is
// refused rather than guessed at.
static const char* NameProblem(const ZChar* name) {
  for (const ZChar* p = name; *p != 0; p++) {
    if (*p == ZT('\\')) return "a \\ inside the name (a folder or a character?), item skipped";
  }
  const ZChar* cursor = name;
  size_t length = 0;
  while (const ZChar* component = NextPathComponent(&cursor, &length)) {
    switch (DeviceNameRuleBroken(component, length)) {
      case NAME_FORBIDDEN_CHARACTER:
        return "a name the device cannot hold (one of : * ? \" < > | or a control character), item skipped";
      case NAME_ENDS_IN_DOT_OR_SPACE:
        return "a name ending in a dot or a space (Windows drops them from a file's name), item skipped";
      case NAME_TOO_LONG: return "a name over 255 units, item skipped";
      default: break;
    }
  }
  return NULL;
}

const char* ItemPathProblem(const ZChar* outDir, const ZChar* name, bool isDirectory) {
  bool drivePrefix = name[0] != 0 && name[1] == ZT(':');
  // A file named as the output folder could never be created, whatever the package test said.
  bool fileAsOutDir = !isDirectory && NamesOutputFolder(name);
  if (IsPathSeparator(name[0]) || drivePrefix || HasParentComponent(name) || fileAsOutDir) {
    return "unsafe item path, item skipped";
  }
  if (!ItemPathFits(outDir, name, isDirectory)) return "item path too long, item skipped";
  return NameProblem(name);
}

// outDir + "\" + name into path; the caller has checked that it fits.
static void JoinPath(const ZChar* outDir, const ZChar* name, ZChar* path) {
  size_t dirLength = TextLength(outDir);
  size_t nameLength = TextLength(name);
  memcpy(path, outDir, dirLength * sizeof(ZChar));
  path[dirLength] = ZT('\\');
  memcpy(path + dirLength + 1, name, (nameLength + 1) * sizeof(ZChar));
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
