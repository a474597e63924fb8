// Numbers in coders' properties: little-endian and at any alignment, so read byte by byte (the
// device's processor faults on an unaligned word).
#pragma once

#include "7zTypes.h"

inline UInt32 PropsUInt32(const Byte* p) {
  return static_cast<UInt32>(p[0]) | static_cast<UInt32>(p[1]) << 8 | static_cast<UInt32>(p[2]) << 16 |
         static_cast<UInt32>(p[3]) << 24;
}
