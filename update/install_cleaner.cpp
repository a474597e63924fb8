#include "install_cleaner.h"

#include <string>

#include "device_names.h"
#include "platform.h"
#include "update_log.h"

static const char16_t kTopDirectory[] = u"\\Zeltrovan\\";
static const char16_t kKeptFile[] = u"EMMC_Check_File.txt";
static const char16_t kToleratedFile[] = u"ceusbkwrapperdrv.dll";


// 0 to go on with the next entry, -1 to stop the walk.
static int RemoveEntry(const std::u16string& directory, const PlatFindData& entry) {
  std::u16string_view name(entry.name);
  if (entry.attributes & PLAT_ATTR_DIRECTORY) {
    if (name == u"." || name == u"..") return 0;
    return RemoveInstallTree((directory + entry.name).c_str()) == 0 ? 0 : -1;
  }
  if (name == kKeptFile) return 0;
  std::u16string path = directory + entry.name;
  if (PlatDeleteFile(path.c_str()) == PLAT_OK) return 0;
  LogDeleteFailure(path.c_str());
  // The driver may be loaded while the update runs; the package brings the same file again.
  return name == kToleratedFile ? 0 : -1;
}

int RemoveInstallTree(const char16_t* dir) {
  std::u16string directory(dir);
  if (directory.empty() || directory.back() != u'\\') directory += u'\\';
  PlatFind* find = nullptr;
  PlatFindData entry;
  if (PlatFindFirst((directory + u"*.*").c_str(), &find, &entry) == PLAT_OK) {
    do {
      if (RemoveEntry(directory, entry) != 0) {
        PlatFindClose(find);
        return -1;
      }
    } while (PlatFindNext(find, &entry) == PLAT_OK);
    PlatFindClose(find);
  }
  // A directory that keeps a protected file cannot go; its removal simply fails. The top
  // directory is recognised however it is spelt ("\Zeltrovan\", "\ZELTROVAN"), since the
  // device names it either way and losing it fails the copy that follows.
  if (!NamesEqualIgnoringCase(directory.data(), directory.size(), kTopDirectory,
                              std::char_traits<char16_t>::length(kTopDirectory))) {
    PlatRemoveDirectory(dir);
  }
  return 0;
}
