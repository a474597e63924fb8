// An open 7z package read through the platform's file layer. Items are read in archive order
// through one folder decoder kept from item to item, so that the items of a solid block share
// one decoding of it.
#pragma once

#include "7z.h"
#include "folder_stream.h"
#include "platform.h"

// The largest block the decoder may ask for. The largest device has 256 MB of RAM for its system,
// its object store and every program, and Windows CE pages nothing out, so no device could hold
// a larger one; refusing it up front makes a package that asks for more (a dictionary, a model or
// a header size beyond that, mistaken or hostile) fail with SZ_ERROR_MEM in every build, where a
// sanitizer build would otherwise stop in its allocator and a host would swap.
enum { kLargestAllocation = 256 << 20 };
// The heap as the archive library's allocator: no block for 0 bytes or more than
// kLargestAllocation.
extern const ISzAlloc kPackageAllocator;

// Look-ahead buffer over the package file, and later the input of the folder decoder's first
// packed stream: large reads keep the decoder off the system call path.
enum { kLookBufferSize = 1 << 18 };

struct PackageInStream {
  ISeekInStream vt;
  PlatFile* file;
};

struct PackageReader {
  PlatFile* file;
  PackageInStream stream;
  CLookToRead2 look;  // its buffer feeds the folder decoder once the item list is read
  CSzArEx db;
  Byte* antiItems;      // a bit per item, set for an anti-item; NULL when there is none
  UInt16* name;         // the current item's name, UTF-16, terminated
  size_t nameCapacity;  // units, terminator included
  FolderStream* folder;
  bool folderOpen;
  // The item being read.
  ZUInt64 itemLeft;      // bytes not yet handed out
  const Byte* ahead;     // its first bytes, decoded by StartItem
  size_t aheadSize;
  bool checkItemCrc;     // the item's checksum is still to be checked here
  UInt32 itemCrc;
  UInt32 expectedCrc;
};

enum PackageOpenResult {
  PACKAGE_OPENED = 0,
  PACKAGE_UNREADABLE = 1,  // the file cannot be opened
  PACKAGE_INVALID = 2,     // the file is no 7z archive the decoder can read
  PACKAGE_UNSUPPORTED = 3  // a 7z archive whose item list is coded by a method the decoder lacks
                           // (encrypted, or PPMd)
};

// Opens the package and reads its item list. On any result but PACKAGE_OPENED nothing is left
// to close.
int OpenPackage(const ZChar* path, PackageReader* reader);
// Whether item index is an anti-item, the deletion marker of a differential package: it holds
// nothing and creates nothing.
bool IsAntiItem(const PackageReader* reader, UInt32 index);
// Loads item index's name into reader->name, growing the buffer as needed, its "." components
// dropped (DropCurrentFolderComponents). SZ_ERROR_MEM when it cannot grow.
SRes ReadItemName(PackageReader* reader, UInt32 index);
// Starts reading file item index: brings its folder's decoder to the item's first byte and
// decodes its first piece, so that a folder the decoder cannot take (method, memory) or whose
// first window is corrupt fails here, before the caller makes anything for the item; when that
// piece is the whole item, its checksum is checked here too. An empty file needs no decoding.
// Any decoder result (data, CRC, unsupported method, memory) is returned as it is.
SRes StartItem(PackageReader* reader, UInt32 index);
// Hands out the started item's next bytes, valid until the next call. *size is 0 after the
// last of them, once the item's checksum has been checked (SZ_ERROR_CRC when it differs).
SRes ReadItem(PackageReader* reader, const Byte** data, size_t* size);
// Reads the started item to its end with the same checks, dropping its bytes.
SRes SkipItem(PackageReader* reader);
// Opens block folderIndex's decoder with alloc and closes it again, decoding nothing: what it asks
// of alloc is what unpacking the block takes beside the reader's own buffers. FolderStreamOpen's
// result.
SRes OpenBlockOnly(PackageReader* reader, UInt32 folderIndex, ISzAllocPtr alloc);
void ClosePackage(PackageReader* reader);
