// The types and the text-literal macro that every file of the device program uses, so that the
// same source compiles with the device's own compilers (C++03, a 16-bit wchar_t, no <cstdint>)
// and on the host. No other file tests the compiler or the OS for these.
#pragma once

#include <stddef.h>

// One UTF-16 code unit, and a literal of them: ZT("name") is L"name" where wchar_t is 16 bits
// (Windows and the device) and u"name" on the host.
#ifdef _WIN32
typedef wchar_t ZChar;
#define ZT(text) L##text
#else
typedef char16_t ZChar;
#define ZT(text) u##text
#endif

typedef unsigned short ZUInt16;
typedef unsigned int ZUInt32;
typedef long long ZInt64;
typedef unsigned long long ZUInt64;

// Fails to compile where an assumption above does not hold.
typedef char ZCheckUnitSizes[(sizeof(ZChar) == 2 && sizeof(ZUInt16) == 2 && sizeof(ZUInt32) == 4 &&
                              sizeof(ZInt64) == 8) ? 1 : -1];
