// Name and path rules of the device, the same for every backend.
#pragma once

#include <cstddef>

// The character as the device compares it: letters of the Latin, Greek and Cyrillic alphabets
// fold to upper case, everything else is itself.
char16_t FoldCase(char16_t c);
bool NamesEqualIgnoringCase(const char16_t* a, size_t aLength, const char16_t* b, size_t bLength);

inline bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Finds the next component of a device path at or after *cursor: returns its start and length
// and moves *cursor past it, or returns nullptr when no component is left. Empty components
// ("a//b", a leading or trailing separator) are skipped.
const char16_t* NextPathComponent(const char16_t** cursor, size_t* length);
