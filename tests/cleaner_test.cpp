#include "install_cleaner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device_test.h"
#include "platform.h"
#include "platform_testing.h"

namespace {

// The device's view of a tree (DeviceTree): each file by its path with its bytes, each empty
// folder with "/" behind its name.
using Files = std::map<std::string, std::string>;

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

// What a clean leaves: the marker files in their own case and the folders that hold them, the top
// folder however it is spelt, and nothing where there was nothing. Each file holds its own name.
TEST_F(CleanerTest, CleanLeavesOnlyMarkerFilesTheirFoldersAndTheTop) {
  struct Row {
    const char* why;
    std::vector<std::string> files;  // below the install folder, "/" after an empty folder
    const ZChar* cleaned;
    std::set<std::string> left;      // the files below it, each holding its name
  };
  std::vector<Row> rows = {
      {"a missing folder is an empty one", {}, ZT("\\Zeltrovan"), {}},
      {"and so is one below it", {}, ZT("\\Zeltrovan\\old"), {}},
      {"markers and the folders that hold them stay",
       {"EMMC_Check_File.txt", "app.exe", "ceusbkwrapperdrv.dll", "data/EMMC_Check_File.txt",
        "data/a/b/EMMC_Check_File.txt", "data/a/b/old.bin", "data/a/c/old.bin", "logs/emmc_check_file.txt",
        "nested/one/two/three/f.txt", "nested/one/g.txt", "empty/"},
       ZT("\\Zeltrovan"),
       {"EMMC_Check_File.txt", "data/EMMC_Check_File.txt", "data/a/b/EMMC_Check_File.txt"}},
      {"a folder named like a marker is no marker", {"EMMC_Check_File.txt/notes.txt"}, ZT("\\Zeltrovan"), {}},
      {"the top folder stays emptied", {"n1/n2/n3/f.txt", "n1/g.txt"}, ZT("\\Zeltrovan"), {}},
      {"spelt with a separator behind", {"n1/g.txt"}, ZT("\\Zeltrovan\\"), {}},
      {"spelt in another case", {"n1/g.txt"}, ZT("\\ZELTROVAN"), {}},
      {"another folder goes once emptied", {"old/x/y.txt", "old/z.txt", "other.txt"}, ZT("\\Zeltrovan\\old"),
       {"other.txt"}},
      {"unless a marker keeps it", {"kept/EMMC_Check_File.txt", "kept/w.txt"}, ZT("\\Zeltrovan\\kept\\"),
       {"kept/EMMC_Check_File.txt"}},
  };
  // Both names can exist only where the file system tells case.
  if (!kWin32Backend) {
    rows.push_back({"the marker's name in another case beside it goes",
                    {"EMMC_Check_File.txt", "EMMC_CHECK_FILE.TXT"}, ZT("\\Zeltrovan"), {"EMMC_Check_File.txt"}});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    fs::remove_all(Install());
    for (const std::string& name : row.files) {
      if (name.back() == '/') {
        fs::create_directories(Install() / name);
      } else {
        WriteFile(Install() / name, name);
      }
    }
    std::string printed;
    EXPECT_EQ(Clean(row.cleaned, &printed), 0);
    EXPECT_EQ(printed, "");
    // The install folder stays unless it was missing.
    EXPECT_EQ(fs::is_directory(Install()), !row.files.empty());
    Files left;
    for (const std::string& name : row.left) left[name] = name;
    EXPECT_EQ(DeviceTree(ZT("\\Zeltrovan")), left);
  }
}

TEST_F(CleanerTest, DriverInUseIsLoggedAndPassedOver) {
  WriteFile(Install() / "drivers/ceusbkwrapperdrv.dll", "loaded driver");
  WriteFile(Install() / "drivers/other.sys", "other driver");
  WriteFile(Install() / "app.exe", "old app");
  std::string printed;
  {
    HeldByOtherProcess driver(device_.path(), "\\Zeltrovan\\drivers\\ceusbkwrapperdrv.dll");
    EXPECT_EQ(Clean(ZT("\\Zeltrovan"), &printed), 0);
  }
  EXPECT_EQ(printed,
            "[ZELT_UPDATE] Line: 00070:delete \\Zeltrovan\\drivers\\ceusbkwrapperdrv.dll FAIL\n");
  EXPECT_EQ(DeviceTree(ZT("\\Zeltrovan")), (Files{{"drivers/ceusbkwrapperdrv.dll", "loaded driver"}}));
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
  Files left;
  for (const std::string& name : files) left["cfg/" + name] = name;
  EXPECT_EQ(DeviceTree(ZT("\\Zeltrovan")), left);
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
  EXPECT_EQ(DeviceTree(ZT("\\Zeltrovan")), (Files{{"kept/EMMC_Check_File.txt", "marker"}}));

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
  const Files before = DeviceTree(ZT("\\Zeltrovan"));
  ZUInt64 freed = 0;
  {
    HeldByOtherProcess driver(device_.path(), "\\Zeltrovan\\drivers\\ceusbkwrapperdrv.dll");
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckInstallTree(ZT("\\Zeltrovan"), 512, &freed), CLEAN_READY);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // app.exe 2, lib.dll 1, readonly.cfg 1, x.txt 1, and the folders old, old\a and empty.
    EXPECT_EQ(freed, 8u);
    EXPECT_EQ(CheckInstallTree(ZT("\\Zeltrovan"), 4096, &freed), CLEAN_READY);
    EXPECT_EQ(freed, 7u);
  }
  {
    HeldByOtherProcess library(device_.path(), "\\Zeltrovan\\bin\\lib.dll");
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckInstallTree(ZT("\\Zeltrovan"), 512, &freed), CLEAN_FILE_IN_USE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[ZELT_UPDATE] Line: 00072:in use \\Zeltrovan\\bin\\lib.dll\n");
  }
  EXPECT_EQ(DeviceTree(ZT("\\Zeltrovan")), before);
  EXPECT_TRUE(IsReadOnly(Install() / "readonly.cfg"));
  EXPECT_EQ(CheckInstallTree(ZT("\\Zeltrovan\\missing"), 512, &freed), CLEAN_READY);
  EXPECT_EQ(freed, 0u);
  ASSERT_EQ(PlatTestInjectFault("opendir", 2, PLAT_FAULT_ERROR), 0);
  EXPECT_EQ(CheckInstallTree(ZT("\\Zeltrovan"), 512, &freed), CLEAN_WALK_FAILED);
  PlatTestClearFaults();
  EXPECT_EQ(DeviceTree(ZT("\\Zeltrovan")), before);
}
