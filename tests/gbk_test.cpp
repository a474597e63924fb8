#include "gbk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct Converted {
  int result;
  ZString text;  // the units before the terminator
};

// Converts len bytes of src into a destination of exactly len + 1 units, so that the sanitizer
// catches any write past the documented size.
Converted Convert(const char* src, int len) {
  std::vector<ZChar> dst(static_cast<size_t>(len) + 1, ZT('\x5555'));
  int result = GbkToUnicode(dst.data(), src, len);
  size_t units = static_cast<size_t>(result / 2);
  EXPECT_LT(units, dst.size());
  EXPECT_EQ(dst[units], 0) << "terminator missing after " << units << " units";
  return {result, ZString(dst.data(), units)};
}

Converted Convert(const std::string& src) {
  return Convert(src.data(), static_cast<int>(src.size()));
}

TEST(GbkToUnicodeTest, WidensAsciiByteByByte) {
  Converted out = Convert("ZELTROVAN");
  EXPECT_EQ(out.result, 18);
  EXPECT_EQ(out.text, ZT("ZELTROVAN"));
}

TEST(GbkToUnicodeTest, EmptyInputWritesOnlyTheTerminator) {
  ZChar dst[2] = {ZT('x'), ZT('y')};
  EXPECT_EQ(GbkToUnicode(dst, "", 0), 0);
  EXPECT_EQ(dst[0], 0);
  EXPECT_EQ(dst[1], ZT('y'));
}

TEST(GbkToUnicodeTest, ConvertsTwoByteCodesIncludingTheTableEnds) {
  EXPECT_EQ(Convert("\xB0\xA1").text, ZT("\u554A"));
  EXPECT_EQ(Convert("\x81\x40").text, ZT("\u4E02"));
  EXPECT_EQ(Convert("\xFE\x4F").text, ZT("\uFA29"));
  EXPECT_EQ(Convert("\xB0\xA1").result, 2);
}

TEST(GbkToUnicodeTest, Byte0x80IsASingleCharacter) {
  Converted out = Convert("\x80" "A\x80");
  EXPECT_EQ(out.result, 6);
  EXPECT_EQ(out.text, ZT("\u0080A\u0080"));
}

TEST(GbkToUnicodeTest, UnmappedPairBecomesFFFFAndConversionGoesOn) {
  // 0xAAA1 is a user-defined code: not in the table.
  Converted out = Convert("a\xAA\xA1z");
  EXPECT_EQ(out.result, 6);
  EXPECT_EQ(out.text, ZT("a\uFFFFz"));
}

TEST(GbkToUnicodeTest, TrailByteInAsciiRangeIsNotASeparator) {
  // 0x5C is "\" on its own, but after a lead byte it is part of the character.
  Converted out = Convert("a\x81\x5C" "b");
  EXPECT_EQ(out.text, ZT("a\u4E57b"));
}

TEST(GbkToUnicodeTest, MixedAsciiAndChinesePath) {
  Converted out = Convert("ZELTROVAN\\\xB0\xA1\xB0\xA1/a.7z");
  EXPECT_EQ(out.result, 2 * 17);
  EXPECT_EQ(out.text, ZT("ZELTROVAN\\\u554A\u554A/a.7z"));
}

TEST(GbkToUnicodeTest, LeadByteAtLastPositionIsFFFFWithoutReadingPastLen) {
  // The byte after len would complete the pair to 0xB0A1 (U+554A) if it were read.
  const char buffer[] = "\xB0\xA1";
  Converted alone = Convert(buffer, 1);
  EXPECT_EQ(alone.result, 2);
  EXPECT_EQ(alone.text, ZT("\uFFFF"));

  Converted afterAscii = Convert("AB\xB0\xA1", 3);
  EXPECT_EQ(afterAscii.result, 6);
  EXPECT_EQ(afterAscii.text, ZT("AB\uFFFF"));

  // No terminator and nothing after the input: any read past len is a sanitizer error.
  std::vector<char> exact = {'a', '\xB0', '\xA1', '\xC4'};
  Converted unterminated = Convert(exact.data(), static_cast<int>(exact.size()));
  EXPECT_EQ(unterminated.text, ZT("a\u554A\uFFFF"));
}

TEST(LookupGbkTest, CodesOutsideTheTableAreFFFF) {
  EXPECT_EQ(LookupGbk(0x0000), 0xFFFF);
  EXPECT_EQ(LookupGbk(0x813F), 0xFFFF);
  EXPECT_EQ(LookupGbk(0xAAA1), 0xFFFF);
  EXPECT_EQ(LookupGbk(0xB000), 0xFFFF);
  EXPECT_EQ(LookupGbk(0xFE50), 0xFFFF);
  EXPECT_EQ(LookupGbk(0xFFFF), 0xFFFF);
}

TEST(GbkTableTest, HoldsAllCodesStrictlyAscending) {
  ASSERT_EQ(gbkMapCount, 21791u);
  EXPECT_EQ(gbkMap[0].code, 0x8140);
  EXPECT_EQ(gbkMap[gbkMapCount - 1].code, 0xFE4F);
  for (size_t k = 1; k < gbkMapCount; ++k) {
    ASSERT_LT(gbkMap[k - 1].code, gbkMap[k].code) << "at index " << k;
  }
}

TEST(GbkTableTest, EveryEntryIsFoundByLookup) {
  for (size_t k = 0; k < gbkMapCount; ++k) {
    ASSERT_EQ(LookupGbk(gbkMap[k].code), gbkMap[k].unicode)
        << "code 0x" << std::hex << gbkMap[k].code;
  }
}

}  // namespace
