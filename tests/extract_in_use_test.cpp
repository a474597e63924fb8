// The package being unpacked is held open for reading the whole time: an item that would land on
// it (its name, case ignored, in the output folder) must fail to be created, not truncate it.
#include "extractor.h"

#include <gtest/gtest.h>

#include <string>

#include "platform.h"
#include "test_support.h"

namespace {

TEST(ExtractInUseTest, ItemNamedLikeThePackageLeavesThePackageWhole) {
  ScratchDir device;
  UseDeviceRoot(device.path());
  // The clashing item comes before a large one, so the package is read again after the clash.
  const fs::path package = device.path() / "ZELTROVAN" / "ZELTROVAN.7Z";
  fs::create_directories(package.parent_path());
  fs::copy_file(PremadePackage("package-name-first"), package);
  const std::string packageBytes = ReadFile(package);

  testing::internal::CaptureStdout();
  ExtractPackage(ZT("ZELTROVAN\\ZELTROVAN.7Z"), ZT("Zeltrovan"));
  std::string console = testing::internal::GetCapturedStdout();

  EXPECT_NE(console.find("Zeltrovan.7z\n [ZELT_UPDATE]  ERROR: can not open output file\n"),
            std::string::npos)
      << console;
  EXPECT_TRUE(ReadFile(package) == packageBytes) << "the package stays whole";
  EXPECT_TRUE(ReadFile(device.path() / "ZELTROVAN" / "later.bin") ==
              ReadFile(PackedTree("package-name-first") / "later.bin"));
}

}  // namespace
