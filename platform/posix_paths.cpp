// Device paths on a POSIX host: the device root is a host folder, names match without regard to
// case, and nothing resolves outside the root.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "device_rules.h"
#include "platform.h"
#include "posix_internal.h"

static std::string rootSetting;  // SetDeviceRootFolder's folder, else ZELT_DEVICE_ROOT's, else "/"
static bool rootSet = false;
static std::string rootPath;     // rootSetting's canonical host path, once resolved
static bool rootResolved = false;

// The environment is read once, at the first path: nothing in the process changes it after.
int DeviceRootPath(const std::string** root) {
  if (!rootSet) {
    const char* env = getenv("ZELT_DEVICE_ROOT");
    rootSetting = env != nullptr && *env ? env : "/";
    rootSet = true;
  }
  if (!rootResolved) {
    char real[PATH_MAX];
    if (osRealpath(rootSetting.c_str(), real) == nullptr) return TranslateErrno(errno);
    rootPath = strcmp(real, "/") == 0 ? "" : real;
    rootResolved = true;
  }
  *root = &rootPath;
  return PLAT_OK;
}

int SetDeviceRootFolder(const char* folder) {
  rootSetting = folder;
  rootSet = true;
  rootResolved = false;
  const std::string* root = nullptr;
  return DeviceRootPath(&root);
}

static bool IsInside(const std::string& root, const std::string& path) {
  return root.empty() || path == root ||
         (path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
}

static const char* HostPath(const std::string& path) { return path.empty() ? "/" : path.c_str(); }

// ---- Folder index --------------------------------------------------------------------------------
// Matching a name without regard to case needs the folder's entries. Each folder a path leads
// through is read once and then kept in step by the kernel's change notifications (inotify),
// which tell of every entry created, removed or renamed there, by this process or any other.
// Every resolution first applies what was told since the last one, so the index then holds what
// the folder holds and a name missing from it is missing on disk: no system call per component,
// none per miss, and changes made behind the platform's back are seen at once. A folder that
// cannot be watched is read afresh for every name it does not hold under the exact case given.

enum EntryKind { KIND_UNKNOWN, KIND_FOLDER, KIND_LINK, KIND_OTHER };

struct Folder;

struct Entry {
  std::string name;  // as on disk
  size_t hash;       // of the name folded (FoldedHashOf), taken once for every index it meets
  mutable EntryKind kind;
  mutable std::unique_ptr<Folder> folder;  // this entry's own index, once a path led through it
};

// The next code point of a host name as the device compares it.
static uint32_t NextFolded(const std::string& name, size_t* i) {
  uint32_t c = NextHostCodePoint(name.data(), name.size(), i);
  return c < 0x10000 ? FoldCase(static_cast<ZChar>(c)) : c;
}

static bool SameFolded(const std::string& a, const std::string& b) {
  if (a == b) return true;
  size_t i = 0, k = 0;
  while (i < a.size() && k < b.size()) {
    if (NextFolded(a, &i) != NextFolded(b, &k)) return false;
  }
  return i == a.size() && k == b.size();
}

// Entries hash and compare by their device names folded, so a lookup meets every case variant.
static size_t FoldedHashOf(const std::string& name) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (size_t i = 0; i < name.size();) hash = (hash ^ NextFolded(name, &i)) * 1099511628211ull;
  return static_cast<size_t>(hash);
}
struct FoldedHash {
  size_t operator()(const Entry& entry) const { return entry.hash; }
};
struct FoldedEqual {
  bool operator()(const Entry& a, const Entry& b) const { return SameFolded(a.name, b.name); }
};

struct Folder {
  std::string host;
  int watch;
  Folder* parent;  // NULL for a device root
  std::unordered_multiset<Entry, FoldedHash, FoldedEqual> entries;
  ~Folder();
};

enum : uint32_t {
  kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
               IN_ONLYDIR | IN_DONT_FOLLOW
};

static int notifier = -1;
static bool notifierTried = false;
// One folder may be indexed more than once (under two device roots); the kernel gives it one watch.
static std::unordered_multimap<int, Folder*> foldersByWatch;
// The folder of the last path resolved through indexes alone, so that a run of paths in one
// folder walks only their last names. Only a change in a folder above it or an index forgotten
// can change where its path leads: a change told of any other folder, or any index forgotten,
// drops it.
static struct LastFolder {
  std::u16string path;  // the device path up to its last name, as given
  std::string root;
  std::string host;
  Folder* folder;  // NULL when nothing is kept
} lastFolder;
static std::unordered_map<std::string, std::unique_ptr<Folder>> rootFolders;

