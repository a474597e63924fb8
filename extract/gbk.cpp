#include "gbk.h"

static const ZChar kUnmapped = 0xFFFF;

ZChar LookupGbk(ZUInt16 code) {
  int lo = 0;
  int hi = static_cast<int>(gbkMapCount) - 1;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    if (gbkMap[mid].code == code) {
      return gbkMap[mid].unicode;
    }
    if (gbkMap[mid].code > code) {
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  }
  return kUnmapped;
}

int GbkToUnicode(ZChar* dst, const char* src, int len) {
  int i = 0;
  int j = 0;
  while (i < len) {
    unsigned char lead = static_cast<unsigned char>(src[i]);
    if (lead > 0x80) {
      // A lead byte in the last position has no trail within len. Paired with a terminating
      // zero it is never mapped, so it becomes 0xFFFF without a read past the input, which
      // need not be terminated.
      if (i + 1 < len) {
        unsigned char trail = static_cast<unsigned char>(src[i + 1]);
        dst[j] = LookupGbk(static_cast<ZUInt16>(lead << 8 | trail));
      } else {
        dst[j] = kUnmapped;
      }
      i += 2;
    } else {
      dst[j] = lead;
      i += 1;
    }
    j += 1;
  }
  dst[j] = 0;
  return 2 * j;
}
