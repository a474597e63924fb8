// UTF-16 and UTF-8, the host's file-name and console encoding.
#include <unistd.h>

#include "platform.h"
#include "posix_internal.h"

// Appends the UTF-8 form of the code point at src[*i] and moves *i past it. A lone surrogate has
// no UTF-8 form: it becomes replacement, or the conversion fails when replacement is 0.
static inline bool AppendUtf8(const char16_t* src, size_t count, size_t* i, char replacement,
                              std::string* out) {
  uint32_t c = src[*i];
  *i += 1;
  if (c >= 0xD800 && c <= 0xDFFF) {
    bool paired = c <= 0xDBFF && *i < count && src[*i] >= 0xDC00 && src[*i] <= 0xDFFF;
    if (!paired) {
      if (replacement == 0) return false;
      out->push_back(replacement);
      return true;
    }
    c = 0x10000 + ((c - 0xD800) << 10) + (src[*i] - 0xDC00u);
    *i += 1;
  }
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return true;
}

// A host name byte that is not part of valid UTF-8 stands for itself as the lone low surrogate
// U+DC80..U+DCFF, so that every host name has a device name and back.
enum { kEscapeBase = 0xDC00, kEscapeFirst = 0xDC80, kEscapeLast = 0xDCFF };

static bool IsEscapedByte(char16_t c) { return c >= kEscapeFirst && c <= kEscapeLast; }

// The code point of the valid UTF-8 sequence at s[i], or -1 when none starts there; *length
// becomes its length. Strict: overlong forms, surrogates and stray continuation bytes are refused.
static long DecodeSequence(const unsigned char* s, size_t count, size_t i, size_t* length) {
  uint32_t c = s[i];
  size_t extra = 0;
  uint32_t minimum = 0;
  if (c < 0x80) {
    extra = 0;
  } else if ((c & 0xE0) == 0xC0) {
    extra = 1, c &= 0x1F, minimum = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    extra = 2, c &= 0x0F, minimum = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    extra = 3, c &= 0x07, minimum = 0x10000;
  } else {
    return -1;
  }
  if (count - i <= extra) return -1;
  for (size_t k = 1; k <= extra; k++) {
    if ((s[i + k] & 0xC0) != 0x80) return -1;
    c = (c << 6) | (s[i + k] & 0x3Fu);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
  *length = extra + 1;
  return static_cast<long>(c);
}

uint32_t NextHostCodePoint(const char* src, size_t count, size_t* i) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
  if (s[*i] < 0x80) return s[(*i)++];  // most names are ASCII, which folder indexes hash
  size_t length = 1;
  long c = DecodeSequence(s, count, *i, &length);
  *i += length;
  return c < 0 ? kEscapeBase + s[*i - 1] : static_cast<uint32_t>(c);
}

void Utf8ToUtf16(const char* src, size_t count, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < count;) {
    uint32_t c = NextHostCodePoint(src, count, &i);
    if (c >= 0x10000) {
      c -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(c));
    }
  }
}

bool Utf16ToUtf8(const char16_t* src, size_t count, std::string* out) {
  out->clear();
  bool escaped = false;
  for (size_t i = 0; i < count;) {
    // A low surrogate met here is lone: a high one before it would have taken it as a pair.
    if (IsEscapedByte(src[i])) {
      out->push_back(static_cast<char>(src[i++] - kEscapeBase));
      escaped = true;
    } else if (!AppendUtf8(src, count, &i, 0, out)) {
      return false;
    }
  }
  // Escaped bytes that happen to form valid UTF-8 would name the file whose name is that text:
  // such a name is no name of its own.
  if (escaped) {
    std::u16string back;
    Utf8ToUtf16(out->data(), out->size(), &back);
    if (back.size() != count || back.compare(0, count, src, count) != 0) return false;
  }
  return true;
}

// The host console's code page is UTF-8.
int PlatUtf16ToConsole(const char16_t* src, int count, char* dst, int dstSize, char defaultChar) {
  if (count < 0 || dstSize < 0) return 0;
  std::string text;
  for (size_t i = 0; i < static_cast<size_t>(count);) {
    AppendUtf8(src, static_cast<size_t>(count), &i, defaultChar, &text);
  }
  if (text.size() > static_cast<size_t>(dstSize)) return 0;
  text.copy(dst, text.size());
  return static_cast<int>(text.size());
}

bool PlatStandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }
