// An open 7z package read through the platform's file layer, with the decoder state that lets
// the items of one solid block be decoded once.
#pragma once

#include "7z.h"
#include "platform.h"

struct PackageInStream {
  ISeekInStream vt;
  PlatFile* file;
};

struct PackageReader {
  PlatFile* file;
  PackageInStream stream;
  CLookToRead2 look;
  CSzArEx db;
  Byte* antiItems;      // a bit per item, set for an anti-item; NULL when there is none
  UInt16* name;         // the current item's name, UTF-16, terminated
  size_t nameCapacity;  // units, terminator included
  UInt32 blockIndex;    // the solid block held in outBuffer; 0xFFFFFFFF for none yet
  Byte* outBuffer;
  size_t outBufferSize;
};

enum PackageOpenResult {
  PACKAGE_OPENED = 0,
  PACKAGE_UNREADABLE = 1,  // the file cannot be opened
  PACKAGE_INVALID = 2      // the file is no 7z archive the decoder can read
};

// Opens the package and reads its item list. On any result but PACKAGE_OPENED nothing is left
// to close.
int OpenPackage(const ZChar* path, PackageReader* reader);
// Whether item index is an anti-item, the deletion marker of a differential package: it holds
// nothing and creates nothing.
bool IsAntiItem(const PackageReader* reader, UInt32 index);
// Loads item index's name into reader->name, growing the buffer as needed. SZ_ERROR_MEM when it
// cannot grow.
SRes ReadItemName(PackageReader* reader, UInt32 index);
// Decodes the item (through the solid-block cache); *data and *size then describe its bytes,
// which stay valid until the next decode. Any decoder result (data, CRC, unsupported method,
// memory) is returned as it is.
SRes DecodeItem(PackageReader* reader, UInt32 index, const Byte** data, size_t* size);
void ClosePackage(PackageReader* reader);
