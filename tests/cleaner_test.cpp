#include "install_cleaner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "device_test.h"
#include "platform.h"
#include "platform_testing.h"

namespace {

// Every entry below folder, "/" after the name of a directory.
std::set<std::string> Listing(const fs::path& folder) {
  std::set<std::string> names;
  for (auto& entry : fs::recursive_directory_iterator(folder)) {
    std::string name = PathBelow(entry.path(), folder).generic_u8string();
    names.insert(entry.is_directory() ? name + "/" : name);
  }
  return names;
}

// Keeps a file in use the way a loaded driver is: deleting it fails while this object lives.
// Taking the handle empties the file, so its contents are written back through the handle.
class FileInUse {
 public:
  FileInUse(const ZChar* devicePath, const std::string& contents) {
    EXPECT_EQ(PlatFileCreate(devicePath, &file_), PLAT_OK);
    if (file_ == nullptr) return;
    size_t written = 0;
    EXPECT_EQ(PlatFileWrite(file_, contents.data(), contents.size(), &written), PLAT_OK);
  }
  ~FileInUse() {
    if (file_ != nullptr) PlatFileClose(file_);
  }
  FileInUse(const FileInUse&) = delete;
  FileInUse& operator=(const FileInUse&) = delete;

 private:
  PlatFile* file_ = nullptr;
};

class CleanerTest : public DeviceTest {
 protected:
  fs::path Install() const { return Host("Zeltrovan"); }

