#include "device_rules.h"

#include <string.h>

ZChar FoldCase(ZChar c) {
  if (c < 0x80) return (c >= ZT('a') && c <= ZT('z')) ? static_cast<ZChar>(c - 0x20) : c;
  // Latin-1 lower-case letters, except the division sign and y-diaeresis (which has no
  // single-unit upper case there).
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<ZChar>(c - 0x20);
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<ZChar>(c - 0x20);  // Greek
  if (c >= 0x430 && c <= 0x44F) return static_cast<ZChar>(c - 0x20);  // Cyrillic
  if (c >= 0x450 && c <= 0x45F) return static_cast<ZChar>(c - 0x50);
  return c;
}

bool NamesEqualIgnoringCase(const ZChar* a, size_t aLength, const ZChar* b, size_t bLength) {
  if (aLength != bLength) return false;
  for (size_t i = 0; i < aLength; i++) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

size_t TextLength(const ZChar* text) {
  size_t length = 0;
  while (text[length] != 0) length++;
  return length;
}

bool SameText(const ZChar* a, const ZChar* b) {
  size_t length = TextLength(a);
  return length == TextLength(b) && memcmp(a, b, length * sizeof(ZChar)) == 0;
}

const ZChar* NextPathComponent(const ZChar** cursor, size_t* length) {
  const ZChar* p = *cursor;
  while (IsPathSeparator(*p)) p++;
  if (*p == 0) {
    *cursor = p;
    return NULL;
  }
  const ZChar* start = p;
  while (*p != 0 && !IsPathSeparator(*p)) p++;
  *length = static_cast<size_t>(p - start);
  *cursor = p;
  return start;
}

const ZChar* LastPathComponent(const ZChar* path, size_t* length) {
  size_t end = TextLength(path);
  while (end > 0 && IsPathSeparator(path[end - 1])) end--;
  size_t start = end;
  while (start > 0 && !IsPathSeparator(path[start - 1])) start--;
  *length = end - start;
  return end == 0 ? NULL : path + start;
}

size_t EveryEntryPatternFolderLength(const ZChar* pattern) {
  static const ZChar kEveryEntry[] = ZT("*.*");
  const size_t suffix = 3;
  size_t length = TextLength(pattern);
  if (length <= suffix || !IsPathSeparator(pattern[length - suffix - 1])) return 0;
  for (size_t i = 0; i < suffix; i++) {
    if (pattern[length - suffix + i] != kEveryEntry[i]) return 0;
  }
  return length - suffix;
}

bool PathIsInside(const ZChar* path, const ZChar* folder) {
  const ZChar* pathCursor = path;
  const ZChar* folderCursor = folder;
  size_t folderLength = 0;
  while (const ZChar* folderName = NextPathComponent(&folderCursor, &folderLength)) {
    size_t pathLength = 0;
    const ZChar* pathName = NextPathComponent(&pathCursor, &pathLength);
    if (pathName == NULL || !NamesEqualIgnoringCase(pathName, pathLength, folderName, folderLength)) {
      return false;
    }
  }
  return true;
}

bool DevicePathFits(const ZChar* path, size_t appended) {
  size_t root = IsPathSeparator(path[0]) ? 0 : 1;
  return root + TextLength(path) + appended + 1 <= PLAT_MAX_PATH;
}

ZUInt64 WholeClusters(ZUInt64 bytes, ZUInt32 clusterBytes) {
  return bytes / clusterBytes + (bytes % clusterBytes != 0 ? 1 : 0);
}

ZUInt64 SaturatingSum(ZUInt64 a, ZUInt64 b) {
  return a + b < a ? ~static_cast<ZUInt64>(0) : a + b;
}

// Every unit of every name checked or created passes here: one switch decides it.
static bool ForbiddenInName(ZChar c) {
  switch (c) {
    case ZT('\\'): case ZT('/'): case ZT(':'): case ZT('*'): case ZT('?'): case ZT('"'):
    case ZT('<'): case ZT('>'): case ZT('|'):
      return true;
    default: return c < 0x20;
  }
}

int DeviceNameRuleBroken(const ZChar* name, size_t length) {
  for (size_t i = 0; i < length; i++) {
    if (ForbiddenInName(name[i])) return NAME_FORBIDDEN_CHARACTER;
  }
  if (length > DEVICE_NAME_MAX) return NAME_TOO_LONG;
  // "." and ".." are components of a path, not names.
  bool component = length > 0 && length <= 2 && name[0] == ZT('.') && name[length - 1] == ZT('.');
  if (!component && length > 0 && (name[length - 1] == ZT('.') || name[length - 1] == ZT(' '))) {
    return NAME_ENDS_IN_DOT_OR_SPACE;
  }
  return NAME_FITS;
}

bool DeviceCanCreate(const ZChar* path) {
  size_t length = 0;
  const ZChar* last = LastPathComponent(path, &length);
  return last == NULL || DeviceNameRuleBroken(last, length) == NAME_FITS;
}

bool DeviceFileSizeFits(ZUInt64 bytes) { return bytes <= 0xFFFFFFFFull; }