Folder::~Folder() {
  lastFolder.folder = nullptr;
  auto range = foldersByWatch.equal_range(watch);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == this) {
      foldersByWatch.erase(it);
      break;
    }
  }
  // The indexes below go one at a time, not each inside its parent's destruction: a tree as deep
  // as a device path allows must not take stack per level.
  std::vector<std::unique_ptr<Folder>> below;
  for (const Entry& entry : entries) {
    if (entry.folder) below.push_back(std::move(entry.folder));
  }
  while (!below.empty()) {
    std::unique_ptr<Folder> folder = std::move(below.back());
    below.pop_back();
    for (const Entry& entry : folder->entries) {
      if (entry.folder) below.push_back(std::move(entry.folder));
    }
  }
}

static EntryKind KindOfType(unsigned char type) {
  switch (type) {
    case DT_DIR: return KIND_FOLDER;
    case DT_LNK: return KIND_LINK;
    case DT_UNKNOWN: return KIND_UNKNOWN;
    default: return KIND_OTHER;
  }
}

static EntryKind KindOfMode(mode_t mode) {
  return S_ISDIR(mode) ? KIND_FOLDER : S_ISLNK(mode) ? KIND_LINK : KIND_OTHER;
}

static Entry NewEntry(const std::string& name, EntryKind kind) {
  return Entry{name, FoldedHashOf(name), kind, nullptr};
}

// The entry of that name, the exact case preferred among variants that differ only in case.
static const Entry* FindEntry(const Folder& folder, const std::string& name) {
  auto range = folder.entries.equal_range(NewEntry(name, KIND_UNKNOWN));
  const Entry* found = nullptr;
  for (auto it = range.first; it != range.second; ++it) {
    if (it->name == name) return &*it;
    if (found == nullptr) found = &*it;
  }
  return found;
}

static void RemoveEntry(Folder* folder, const Entry& named) {
  auto range = folder->entries.equal_range(named);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->name == named.name) {
      folder->entries.erase(it);
      return;
    }
  }
}

// Calls found(name, d_type) for every entry of the host folder but "." and "..".
template <typename Found>
static int ReadFolder(const std::string& host, Found found) {
  DIR* dir = osOpendir(HostPath(host));
  if (dir == nullptr) return TranslateErrno(errno);
  int result = PLAT_OK;
  for (;;) {
    errno = 0;
    dirent* entry = osReaddir(dir);
    if (entry == nullptr) {
      result = TranslateErrno(errno);
      break;
    }
    const char* name = entry->d_name;
    if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) found(name, entry->d_type);
  }
  osClosedir(dir);
  return result;
}

// Forgets a folder's index; the next path through it reads it again.
static void ForgetFolder(Folder* folder) {
  if (folder->parent == nullptr) {
    rootFolders.erase(folder->host);
    return;
  }
  std::string name = folder->host.substr(folder->host.rfind('/') + 1);
  auto range = folder->parent->entries.equal_range(NewEntry(name, KIND_UNKNOWN));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->folder.get() == folder) {
      it->folder.reset();
      return;
    }
  }
}

static void StopWatching() {
  rootFolders.clear();
  if (notifier >= 0) close(notifier);
  notifier = -1;
}

static void ApplyNotification(const inotify_event& event) {
  if (event.mask & IN_Q_OVERFLOW) {
    rootFolders.clear();  // changes were lost: every folder is read again
    return;
  }
  std::vector<Folder*> folders;
  auto range = foldersByWatch.equal_range(event.wd);
  for (auto it = range.first; it != range.second; ++it) folders.push_back(it->second);
  // Hashed once for every index the event touches.
  const Entry named = NewEntry(event.len > 0 ? event.name : "",
                               (event.mask & IN_ISDIR) ? KIND_FOLDER : KIND_UNKNOWN);
  for (Folder* folder : folders) {
    if (folder != lastFolder.folder) lastFolder.folder = nullptr;
    if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
      ForgetFolder(folder);
    } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
      RemoveEntry(folder, named);
    } else if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
      // Whatever had that name before is gone.
      RemoveEntry(folder, named);
      folder->entries.insert(Entry{named.name, named.hash, named.kind, nullptr});
    }
  }
}

