// Device paths on a POSIX host: the device root is a host folder, names match without regard to
// case, and nothing resolves outside the root.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "device_names.h"
#include "platform.h"
#include "posix_internal.h"

static std::string rootOverride;
static bool rootOverridden = false;

// The root as a canonical host path without a trailing "/" ("" for the host's own root), cached
// for as long as the setting that names it stays the same.
static int DeviceRoot(std::string* root) {
  static std::string cachedSetting;
  static std::string cachedRoot;
  static bool cached = false;
  const char* env = getenv("ZELT_DEVICE_ROOT");
  std::string setting = rootOverridden ? rootOverride : (env != nullptr && *env ? env : "/");
  if (!cached || setting != cachedSetting) {
    char real[PATH_MAX];
    if (realpath(setting.c_str(), real) == nullptr) return TranslateErrno(errno);
    cachedSetting = setting;
    cachedRoot = real;
    if (cachedRoot == "/") cachedRoot.clear();
    cached = true;
  }
  *root = cachedRoot;
  return PLAT_OK;
}

int PlatSetDeviceRoot(const char* hostDirectory) {
  rootOverride = hostDirectory;
  rootOverridden = true;
  std::string root;
  return DeviceRoot(&root);
}

static bool IsInside(const std::string& root, const std::string& path) {
  return root.empty() || path == root ||
         (path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
}

static std::u16string FoldedName(const char* utf8Name) {
  std::u16string name;
  Utf8ToUtf16(utf8Name, strlen(utf8Name), &name);
  for (char16_t& c : name) c = FoldCase(c);
  return name;
}

// Case-insensitive lookup. Small folders are scanned on every miss; a large one keeps an index
// of folded names, valid while the folder's identity and change time stay as recorded, so that
// filling a folder with thousands of files costs one scan rather than one per file.
enum { kIndexThreshold = 64 };

struct FolderIndex {
  dev_t device;
  ino_t inode;
  timespec changed;
  std::unordered_map<std::u16string, std::string> names;  // folded name -> name on disk
};
static std::unordered_map<std::string, FolderIndex> folderIndexes;

static bool SameStamp(const FolderIndex& index, const struct stat& st) {
  return index.device == st.st_dev && index.inode == st.st_ino &&
         index.changed.tv_sec == st.st_mtim.tv_sec && index.changed.tv_nsec == st.st_mtim.tv_nsec;
}

static void Restamp(FolderIndex* index, const std::string& folder) {
  struct stat st;
  if (stat(folder.empty() ? "/" : folder.c_str(), &st) != 0) {
    folderIndexes.erase(folder);
    return;
  }
  index->device = st.st_dev;
  index->inode = st.st_ino;
  index->changed = st.st_mtim;
}

// Finds the on-disk name in folder that matches name ignoring case: PLAT_OK, PLAT_ERR_NOT_FOUND,
// or why the folder could not be read.
static int FindIgnoringCase(const std::string& folder, const std::u16string& folded,
                            std::string* actual) {
  const char* dirPath = folder.empty() ? "/" : folder.c_str();
  struct stat st;
  if (stat(dirPath, &st) != 0) return TranslateErrno(errno);
  auto found = folderIndexes.find(folder);
  if (found != folderIndexes.end() && SameStamp(found->second, st)) {
    auto hit = found->second.names.find(folded);
    if (hit == found->second.names.end()) return PLAT_ERR_NOT_FOUND;
    *actual = hit->second;
    return PLAT_OK;
  }
  DIR* dir = osCalls.opendir(dirPath);
  if (dir == nullptr) return TranslateErrno(errno);
  FolderIndex index{st.st_dev, st.st_ino, st.st_mtim, {}};
  size_t entries = 0;
  bool matched = false;
  int result = PLAT_OK;
  for (;;) {
    errno = 0;
    dirent* entry = readdir(dir);
    if (entry == nullptr) {
      result = TranslateErrno(errno);
      break;
    }
    entries++;
    std::u16string key = FoldedName(entry->d_name);
    if (!matched && key == folded) {
      *actual = entry->d_name;
      matched = true;
    }
    index.names.emplace(std::move(key), entry->d_name);
  }
  closedir(dir);
  if (result == PLAT_OK && entries > kIndexThreshold) {
    folderIndexes[folder] = std::move(index);
  } else {
    folderIndexes.erase(folder);
  }
  if (result != PLAT_OK) return result;
  return matched ? PLAT_OK : PLAT_ERR_NOT_FOUND;
}

void NoteEntryAdded(const std::string& hostPath) {
  size_t slash = hostPath.rfind('/');
  std::string folder = hostPath.substr(0, slash);
  auto found = folderIndexes.find(folder);
  if (found == folderIndexes.end()) return;
  std::string name = hostPath.substr(slash + 1);
  found->second.names.emplace(FoldedName(name.c_str()), name);
  Restamp(&found->second, folder);
}

// A removal by the exact name involves no lookup, so nothing has checked that the index was still
// current before it; restamping could hide a change made behind it. The next lookup rebuilds it.
void NoteEntryRemoved(const std::string& hostPath) {
  folderIndexes.erase(hostPath.substr(0, hostPath.rfind('/')));
}

// A symbolic link is followed only where its target stays inside the root.
static int FollowInside(const std::string& root, std::string* hostPath) {
  char real[PATH_MAX];
  if (realpath(hostPath->c_str(), real) == nullptr) return TranslateErrno(errno);
  if (!IsInside(root, real)) return PLAT_ERR_INVALID;
  *hostPath = real;
  return PLAT_OK;
}

// Resolves one component inside the host folder *current and moves *current onto it. A last
// component that does not exist leaves *current naming the entry to be created and *exists false.
static int ResolveComponent(const std::string& root, const std::u16string& name, bool last,
                            ResolveTarget target, std::string* current, bool* exists) {
  if (name == u".") return PLAT_OK;
  std::string name8;
  if (name == u".." || !Utf16ToUtf8(name.data(), name.size(), &name8)) return PLAT_ERR_INVALID;
  struct stat st;
  std::string candidate = *current + "/" + name8;
  if (lstat(candidate.c_str(), &st) != 0) {
    if (errno != ENOENT) return TranslateErrno(errno);
    std::u16string folded = name;
    for (char16_t& c : folded) c = FoldCase(c);
    std::string actual;
    int result = FindIgnoringCase(*current, folded, &actual);
    if (result == PLAT_OK) {
      candidate = *current + "/" + actual;
      if (lstat(candidate.c_str(), &st) != 0) return TranslateErrno(errno);
    } else if (result == PLAT_ERR_NOT_FOUND && last) {
      *exists = false;
      *current = candidate;
      return PLAT_OK;
    } else {
      return result;
    }
  }
  *current = candidate;
  if (S_ISLNK(st.st_mode) && (!last || target == RESOLVE_OPEN)) {
    int result = FollowInside(root, current);
    if (result != PLAT_OK) return result;
    if (stat(current->c_str(), &st) != 0) return TranslateErrno(errno);
  }
  return !last && !S_ISDIR(st.st_mode) ? PLAT_ERR_NOT_FOUND : PLAT_OK;
}

// The folder that the last path resolved lies in, so that a run of paths in one folder (a package
// unpacked, a folder emptied) walks the path to it once. It is trusted while the host folder is
// still the same directory: a rename or a replacement along the way gives another inode there.
struct ResolvedFolder {
  bool valid;
  std::string root;
  std::u16string devicePath;  // as given, up to the start of the last component
  std::string host;
  dev_t device;
  ino_t inode;
};
static ResolvedFolder lastFolder;

static bool StillResolves(const ResolvedFolder& folder, const std::string& root,
                          std::u16string_view devicePath) {
  if (!folder.valid || folder.root != root || folder.devicePath != devicePath) return false;
  struct stat st;
  return stat(folder.host.empty() ? "/" : folder.host.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         st.st_dev == folder.device && st.st_ino == folder.inode;
}

static void RememberFolder(const std::string& root, std::u16string_view devicePath,
                           const std::string& host) {
  struct stat st;
  lastFolder.valid = stat(host.empty() ? "/" : host.c_str(), &st) == 0;
  lastFolder.root = root;
  lastFolder.devicePath = devicePath;
  lastFolder.host = host;
  lastFolder.device = st.st_dev;
  lastFolder.inode = st.st_ino;
}

int ResolveDevicePath(const char16_t* path, ResolveTarget target, std::string* host, bool* exists) {
  std::string root;
  int result = DeviceRoot(&root);
  if (result != PLAT_OK) return result;
  std::vector<std::u16string> names;
  const char16_t* lastStart = path;
  const char16_t* cursor = path;
  size_t length = 0;
  while (const char16_t* component = NextPathComponent(&cursor, &length)) {
    names.emplace_back(component, length);
    lastStart = component;
  }
  std::u16string_view folderPath(path, static_cast<size_t>(lastStart - path));
  std::string current = root;
  size_t first = 0;
  if (names.size() > 1 && StillResolves(lastFolder, root, folderPath)) {
    current = lastFolder.host;
    first = names.size() - 1;
  }
  *exists = true;
  for (size_t i = first; i < names.size(); i++) {
    bool last = i + 1 == names.size();
    if (last && i > 0 && first == 0) RememberFolder(root, folderPath, current);
    result = ResolveComponent(root, names[i], last, target, &current, exists);
    if (result != PLAT_OK) return result;
  }
  *host = current.empty() ? "/" : current;
  return PLAT_OK;
}

// Removes "." and ".." from an absolute host path without touching the file system.
static std::string Normalize(const std::string& absolute) {
  std::string out;
  size_t i = 0;
  while (i < absolute.size()) {
    size_t end = absolute.find('/', i);
    if (end == std::string::npos) end = absolute.size();
    std::string part = absolute.substr(i, end - i);
    i = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      size_t slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
      continue;
    }
    out += "/" + part;
  }
  return out;
}

int PlatHostPathToDevicePath(const char* hostPath, char16_t* devicePath, size_t size) {
  if (size > 0) devicePath[0] = 0;
  std::string absolute = hostPath;
  if (absolute.empty()) return PLAT_ERR_INVALID;
  if (absolute[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return TranslateErrno(errno);
    absolute = std::string(cwd) + "/" + absolute;
  }
  absolute = Normalize(absolute);
  std::string root;
  int result = DeviceRoot(&root);
  if (result != PLAT_OK) return result;
  if (!IsInside(root, absolute)) return PLAT_ERR_INVALID;
  std::u16string wide;
  Utf8ToUtf16(absolute.data() + root.size(), absolute.size() - root.size(), &wide);
  if (wide.empty()) wide.push_back(u'/');
  if (wide.size() + 1 > size) return PLAT_ERR_INVALID;
  for (char16_t& c : wide) c = (c == u'/') ? u'\\' : c;
  wide.copy(devicePath, wide.size());
  devicePath[wide.size()] = 0;
  return PLAT_OK;
}
