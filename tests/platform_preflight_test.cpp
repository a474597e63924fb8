// Contract cases of the platform operations that let a run prove it can finish before it deletes
// anything, and keep a second run out. Like the main contract suite, every backend must pass them
// and they speak only through platform.h.
#include "platform.h"

#include <gtest/gtest.h>

#include <string>

#include "device_rules.h"
#include "device_test.h"
#include "platform_testing.h"

namespace {

class PlatformPreflightTest : public DeviceTest {};

TEST_F(PlatformPreflightTest, ReadOnlyFolderRefusesRemovalUntilCleared) {
  SKIP_ON_WIN32("Wine keeps no read-only attribute on a folder, which Windows and the device do");
  fs::create_directories(Host("dir"));
  ASSERT_EQ(PlatSetFileAttributes(ZT("DIR"), PLAT_ATTR_READONLY), PLAT_OK);
  ZUInt32 attributes = 0;
  EXPECT_EQ(PlatGetFileAttributes(ZT("dir"), &attributes), PLAT_OK);
  EXPECT_EQ(attributes, static_cast<ZUInt32>(PLAT_ATTR_DIRECTORY | PLAT_ATTR_READONLY));
  EXPECT_EQ(PlatRemoveDirectory(ZT("dir")), PLAT_ERR_ACCESS);
  EXPECT_TRUE(fs::is_directory(Host("dir")));
  ASSERT_EQ(PlatSetFileAttributes(ZT("dir"), 0), PLAT_OK);
  EXPECT_EQ(PlatRemoveDirectory(ZT("dir")), PLAT_OK);
  EXPECT_FALSE(fs::exists(Host("dir")));
}

// A lock belongs to one device, and its holder can give it back. (A lock held by another process
// is refused: the update tests show that with two real runs.)
TEST_F(PlatformPreflightTest, LocksAreTheDevicesAndFreeAgainOnceReleased) {
  PlatLock* held = nullptr;
  ASSERT_EQ(PlatLockTake(ZT("Guard_Lock"), &held), PLAT_OK);
  ScratchDir otherDevice;
  UseDeviceRoot(otherDevice.path());
  PlatLock* elsewhere = nullptr;
  EXPECT_EQ(PlatLockTake(ZT("Guard_Lock"), &elsewhere), PLAT_OK);
  if (elsewhere != nullptr) PlatLockRelease(elsewhere);
  UseDeviceRoot(device_.path());
  PlatLockRelease(held);
  ASSERT_EQ(PlatLockTake(ZT("Guard_Lock"), &held), PLAT_OK);
  PlatLockRelease(held);
  EXPECT_EQ(PlatLockTake(ZT(""), &held), PLAT_ERR_INVALID);
}

// An earlier call's error left in place by a successful creation is not a lock held elsewhere.
TEST_F(PlatformPreflightTest, LockIsTakenWhateverErrorAnEarlierCallLeft) {
  ASSERT_EQ(PlatTestInjectFault("lock", 1, PLAT_FAULT_STALE_ERROR), 0);
  fs::create_directories(Host("dir"));
  ASSERT_EQ(PlatCreateDirectory(ZT("dir")), PLAT_ERR_EXISTS);  // leaves "already exists" behind
  PlatLock* held = nullptr;
  EXPECT_EQ(PlatLockTake(ZT("Guard_Lock"), &held), PLAT_OK);
  if (held != nullptr) PlatLockRelease(held);
}

TEST(DevicePathRuleTest, PathIsInsideComparesWholeComponentsAsTheDeviceDoes) {
  const ZChar* install = ZT("\\Zeltrovan");
  EXPECT_TRUE(PathIsInside(ZT("\\Zeltrovan"), install));
  EXPECT_TRUE(PathIsInside(ZT("\\Zeltrovan\\Zeltrovan.7z"), install));
  EXPECT_TRUE(PathIsInside(ZT("\\ZELTROVAN\\upd\\Zeltrovan.7z"), install));
  EXPECT_TRUE(PathIsInside(ZT("/zeltrovan/upd/"), install));
  EXPECT_TRUE(PathIsInside(ZT("\\\\Zeltrovan\\\\upd"), ZT("\\Zeltrovan\\")));
  EXPECT_TRUE(PathIsInside(ZT("\\Zeltrovan\\Upd\\x"), ZT("/zeltrovan//UPD/")));
  EXPECT_FALSE(PathIsInside(ZT("\\Zeltrovan.7z"), install));
  EXPECT_FALSE(PathIsInside(ZT("\\Zeltrovan2\\Zeltrovan.7z"), install));
  EXPECT_FALSE(PathIsInside(ZT("\\SDMMC\\Zeltrovan\\Zeltrovan.7z"), install));
  EXPECT_FALSE(PathIsInside(ZT("\\"), install));
  EXPECT_FALSE(PathIsInside(ZT("\\Zeltrovan\\upd"), ZT("\\Zeltrovan\\update")));
}

TEST_F(PlatformPreflightTest, ProbeTakesAFileOnlyWhenNobodyHoldsIt) {
  WriteFile(Host("dir/app.exe"), "12345");
  WriteFile(Host("dir/readonly.txt"), "abc");
  ASSERT_EQ(PlatSetFileAttributes(ZT("dir\\readonly.txt"), PLAT_ATTR_READONLY), PLAT_OK);
  ZUInt64 size = 99;
  EXPECT_EQ(PlatFileProbe(ZT("\\DIR\\APP.EXE"), &size), PLAT_OK);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(PlatFileProbe(ZT("dir/readonly.txt"), &size), PLAT_OK);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(PlatFileProbe(ZT("dir\\missing.txt"), &size), PLAT_ERR_NOT_FOUND);

  PlatFile* holder = nullptr;
  ASSERT_EQ(PlatFileCreate(ZT("dir\\app.exe"), &holder), PLAT_OK);
  EXPECT_EQ(PlatFileProbe(ZT("dir\\app.exe"), &size), PLAT_ERR_IN_USE);
  EXPECT_EQ(PlatFileClose(holder), PLAT_OK);
  // The probe holds nothing once it returns.
  EXPECT_EQ(PlatFileProbe(ZT("dir\\app.exe"), &size), PLAT_OK);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(PlatDeleteFile(ZT("dir\\app.exe")), PLAT_OK);
  EXPECT_TRUE(IsReadOnly(Host("dir/readonly.txt")));
}

// The free space and the cluster that the run counts in: a volume's unit is a power of two from
// a sector (512) to the largest FAT cluster (64 KiB).
TEST_F(PlatformPreflightTest, FreeSpaceIsWhatTheVolumeLeavesThisProcessInItsClusters) {
  fs::create_directories(Host("Zeltrovan"));
  ZUInt64 freeBytes = 0;
  ZUInt32 cluster = 0;
  ASSERT_EQ(PlatVolumeFreeSpace(ZT("\\zeltrovan"), &freeBytes, &cluster), PLAT_OK);
  // Other programs write to the same volume meanwhile; they rarely move it by 64 MiB.
  double expected = static_cast<double>(fs::space(Host("Zeltrovan")).available);
  EXPECT_NEAR(static_cast<double>(freeBytes), expected, 64.0 * 1024 * 1024);
  EXPECT_GT(freeBytes, 0u);
  EXPECT_TRUE(cluster >= 512 && cluster <= 65536 && (cluster & (cluster - 1)) == 0) << cluster;
  EXPECT_EQ(PlatVolumeFreeSpace(ZT("\\missing"), &freeBytes, &cluster), PLAT_ERR_NOT_FOUND);
  ASSERT_EQ(PlatTestInjectFault("statvfs", 1, PLAT_FAULT_ERROR), 0);
  EXPECT_EQ(PlatVolumeFreeSpace(ZT("\\zeltrovan"), &freeBytes, &cluster), PLAT_ERR_IO);
}

}  // namespace
