// Contract cases of the platform seam for sharing, freshness of names and failures that must
// keep their own meaning. Everything handed to the platform is ZChar text, so that the file
// compiles for every backend; cases named "Posix..." are about the host's own model (byte names,
// change notifications) and belong to the POSIX backend alone.
#include "platform.h"

#include <gtest/gtest.h>

#include <string>

#include "platform_testing.h"
#include "test_support.h"

namespace {

typedef std::basic_string<ZChar> ZString;

class PlatformIoTest : public ::testing::Test {
 protected:
  void SetUp() override { UseDeviceRoot(device_.path()); }
  void TearDown() override { PlatTestClearFaults(); }
  fs::path Host(const std::string& relative) const { return device_.path() / relative; }

  ScratchDir device_;
};

// The whole file through the platform, or "<error N>".
std::string Contents(const ZString& path) {
  PlatFile* file = nullptr;
  int result = PlatFileOpenRead(path.c_str(), &file);
  if (result != PLAT_OK) return "<error " + std::to_string(result) + ">";
  std::string contents;
  char buffer[512];
  size_t got = sizeof buffer;
  while (PlatFileRead(file, buffer, &got) == PLAT_OK && got > 0) {
    contents.append(buffer, got);
    got = sizeof buffer;
  }
  PlatFileClose(file);
  return contents;
}

int Create(const ZString& path, const std::string& contents) {
  PlatFile* file = nullptr;
  int result = PlatFileCreate(path.c_str(), &file);
  if (result != PLAT_OK) return result;
  size_t written = 0;
  result = PlatFileWrite(file, contents.data(), contents.size(), &written);
  int closed = PlatFileClose(file);
  return result != PLAT_OK ? result : closed;
}

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
  EXPECT_EQ(Contents(ZT("Zeltrovan.7z")), "package bytes") << "a second reader is welcome";

  char buffer[7] = {};
  size_t got = sizeof buffer;
  EXPECT_EQ(PlatFileRead(reader, buffer, &got), PLAT_OK);
  EXPECT_EQ(std::string(buffer, got), "package");
  EXPECT_EQ(PlatFileClose(reader), PLAT_OK);

  EXPECT_EQ(Create(ZT("Zeltrovan.7z"), "new"), PLAT_OK) << "free once the reader is gone";
  EXPECT_EQ(ReadFile(Host("Zeltrovan.7z")), "new");
}

TEST_F(PlatformIoTest, FileOpenForWritingCannotBeRead) {
  PlatFile* writer = nullptr;
  ASSERT_EQ(PlatFileCreate(ZT("log.txt"), &writer), PLAT_OK);
  EXPECT_EQ(Contents(ZT("LOG.TXT")), "<error " + std::to_string(PLAT_ERR_IN_USE) + ">");
  EXPECT_EQ(PlatFileClose(writer), PLAT_OK);
  EXPECT_EQ(Contents(ZT("LOG.TXT")), "");
}

}  // namespace
