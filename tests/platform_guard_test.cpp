// Contract cases of the platform operations that let a run prove it can finish before it deletes
// anything, and keep a second run out. Like the main contract suite, every backend must pass them
// and they speak only through platform.h.
#include "platform.h"

#include <gtest/gtest.h>

#include <string>

#include "platform_testing.h"
#include "test_support.h"

namespace {

class PlatformGuardTest : public ::testing::Test {
 protected:
  void SetUp() override { UseDeviceRoot(device_.path()); }
  void TearDown() override { PlatTestClearFaults(); }
  fs::path Host(const std::string& relative) const { return device_.path() / relative; }

  ScratchDir device_;
};

TEST_F(PlatformGuardTest, ReadOnlyFolderRefusesRemovalUntilCleared) {
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
TEST_F(PlatformGuardTest, LocksAreTheDevicesAndFreeAgainOnceReleased) {
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

}  // namespace