// Brings every index up to what the kernel has told since the last call.
static void ApplyNotifications() {
  if (notifier < 0) return;
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    ssize_t got = osNotices(notifier, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return;
    if (got <= 0) {
      StopWatching();  // what was missed cannot be known
      return;
    }
    for (ssize_t offset = 0; offset < got;) {
      const inotify_event* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      ApplyNotification(*event);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    // A read that left room for one more event emptied the queue.
    if (static_cast<size_t>(got) < sizeof buffer - (sizeof(inotify_event) + NAME_MAX + 1)) return;
  }
}

// The index of the host folder, or NULL in *folder when it cannot be watched.
static int IndexFolder(const std::string& host, Folder* parent, std::unique_ptr<Folder>* folder) {
  folder->reset();
  if (!notifierTried) {
    notifierTried = true;
    notifier = osWatcher(IN_NONBLOCK | IN_CLOEXEC);
  }
  if (notifier < 0) return PLAT_OK;
  // Watched before it is read, so that no change falls between the two.
  int watch = osWatch(notifier, HostPath(host), kWatchMask);
  if (watch < 0) return PLAT_OK;
  std::unique_ptr<Folder> made(new Folder{host, watch, parent, {}});
  foldersByWatch.emplace(watch, made.get());
  int result = ReadFolder(host, [&made](const char* name, unsigned char type) {
    made->entries.insert(NewEntry(name, KindOfType(type)));
  });
  if (result == PLAT_OK) *folder = std::move(made);
  return result;
}

// Finds name in the host folder current, through its index when it has one. *actual becomes the
// name on disk and *entry the index entry (NULL without an index).
static int LookUp(Folder* folder, const std::string& current, const std::string& name,
                  std::string* actual, EntryKind* kind, const Entry** entry) {
  *entry = nullptr;
  if (folder != nullptr) {
    *entry = FindEntry(*folder, name);
    if (*entry == nullptr) return PLAT_ERR_NOT_FOUND;
    *actual = (*entry)->name;
    *kind = (*entry)->kind;
    return PLAT_OK;
  }
  struct stat st;
  if (osAttributes((current + "/" + name).c_str(), &st) == 0) {
    *actual = name;
    *kind = KindOfMode(st.st_mode);
    return PLAT_OK;
  }
  if (errno != ENOENT) return TranslateErrno(errno);
  bool matched = false;
  int result = ReadFolder(current, [&](const char* candidate, unsigned char type) {
    if (matched || !SameFolded(candidate, name)) return;
    matched = true;
    *actual = candidate;
    *kind = KindOfType(type);
  });
  if (result != PLAT_OK) return result;
  return matched ? PLAT_OK : PLAT_ERR_NOT_FOUND;
}

// A symbolic link is followed only where its target stays inside the root.
static int FollowInside(const std::string& root, std::string* hostPath) {
  char real[PATH_MAX];
  if (osRealpath(hostPath->c_str(), real) == nullptr) return TranslateErrno(errno);
  if (!IsInside(root, real)) return PLAT_ERR_INVALID;
  *hostPath = real;
  return PLAT_OK;
}

// Resolves one component inside the host folder *current (indexed by *folder, or NULL) and moves
// both onto it. A last component that does not exist leaves *current naming the entry to be
// created and *exists false. *name8 is room for the component in UTF-8.
static int ResolveComponent(const std::string& root, const char16_t* name, size_t length, bool last,
                            ResolveTarget target, std::string* current, Folder** folder,
                            bool* exists, std::string* name8) {
  if (length == 1 && name[0] == u'.') return PLAT_OK;
  bool parent = length == 2 && name[0] == u'.' && name[1] == u'.';
  if (parent || !Utf16ToUtf8(name, length, name8)) return PLAT_ERR_INVALID;
  std::string actual;
  EntryKind kind = KIND_UNKNOWN;
  const Entry* entry = nullptr;
  int result = LookUp(*folder, *current, *name8, &actual, &kind, &entry);
  if (result == PLAT_ERR_NOT_FOUND && last) {
    *exists = false;
    current->append("/").append(*name8);
    return PLAT_OK;
  }
  if (result != PLAT_OK) return result;
  current->append("/").append(actual);
  bool follow = !last || target == RESOLVE_OPEN;
  if (kind == KIND_UNKNOWN && follow) {
    struct stat st;
    if (osAttributes(current->c_str(), &st) != 0) return TranslateErrno(errno);
    kind = KindOfMode(st.st_mode);
    if (entry != nullptr) entry->kind = kind;
  }
  if (kind == KIND_LINK && follow) {
    result = FollowInside(root, current);
    if (result != PLAT_OK) return result;
    struct stat st;
    if (osStat(current->c_str(), &st) != 0) return TranslateErrno(errno);
    kind = S_ISDIR(st.st_mode) ? KIND_FOLDER : KIND_OTHER;
    // Past a link the walk goes on without the index: the link may be changed to lead elsewhere.
    entry = nullptr;
    *folder = nullptr;
  }
  if (last) return PLAT_OK;
  if (kind != KIND_FOLDER) return PLAT_ERR_NOT_FOUND;
  if (*folder == nullptr || entry == nullptr) {
    *folder = nullptr;
    return PLAT_OK;
  }
  if (!entry->folder) {
    result = IndexFolder(*current, *folder, &entry->folder);
    if (result != PLAT_OK) return result;
  }
  *folder = entry->folder.get();
  return PLAT_OK;
}

static int RootFolder(const std::string& root, Folder** folder) {
  auto found = rootFolders.find(root);
  if (found != rootFolders.end()) {
    *folder = found->second.get();
    return PLAT_OK;
  }
  std::unique_ptr<Folder> made;
  int result = IndexFolder(root, nullptr, &made);
  *folder = made.get();
  if (made) rootFolders.emplace(root, std::move(made));
  return result;
}

int ResolveDevicePath(const char16_t* path, ResolveTarget target, std::string* host, bool* exists) {
  if (!DevicePathFits(path, 0)) return PLAT_ERR_INVALID;
  const std::string* root = nullptr;
  int result = DeviceRootPath(&root);
  if (result != PLAT_OK) return result;
  ApplyNotifications();
  *exists = true;
  host->reserve(root->size() + 3 * PLAT_MAX_PATH);  // what a device path's UTF-8 can take
  size_t lastLength = 0;
  const char16_t* last = LastPathComponent(path, &lastLength);
  size_t folderUnits = last == nullptr ? 0 : static_cast<size_t>(last - path);
  Folder* folder = lastFolder.folder;
  std::string name8;
  if (folder != nullptr && lastFolder.root == *root && lastFolder.path.size() == folderUnits &&
      memcmp(lastFolder.path.data(), path, folderUnits * sizeof(char16_t)) == 0) {
    *host = lastFolder.host;
  } else {
    result = RootFolder(*root, &folder);
    if (result != PLAT_OK) return result;
    *host = *root;
    const char16_t* cursor = path;
    size_t length = 0;
    for (const char16_t* name = NextPathComponent(&cursor, &length); name != last;
         name = NextPathComponent(&cursor, &length)) {
      result = ResolveComponent(*root, name, length, false, target, host, &folder, exists, &name8);
      if (result != PLAT_OK) return result;
    }
    if (folder != nullptr) {
      lastFolder = LastFolder{std::u16string(path, folderUnits), *root, *host, folder};
    }
  }
  if (last != nullptr) {
    result = ResolveComponent(*root, last, lastLength, true, target, host, &folder, exists, &name8);
    if (result != PLAT_OK) return result;
  }
  if (host->empty()) *host = "/";
  return PLAT_OK;
}

int ToDevicePath(const std::string& hostPath, char16_t* devicePath, size_t size) {
  if (size > 0) devicePath[0] = 0;
  const std::string* root = nullptr;
  int result = DeviceRootPath(&root);
  if (result != PLAT_OK) return result;
  if (!IsInside(*root, hostPath)) return PLAT_ERR_INVALID;
  std::u16string wide;
  Utf8ToUtf16(hostPath.data() + root->size(), hostPath.size() - root->size(), &wide);
  if (wide.empty()) wide.push_back(u'/');
  if (wide.size() + 1 > size) return PLAT_ERR_INVALID;
  for (char16_t& c : wide) c = (c == u'/') ? u'\\' : c;
  wide.copy(devicePath, wide.size());
  devicePath[wide.size()] = 0;
  return PLAT_OK;
}
