#include "item_path.h"

#include <cstring>
#include <string>

static size_t Length(const char16_t* text) { return std::char_traits<char16_t>::length(text); }

static bool IsSeparator(char16_t c) { return c == u'/' || c == u'\\'; }

static bool HasParentComponent(const char16_t* name) {
  const char16_t* start = name;
  for (const char16_t* p = name;; p++) {
    if (*p == 0 || IsSeparator(*p)) {
      if (p - start == 2 && start[0] == u'.' && start[1] == u'.') return true;
      if (*p == 0) return false;
      start = p + 1;
    }
  }
}

const char* ItemPathProblem(const char16_t* outDir, const char16_t* name) {
  bool drivePrefix = name[0] != 0 && name[1] == u':';
  if (IsSeparator(name[0]) || drivePrefix || HasParentComponent(name)) {
    return "unsafe item path, item skipped";
  }
  if (Length(outDir) + 1 + Length(name) + 1 > PLAT_MAX_PATH) return "item path too long, item skipped";
  return nullptr;
}

// outDir + "\" + name into path; the caller has checked that it fits.
static void JoinPath(const char16_t* outDir, const char16_t* name, char16_t* path) {
  size_t dirLength = Length(outDir);
  size_t nameLength = Length(name);
  memcpy(path, outDir, dirLength * sizeof(char16_t));
  path[dirLength] = u'\\';
  memcpy(path + dirLength + 1, name, (nameLength + 1) * sizeof(char16_t));
}

void PrepareItemPath(const char16_t* outDir, char16_t* name, char16_t* path, char16_t* madeFolder) {
  char16_t* lastSlash = nullptr;
  for (char16_t* p = name; *p != 0; p++) {
    if (*p == u'/') lastSlash = p;
  }
  bool folderMade = false;
  if (lastSlash != nullptr) {
    *lastSlash = 0;
    JoinPath(outDir, name, path);
    *lastSlash = u'/';
    folderMade = std::char_traits<char16_t>::compare(path, madeFolder, Length(path) + 1) == 0;
    if (!folderMade) memcpy(madeFolder, path, (Length(path) + 1) * sizeof(char16_t));
  }
  for (char16_t* p = name; *p != 0; p++) {
    if (*p != u'/') continue;
    *p = 0;
    if (!folderMade) {
      JoinPath(outDir, name, path);
      PlatCreateDirectory(path);
    }
    *p = u'\\';
  }
  JoinPath(outDir, name, path);
}
