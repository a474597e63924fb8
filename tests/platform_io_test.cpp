// Contract cases of the platform seam for sharing, freshness of names and failures that must
// keep their own meaning. Everything handed to the platform is ZChar text, so that the file
// compiles for every backend; cases named "Posix..." are about the host's own model (byte names,
// change notifications) and belong to the POSIX backend alone.
#include "platform.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "device_test.h"
#include "platform_testing.h"

namespace {

class PlatformIoTest : public DeviceTest {};

// ---- Sharing ---------------------------------------------------------------------------------------

// Readers share a file with each other; a writer or a deleter needs it alone. The package that
// the updater unpacks is such a reader, so an item of the same name must not truncate it.
TEST_F(PlatformIoTest, FileOpenForReadingIsInUseForWritersAndDeleters) {
  WriteFile(Host("Zeltrovan.7z"), "package bytes");
  PlatFile* reader = nullptr;
  ASSERT_EQ(PlatFileOpenRead(ZT("Zeltrovan.7z"), &reader), PLAT_OK);
  PlatFile* writer = nullptr;
  EXPECT_EQ(PlatFileCreate(ZT("ZELTROVAN.7Z"), &writer), PLAT_ERR_IN_USE);
  EXPECT_EQ(PlatDeleteFile(ZT("zeltrovan.7z")), PLAT_ERR_IN_USE);
  EXPECT_EQ(DeviceContents(ZT("Zeltrovan.7z")), "package bytes") << "a second reader is welcome";

  char buffer[7] = {};
  size_t got = sizeof buffer;
  EXPECT_EQ(PlatFileRead(reader, buffer, &got), PLAT_OK);
  EXPECT_EQ(std::string(buffer, got), "package");
  EXPECT_EQ(PlatFileClose(reader), PLAT_OK);

  EXPECT_EQ(WriteDeviceFile(ZT("Zeltrovan.7z"), "new"), PLAT_OK) << "free once the reader is gone";
  EXPECT_EQ(ReadFile(Host("Zeltrovan.7z")), "new");
}

TEST_F(PlatformIoTest, FileOpenForWritingCannotBeRead) {
  PlatFile* writer = nullptr;
  ASSERT_EQ(PlatFileCreate(ZT("log.txt"), &writer), PLAT_OK);
  EXPECT_EQ(DeviceContents(ZT("LOG.TXT")), Failure(PLAT_ERR_IN_USE));
  EXPECT_EQ(PlatFileClose(writer), PLAT_OK);
  EXPECT_EQ(DeviceContents(ZT("LOG.TXT")), "");
}

// ---- Names seen at once ------------------------------------------------------------------------

// A folder large enough that a backend would rather remember its names than read it per lookup.
class PlatformFreshNamesTest : public PlatformIoTest {
 protected:
  void SetUp() override {
    PlatformIoTest::SetUp();
    for (int i = 0; i < 100; i++) WriteFile(Host("big/file" + std::to_string(i) + ".txt"), "old");
    WriteFile(Host("a/b/f.txt"), "first");
  }
};

// Another process's changes count from the moment they are made, however soon after the
// platform last looked.
TEST_F(PlatformFreshNamesTest, ChangesMadeBehindThePlatformAreSeenAtOnce) {
  ASSERT_EQ(DeviceContents(ZT("BIG\\FILE1.TXT")), "old");
  WriteFile(Host("big/Behind.txt"), "behind");
  fs::rename(Host("big/file2.txt"), Host("big/Renamed.txt"));
  fs::remove(Host("big/file3.txt"));
  EXPECT_EQ(DeviceContents(ZT("big\\BEHIND.TXT")), "behind");
  EXPECT_EQ(DeviceContents(ZT("big\\renamed.TXT")), "old");
  EXPECT_EQ(DeviceContents(ZT("big\\FILE2.TXT")), NotFound());
  EXPECT_EQ(DeviceContents(ZT("big\\file3.txt")), NotFound());

  ASSERT_EQ(WriteDeviceFile(ZT("BIG\\behind.txt"), "inside"), PLAT_OK);
  EXPECT_EQ(ReadFile(Host("big/Behind.txt")), "inside") << "one file, not a second spelling";
  fs::remove(Host("big/Behind.txt"));
  ASSERT_EQ(WriteDeviceFile(ZT("BIG\\behind.txt"), "again"), PLAT_OK);
  EXPECT_EQ(ReadFile(Host("big/behind.txt")), "again");
  size_t spellings = 0;
  for (auto& entry : fs::directory_iterator(Host("big"))) {
    std::string name = entry.path().filename().string();
    spellings += name == "behind.txt" || name == "Behind.txt";
  }
  EXPECT_EQ(spellings, 1u) << "one spelling of the name in the folder";
}

// The platform's own removal in a folder needs no lookup there, so it must not make the backend
// take the folder's names as current: a change made behind it just before is still seen after.
TEST_F(PlatformFreshNamesTest, ChangeBehindThePlatformSurvivesItsOwnRemoval) {
  fs::create_directory(Host("big/Old"));
  ASSERT_EQ(DeviceContents(ZT("BIG\\FILE1.TXT")), "old");
  WriteFile(Host("big/Behind.txt"), "behind");
  EXPECT_EQ(PlatDeleteFile(ZT("big\\file4.txt")), PLAT_OK);
  EXPECT_EQ(DeviceContents(ZT("BIG\\BEHIND.TXT")), "behind");

  fs::create_directory(Host("big/BehindDir"));
  EXPECT_EQ(PlatRemoveDirectory(ZT("big\\Old")), PLAT_OK);
  EXPECT_EQ(PlatCreateDirectory(ZT("BIG\\BEHINDDIR")), PLAT_ERR_EXISTS);
}

// A folder renamed or replaced on the way to a file leads to what is there now.
TEST_F(PlatformFreshNamesTest, FoldersRenamedOrReplacedOnThePathAreSeen) {
  ASSERT_EQ(DeviceContents(ZT("A\\B\\F.TXT")), "first");
  fs::rename(Host("a"), Host("moved"));
  WriteFile(Host("A/b/F.txt"), "second");
  EXPECT_EQ(DeviceContents(ZT("a\\b\\f.txt")), "second");
  EXPECT_EQ(DeviceContents(ZT("MOVED\\B\\F.TXT")), "first");
  WriteFile(Host("MOVED/B/F.TXT"), "exact");
  EXPECT_EQ(DeviceContents(ZT("MOVED\\B\\F.TXT")), "exact") << "its own spelling, made since";

  fs::remove_all(Host("A"));
  WriteFile(Host("a"), "now a file");
  EXPECT_EQ(DeviceContents(ZT("a\\b\\f.txt")), NotFound());
  PlatFile* file = nullptr;
  EXPECT_EQ(PlatFileCreate(ZT("A\\b\\new.txt"), &file), PLAT_ERR_NOT_FOUND);
  EXPECT_EQ(DeviceContents(ZT("A")), "now a file");
}

// Without change notifications (the host's limit on them reached) names still match without
// regard to case and changes are still seen; the backend reads the folder instead.
TEST_F(PlatformFreshNamesTest, PosixNamesMatchWithoutChangeNotifications) {
  SKIP_ON_WIN32("a model of the POSIX host alone");
  auto unwatched = [](auto call) {
    EXPECT_EQ(PlatTestInjectFault("inotify_add_watch", 1, PLAT_FAULT_ERROR), 0);
    return call();
  };
  EXPECT_EQ(unwatched([] { return DeviceContents(ZT("BIG\\FILE7.TXT")); }), "old");
  WriteFile(Host("big/Behind.txt"), "behind");
  EXPECT_EQ(unwatched([] { return DeviceContents(ZT("BIG\\BEHIND.TXT")); }), "behind");
  EXPECT_EQ(unwatched([] { return WriteDeviceFile(ZT("big\\BEHIND.txt"), "inside"); }), PLAT_OK);
  EXPECT_EQ(unwatched([] { return WriteDeviceFile(ZT("big\\New.txt"), "new"); }), PLAT_OK);
  EXPECT_EQ(ReadFile(Host("big/Behind.txt")), "inside");
  EXPECT_EQ(ReadFile(Host("big/New.txt")), "new");
  fs::remove(Host("big/New.txt"));
  EXPECT_EQ(unwatched([] { return DeviceContents(ZT("BIG\\NEW.TXT")); }), NotFound());
  EXPECT_EQ(unwatched([] { return DeviceContents(ZT("A\\B\\F.TXT")); }), "first");
}

// ---- Failures keep their meaning --------------------------------------------------------------

// A folder that cannot be read (too many open files, say) is not an empty one: a lookup that
// needs to read it fails as such, and nothing is created under a second spelling.
TEST_F(PlatformIoTest, FolderThatCannotBeReadIsNotReportedMissing) {
  SKIP_ON_WIN32("the fault seam reaches folder reads on the POSIX host only");
  WriteFile(Host("Dir/File.txt"), "kept");
  ASSERT_EQ(PlatTestInjectFault("opendir", 1, PLAT_FAULT_ERROR), 0);
  EXPECT_EQ(DeviceContents(ZT("DIR\\FILE.TXT")), Failure(PLAT_ERR_IO));
  ASSERT_EQ(PlatTestInjectFault("opendir", 1, PLAT_FAULT_ERROR), 0);
  EXPECT_EQ(WriteDeviceFile(ZT("DIR\\FILE.TXT"), "new"), PLAT_ERR_IO);
  ASSERT_EQ(PlatTestInjectFault("opendir", 1, PLAT_FAULT_ERROR), 0);
  EXPECT_EQ(PlatCreateDirectory(ZT("dir")), PLAT_ERR_IO);
  ASSERT_EQ(PlatTestInjectFault("opendir", 1, PLAT_FAULT_ERROR), 0);
  EXPECT_EQ(PlatDeleteFile(ZT("DIR\\FILE.TXT")), PLAT_ERR_IO);

  PlatFind* find = nullptr;
  PlatFindData data;
  EXPECT_EQ(DeviceContents(ZT("DIR\\FILE.TXT")), "kept") << "the failure leaves nothing behind";
  ASSERT_EQ(PlatTestInjectFault("opendir", 1, PLAT_FAULT_ERROR), 0);
  EXPECT_EQ(PlatFindFirst(ZT("dir\\*.*"), &find, &data), PLAT_ERR_IO);
  PlatTestClearFaults();
  EXPECT_EQ(DeviceEntries(ZT("DIR")), (std::map<ZString, ZUInt32>{{ZT("File.txt"), 0}}));
  std::vector<std::string> hostNames;
  for (auto& entry : fs::recursive_directory_iterator(device_.path())) {
    hostNames.push_back(fs::relative(entry.path(), device_.path()).string());
  }
  EXPECT_EQ(hostNames, (std::vector<std::string>{"Dir", "Dir/File.txt"}));
  EXPECT_EQ(ReadFile(Host("Dir/File.txt")), "kept");
}

// ---- Host names that are not UTF-8 -------------------------------------------------------------

// Each byte outside valid UTF-8 is the lone surrogate U+DC00 + byte in the device name: such
// entries are listed, opened, matched without regard to case, deleted, and made.
TEST_F(PlatformIoTest, PosixHostNamesThatAreNotUtf8RoundTrip) {
  SKIP_ON_WIN32("a model of the POSIX host alone");
  const std::map<std::string, ZString> names = {
      {"bad\xff.txt", ZT("bad\xDCFF.txt")},
      {"cut\xe4\xb8.txt", ZT("cut\xDCE4\xDCB8.txt")},                // a sequence cut short
      {"over\xc0\xaf.txt", ZT("over\xDCC0\xDCAF.txt")},              // an overlong "/"
      {"sur\xed\xa0\x80.txt", ZT("sur\xDCED\xDCA0\xDC80.txt")},      // an encoded surrogate
      {"caf\xc3\xa9.txt", ZT("caf\x00E9.txt")},                      // valid: an e acute
  };
  for (const auto& [host, device] : names) WriteFile(Host(host), host);
  WriteFile(Host("dir\xfe/inner.txt"), "inner");

  std::map<ZString, ZUInt32> expected = {{ZT("dir\xDCFE"), PLAT_ATTR_DIRECTORY}};
  for (const auto& [host, device] : names) expected[device] = 0;
  EXPECT_EQ(DeviceEntries(ZT("")), expected);
  for (const auto& [host, device] : names) EXPECT_EQ(DeviceContents(device), host);
  EXPECT_EQ(DeviceContents(ZT("BAD\xDCFF.TXT")), "bad\xff.txt");
  EXPECT_EQ(DeviceContents(ZT("DIR\xDCFE\\INNER.TXT")), "inner");

  // Escaped bytes that spell valid UTF-8 would reach the file whose name is that text.
  EXPECT_EQ(DeviceContents(ZT("caf\xDCC3\xDCA9.txt")), Failure(PLAT_ERR_INVALID));
  EXPECT_EQ(WriteDeviceFile(ZT("caf\xDCC3\xDCA9.txt"), "x"), PLAT_ERR_INVALID);
  EXPECT_EQ(ReadFile(Host("caf\xc3\xa9.txt")), "caf\xc3\xa9.txt");

  ASSERT_EQ(WriteDeviceFile(ZT("new\xDC80.bin"), "made"), PLAT_OK);
  EXPECT_EQ(ReadFile(Host("new\x80.bin")), "made");
  EXPECT_EQ(PlatDeleteFile(ZT("new\xDC80.bin")), PLAT_OK);
  for (const auto& [host, device] : names) EXPECT_EQ(PlatDeleteFile(device.c_str()), PLAT_OK);
  EXPECT_EQ(PlatDeleteFile(ZT("dir\xDCFE\\inner.txt")), PLAT_OK);
  EXPECT_EQ(PlatRemoveDirectory(ZT("DIR\xDCFE")), PLAT_OK);
  EXPECT_TRUE(fs::is_empty(device_.path()));
}

// A volume flush that fails fails, unless the file system has no such control (and then nothing
// cached beyond the files, each flushed as it was closed); a volume that does not tell its cluster
// counts in the largest any volume of the device has.
TEST_F(PlatformIoTest, FailedVolumeCallsAreDecided) {
  WriteFile(Host("dir/f.txt"), "contents");
#ifdef _WIN32
  const char* volumeFlush = "fsctl";
#else
  const char* volumeFlush = "flush";
#endif
  struct Row {
    const char* call;
    PlatFault fault;
    int flushed;         // PlatFlushVolume's result
    ZUInt32 cluster;     // PlatVolumeFreeSpace's cluster, 0 for the volume's own
    const char* why;
  };
  const Row rows[] = {
      {volumeFlush, PLAT_FAULT_ERROR, PLAT_ERR_IO, 0, "the medium refuses the flush"},
      {"fsctl", PLAT_FAULT_UNSUPPORTED, PLAT_OK, 0, "a file system without the control"},
      {"volume", PLAT_FAULT_ERROR, PLAT_OK, PLAT_LARGEST_CLUSTER, "the cluster is not told"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    if (PlatTestInjectFault(row.call, 1, row.fault) != 0) {
      EXPECT_STRNE(row.call, volumeFlush) << "every backend flushes its volumes";
      continue;  // a Win32 call the POSIX backend does not make
    }
    ZUInt64 freeBytes = 0;
    ZUInt32 cluster = 0;
    EXPECT_EQ(PlatFlushVolume(ZT("dir\\f.txt")), row.flushed);
    ASSERT_EQ(PlatVolumeFreeSpace(ZT("dir"), &freeBytes, &cluster), PLAT_OK);
    if (row.cluster != 0) {
      EXPECT_EQ(cluster, row.cluster);
    }
    PlatTestClearFaults();
  }
}

// ---- Every failure the seam names reaches its caller ---------------------------------------------

// What a row of the failure table works on, opened before its fault is planned: a file to read,
// a file written but not yet flushed, a folder walk and an event.
struct Opened {
  PlatFile* reader = nullptr;
  PlatFile* opened = nullptr;  // by the row itself
  PlatFile* writer = nullptr;
  PlatFind* find = nullptr;
  PlatFindData data;
  PlatEvent* event = nullptr;
};

// The medium failing in the OS call behind an operation fails that operation as a failure of its
// own: never as success, and never as "not found", which would tell the caller the entry is gone.
TEST_F(PlatformIoTest, AFailureOfTheCallBehindAnOperationIsThatOperationsFailure) {
  WriteFile(Host("dir/f.txt"), "contents");
  WriteFile(Host("dir/g.txt"), "attributes");
  fs::create_directory(Host("dir/d"));
  struct Row {
    const char* call;
    const char* operation;
    int (*run)(Opened* opened);
  };
  const Row rows[] = {
      {"open", "PlatFileOpenRead", [](Opened* o) { return PlatFileOpenRead(ZT("dir\\f.txt"), &o->opened); }},
      {"mkdir", "PlatCreateDirectory", [](Opened*) { return PlatCreateDirectory(ZT("dir\\new")); }},
      {"rmdir", "PlatRemoveDirectory", [](Opened*) { return PlatRemoveDirectory(ZT("dir\\d")); }},
      {"unlink", "PlatDeleteFile", [](Opened*) { return PlatDeleteFile(ZT("dir\\g.txt")); }},
      {"chmod", "PlatSetFileAttributes",
       [](Opened*) { return PlatSetFileAttributes(ZT("dir\\g.txt"), PLAT_ATTR_READONLY); }},
      {"seek", "PlatFileSeek", [](Opened* o) {
         ZInt64 position = 3;
         return PlatFileSeek(o->reader, &position, PLAT_SEEK_SET);
       }},
      {"size", "PlatFileSize", [](Opened* o) {
         ZUInt64 size = 0;
         return PlatFileSize(o->reader, &size);
       }},
      {"attributes", "PlatGetFileAttributes", [](Opened*) {
         ZUInt32 attributes = 0;
         return PlatGetFileAttributes(ZT("DIR\\G.TXT"), &attributes);
       }},
      {"attributes", "PlatSetFileAttributes",
       [](Opened*) { return PlatSetFileAttributes(ZT("dir\\g.txt"), PLAT_ATTR_READONLY); }},
      {"attributes", "PlatFileProbe", [](Opened*) {
         ZUInt64 size = 0;
         return PlatFileProbe(ZT("dir\\g.txt"), &size);
       }},
      {"opendir", "PlatFindFirst", [](Opened*) {
         PlatFind* find = nullptr;
         PlatFindData data;
         return PlatFindFirst(ZT("dir\\*.*"), &find, &data);
       }},
      {"readdir", "PlatFindNext", [](Opened* o) { return PlatFindNext(o->find, &o->data); }},
      {"lock", "PlatLockTake", [](Opened*) {
         PlatLock* lock = nullptr;
         int result = PlatLockTake(ZT("Fault_Lock"), &lock);
         if (lock != nullptr) PlatLockRelease(lock);
         return result;
       }},
      {"event", "PlatEventOpen", [](Opened*) {
         PlatEvent* event = nullptr;
         int result = PlatEventOpen(ZT("Other_Event"), &event);
         if (event != nullptr) PlatEventClose(event);
         return result;
       }},
      {"set", "PlatEventSet", [](Opened* o) { return PlatEventSet(o->event); }},
      // The host hands a file's data to the medium with its volume, Win32 with the file itself.
      {"flush", "PlatFileFlush, then PlatFlushVolume", [](Opened* o) {
         int result = PlatFileFlush(o->writer);
         return result == PLAT_OK ? PlatFlushVolume(ZT("dir")) : result;
       }},
  };
  for (const Row& row : rows) {
    Opened opened;
    size_t written = 0;
    ASSERT_EQ(PlatFileOpenRead(ZT("dir\\f.txt"), &opened.reader), PLAT_OK);
    ASSERT_EQ(PlatFileCreate(ZT("dir\\new.txt"), &opened.writer), PLAT_OK);
    ASSERT_EQ(PlatFileWrite(opened.writer, "new", 3, &written), PLAT_OK);
    ASSERT_EQ(PlatFindFirst(ZT("dir\\*.*"), &opened.find, &opened.data), PLAT_OK);
    ASSERT_EQ(PlatEventOpen(ZT("Fault_Event"), &opened.event), PLAT_OK);
    ASSERT_EQ(PlatTestInjectFault(row.call, 1, PLAT_FAULT_ERROR), 0) << row.call;
    EXPECT_EQ(row.run(&opened), PLAT_ERR_IO) << row.operation << " with \"" << row.call << "\" failing";
    PlatTestClearFaults();
    PlatFileClose(opened.reader);
    if (opened.opened != nullptr) PlatFileClose(opened.opened);
    PlatFileClose(opened.writer);
    PlatFindClose(opened.find);
    PlatEventClose(opened.event);
  }
  PlatEventDelete(ZT("Fault_Event"));
  PlatEventDelete(ZT("Other_Event"));
  // A failed call changed nothing.
  EXPECT_EQ(DeviceContents(ZT("dir\\f.txt")), "contents");
  EXPECT_EQ(DeviceEntries(ZT("dir")), (std::map<ZString, ZUInt32>{{ZT("d"), PLAT_ATTR_DIRECTORY}, {ZT("f.txt"), 0},
                                                                {ZT("g.txt"), 0}, {ZT("new.txt"), 0}}));
  EXPECT_FALSE(IsReadOnly(Host("dir/g.txt")));
}

}  // namespace
