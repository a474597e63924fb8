#include "gbk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Every conversion rule, each row converting the first len bytes of bytes. The bytes are copied
// to a buffer of exactly their size with no terminator, and the destination has exactly len + 1
// units, so that the sanitizer catches a read past the input or a write past the documented size;
// where len stops short of the bytes, the next byte would change the result if it were read.
TEST(GbkToUnicodeTest, ConvertsEachByteOrPairAndTerminates) {
  struct Row {
    std::string bytes;
    int len;
    ZString expected;
    const char* why;
  };
  const Row rows[] = {
      {"ZELTROVAN", 9, ZT("ZELTROVAN"), "ASCII widens byte by byte"},
      {"", 0, ZT(""), "empty input writes only the terminator"},
      {"\xB0\xA1\x81\x40\xFE\x4F", 6, ZT("\u554A\u4E02\uFA29"), "pairs, the table's ends included"},
      {"\x80" "A\x80", 3, ZT("\u0080A\u0080"), "0x80 is a character of its own"},
      {"a\xAA\xA1z", 4, ZT("a\uFFFFz"), "a user-defined code is unmapped and the rest goes on"},
      {"a\x81\x5C" "b", 4, ZT("a\u4E57b"), "a trail byte 0x5C is not a separator"},
      {"ZELTROVAN\\\xB0\xA1\xB0\xA1/a.7z", 19, ZT("ZELTROVAN\\\u554A\u554A/a.7z"), "a path"},
      {"\xB0\xA1", 1, ZT("\uFFFF"), "a lead byte last is unmapped; its trail is past len"},
      {"AB\xB0\xA1", 3, ZT("AB\uFFFF"), "the same after ASCII"},
      {"a\xB0\xA1\xC4", 4, ZT("a\u554A\uFFFF"), "a lead byte at the very end of the input"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const std::vector<char> src(row.bytes.begin(), row.bytes.end());
    std::vector<ZChar> dst(static_cast<size_t>(row.len) + 1, ZT('\x5555'));
    const int result = GbkToUnicode(dst.data(), src.data(), row.len);
    const size_t units = static_cast<size_t>(result / 2);
    ASSERT_LT(units, dst.size());
    EXPECT_EQ(result, static_cast<int>(2 * row.expected.size()));
    EXPECT_EQ(ZString(dst.data(), units), row.expected);
    EXPECT_EQ(dst[units], 0) << "terminator";
  }
}

TEST(LookupGbkTest, CodesOutsideTheTableAreFFFF) {
  EXPECT_EQ(LookupGbk(0x0000), 0xFFFF);
  EXPECT_EQ(LookupGbk(0x813F), 0xFFFF);
  EXPECT_EQ(LookupGbk(0xAAA1), 0xFFFF);
  EXPECT_EQ(LookupGbk(0xB000), 0xFFFF);
  EXPECT_EQ(LookupGbk(0xFE50), 0xFFFF);
  EXPECT_EQ(LookupGbk(0xFFFF), 0xFFFF);
}

}  // namespace