  // Runs the cleaner on dir; *printed receives what it wrote to standard output.
  static int Clean(const ZChar* dir, std::string* printed) {
    testing::internal::CaptureStdout();
    int result = RemoveInstallTree(dir);
    *printed = testing::internal::GetCapturedStdout();
    return result;
  }
};

TEST_F(CleanerTest, MissingDirectoryCountsAsEmpty) {
  std::string printed;
  EXPECT_EQ(Clean(ZT("\\Zeltrovan"), &printed), 0);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(Clean(ZT("\\Zeltrovan\\old"), &printed), 0);
  EXPECT_EQ(printed, "");
  EXPECT_FALSE(fs::exists(Install()));
}

TEST_F(CleanerTest, EmptiesTreeSparingMarkerFilesAndTheirFolders) {
  WriteFile(Install() / "EMMC_Check_File.txt", "top marker");
  WriteFile(Install() / "app.exe", "old app");
  WriteFile(Install() / "ceusbkwrapperdrv.dll", "unused driver");
  WriteFile(Install() / "data/EMMC_Check_File.txt", "data marker");
  WriteFile(Install() / "data/a/b/EMMC_Check_File.txt", "deep marker");
  WriteFile(Install() / "data/a/b/old.bin", "old");
  WriteFile(Install() / "data/a/c/old.bin", "old");
  WriteFile(Install() / "logs/emmc_check_file.txt", "case variant");
  WriteFile(Install() / "nested/one/two/three/f.txt", "deep file");
  WriteFile(Install() / "nested/one/g.txt", "file");
  fs::create_directories(Install() / "empty");

  std::string printed;
  EXPECT_EQ(Clean(ZT("\\Zeltrovan"), &printed), 0);
  EXPECT_EQ(printed, "");
  std::set<std::string> kept = {"EMMC_Check_File.txt", "data/", "data/EMMC_Check_File.txt",
                                "data/a/", "data/a/b/", "data/a/b/EMMC_Check_File.txt"};
  EXPECT_EQ(Listing(Install()), kept);
  EXPECT_EQ(ReadFile(Install() / "data/EMMC_Check_File.txt"), "data marker");
  EXPECT_EQ(ReadFile(Install() / "data/a/b/EMMC_Check_File.txt"), "deep marker");
}

TEST_F(CleanerTest, MarkerNameInAnotherCaseBesideTheMarkerIsDeleted) {
  SKIP_ON_WIN32("the two names cannot both exist on a file system that ignores case");
  WriteFile(Install() / "EMMC_Check_File.txt", "marker");
  WriteFile(Install() / "EMMC_CHECK_FILE.TXT", "same name in other case");
  std::string printed;
  EXPECT_EQ(Clean(ZT("\\Zeltrovan"), &printed), 0);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(Listing(Install()), std::set<std::string>{"EMMC_Check_File.txt"});
}

TEST_F(CleanerTest, TopDirectoryStaysEvenWhenEmptied) {
  WriteFile(Install() / "n1/n2/n3/f.txt", "x");
  WriteFile(Install() / "n1/g.txt", "y");
  std::string printed;
  EXPECT_EQ(Clean(ZT("\\Zeltrovan"), &printed), 0);
  EXPECT_TRUE(fs::is_directory(Install()));
  EXPECT_TRUE(fs::is_empty(Install()));
  // However it is spelt, the top directory is the top directory.
  for (const ZChar* spelling : {ZT("\\Zeltrovan\\"), ZT("\\ZELTROVAN")}) {
    EXPECT_EQ(Clean(spelling, &printed), 0);
    EXPECT_TRUE(fs::is_directory(Install()));
  }
}

TEST_F(CleanerTest, OtherDirectoryIsRemovedOnceEmptied) {
  WriteFile(Install() / "old/x/y.txt", "y");
  WriteFile(Install() / "old/z.txt", "z");
  WriteFile(Install() / "kept/EMMC_Check_File.txt", "marker");
  WriteFile(Install() / "kept/w.txt", "w");
  WriteFile(Install() / "other.txt", "outside the walk");
  std::string printed;
  EXPECT_EQ(Clean(ZT("\\Zeltrovan\\old"), &printed), 0);
  EXPECT_EQ(Clean(ZT("\\Zeltrovan\\kept\\"), &printed), 0);
  std::set<std::string> left = {"kept/", "kept/EMMC_Check_File.txt", "other.txt"};
  EXPECT_EQ(Listing(Install()), left);
}

TEST_F(CleanerTest, DriverInUseIsLoggedAndPassedOver) {
  WriteFile(Install() / "drivers/ceusbkwrapperdrv.dll", "");
  WriteFile(Install() / "drivers/other.sys", "other driver");
  WriteFile(Install() / "app.exe", "old app");
  std::string printed;
  {
    FileInUse driver(ZT("\\Zeltrovan\\drivers\\ceusbkwrapperdrv.dll"), "loaded driver");
    EXPECT_EQ(Clean(ZT("\\Zeltrovan"), &printed), 0);
  }
  EXPECT_EQ(printed,
            "[ZELT_UPDATE] Line: 00070:delete \\Zeltrovan\\drivers\\ceusbkwrapperdrv.dll FAIL\n");
  std::set<std::string> left = {"drivers/", "drivers/ceusbkwrapperdrv.dll"};
  EXPECT_EQ(Listing(Install()), left);
  // Read once the handle is gone: on Windows it lets nobody else read.
  EXPECT_EQ(ReadFile(Install() / "drivers/ceusbkwrapperdrv.dll"), "loaded driver");
}

TEST_F(CleanerTest, ReadOnlyFileThatStaysReadOnlyStopsTheWalk) {
  const std::string settings = "設定";
  // The console shows names in its code page: UTF-8 on a POSIX host, the OEM code page on
  // Windows, which the Wine run sets to the device's 936.
  const std::string settingsInConsole = kWin32Backend ? "\xD4\x4F\xB6\xA8" : settings;
  std::set<std::string> files;
  for (int i = 1; i <= 4; i++) files.insert(settings + "-" + std::to_string(i) + ".ini");
  for (const std::string& name : files) WriteFile(Install() / "cfg" / fs::u8path(name), name);
  // The walk meets entries in the file system's order; when the first one cannot go, every other
  // entry is one it never reached. Its read-only attribute cannot be cleared.
  fs::path first = fs::directory_iterator(Install() / "cfg")->path();
  fs::permissions(first, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_EQ(PlatTestInjectFault("chmod", 1, PLAT_FAULT_ERROR), 0);

  std::string printed;
  EXPECT_EQ(Clean(ZT("\\Zeltrovan"), &printed), -1);
  EXPECT_EQ(printed, "[ZELT_UPDATE] Line: 00070:delete \\Zeltrovan\\cfg\\" + settingsInConsole +
                         first.filename().u8string().substr(settings.size()) + " FAIL\n");
  std::set<std::string> left = {"cfg/"};
  for (const std::string& name : files) left.insert("cfg/" + name);
  EXPECT_EQ(Listing(Install()), left);
  EXPECT_TRUE(IsReadOnly(first));
  PlatTestClearFaults();
}

}  // namespace

class CleanerFaultTest : public CleanerTest {};

// A folder that cannot be read, opened or an entry of it, may still hold old files: the clean
// fails rather than leave them beside the new install. Path lookups read folders too (how often
// depends on what the backend has cached), and a lookup that fails only skips the clearing of a
// read-only attribute; so each read in turn fails, and every run ends either refused with the
// file kept or complete. The walk's own reads are among them, so some runs must be refused.
TEST_F(CleanerFaultTest, FolderThatCannotBeReadFailsTheClean) {
  for (const char* call : {"opendir", "readdir"}) {
    int refused = 0;
    for (int nth = 1; nth <= 12; nth++) {
      SCOPED_TRACE(call + (" " + std::to_string(nth)));
      WriteFile(Install() / "a/b/old.txt", "old");
      ASSERT_EQ(PlatTestInjectFault(call, nth, PLAT_FAULT_ERROR), 0);
      std::string printed;
      int result = Clean(ZT("\\Zeltrovan"), &printed);
      PlatTestClearFaults();
      if (result == -1) {
        refused++;
        // An entry that cannot be read may be met after a deletion, or in a deletion's own path
        // lookup, which fails it: only a folder that cannot be opened refuses before anything.
        if (strcmp(call, "opendir") == 0) {
          EXPECT_EQ(printed, "");
          EXPECT_TRUE(fs::exists(Install() / "a/b/old.txt"));
        }
      } else {
        EXPECT_EQ(printed, "");
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(fs::is_empty(Install()));
      }
    }
    EXPECT_GE(refused, 1);
    std::string printed;
    EXPECT_EQ(Clean(ZT("\\Zeltrovan"), &printed), 0);
    EXPECT_TRUE(fs::is_empty(Install()));
  }
}

// A package may leave read-only files, and read-only folders may be met as well: the clean clears
// the attribute and deletes them like any other. A failed deletion keeps the attribute as it was.
TEST_F(CleanerFaultTest, ReadOnlyFilesAndFoldersAreCleared) {
  const fs::perms writeBits = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  WriteFile(Install() / "app.exe", "read-only app");
  WriteFile(Install() / "locked/cfg/a.ini", "a");
  WriteFile(Install() / "locked/b.ini", "b");
  WriteFile(Install() / "kept/EMMC_Check_File.txt", "marker");
  fs::create_directories(Install() / "empty");
  for (const char* path : {"app.exe", "locked/cfg/a.ini", "locked/cfg", "locked", "kept", "empty"})
    fs::permissions(Install() / path, writeBits, fs::perm_options::remove);
  fs::permissions(Install(), writeBits, fs::perm_options::remove);

  std::string printed;
  EXPECT_EQ(Clean(ZT("\\Zeltrovan"), &printed), 0);
  EXPECT_EQ(printed, "");
  std::set<std::string> kept = {"kept/", "kept/EMMC_Check_File.txt"};
  EXPECT_EQ(Listing(Install()), kept);

  // A read-only file whose deletion still fails once its attribute is cleared keeps it.
  WriteFile(Install() / "held.exe", "held");
  fs::permissions(Install() / "held.exe", writeBits, fs::perm_options::remove);
  ASSERT_EQ(PlatTestInjectFault("unlink", 1, PLAT_FAULT_ERROR), 0);
  EXPECT_EQ(Clean(ZT("\\Zeltrovan"), &printed), -1);
  EXPECT_EQ(printed, "[ZELT_UPDATE] Line: 00070:delete \\Zeltrovan\\held.exe FAIL\n");
  EXPECT_TRUE(IsReadOnly(Install() / "held.exe"));
}

// The proof walks what the clean would walk and changes nothing: it counts the clusters the clean
// frees (a file's whole clusters, a folder's first one), passes over what the clean keeps or
// tolerates and the folders that keep them, and names the first file in use.
TEST_F(CleanerTest, CheckProvesTheCleanWithoutChangingAnything) {
  WriteFile(Install() / "app.exe", std::string(1000, 'a'));
  WriteFile(Install() / "bin/lib.dll", std::string(200, 'b'));
  WriteFile(Install() / "bin/EMMC_Check_File.txt", "kept, not counted");
  WriteFile(Install() / "drivers/ceusbkwrapperdrv.dll", "");
  WriteFile(Install() / "readonly.cfg", std::string(30, 'c'));
  WriteFile(Install() / "old/a/x.txt", "x");
  fs::create_directories(Install() / "empty");
  fs::permissions(Install() / "readonly.cfg", fs::perms::owner_write | fs::perms::group_write |
                  fs::perms::others_write, fs::perm_options::remove);
  std::set<std::string> before = Listing(Install());
  ZUInt64 freed = 0;
  {
    FileInUse driver(ZT("\\Zeltrovan\\drivers\\ceusbkwrapperdrv.dll"), "loaded driver");
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckInstallTree(ZT("\\Zeltrovan"), 512, &freed), CLEAN_READY);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // app.exe 2, lib.dll 1, readonly.cfg 1, x.txt 1, and the folders old, old\a and empty.
    EXPECT_EQ(freed, 8u);
    EXPECT_EQ(CheckInstallTree(ZT("\\Zeltrovan"), 4096, &freed), CLEAN_READY);
    EXPECT_EQ(freed, 7u);

    FileInUse library(ZT("\\Zeltrovan\\bin\\lib.dll"), "in use");
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckInstallTree(ZT("\\Zeltrovan"), 512, &freed), CLEAN_FILE_IN_USE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[ZELT_UPDATE] Line: 00072:in use \\Zeltrovan\\bin\\lib.dll\n");
  }
  EXPECT_EQ(Listing(Install()), before);
  EXPECT_TRUE(IsReadOnly(Install() / "readonly.cfg"));
  EXPECT_EQ(CheckInstallTree(ZT("\\Zeltrovan\\missing"), 512, &freed), CLEAN_READY);
  EXPECT_EQ(freed, 0u);
  ASSERT_EQ(PlatTestInjectFault("opendir", 2, PLAT_FAULT_ERROR), 0);
  EXPECT_EQ(CheckInstallTree(ZT("\\Zeltrovan"), 512, &freed), CLEAN_WALK_FAILED);
  PlatTestClearFaults();
  EXPECT_EQ(Listing(Install()), before);
}
