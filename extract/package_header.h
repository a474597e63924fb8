// The walk over a package's header, for what the decoder library reads past (anti-items) or does
// not say (which coder of a packed header it lacks): one walk serves every such reader.
#pragma once

#include "7z.h"

// Property ids of the files' section that its readers look for.
enum { kIdEnd = 0, kIdEmptyStream = 14, kIdAnti = 16 };

// The format's number at sd, which it steps over: SZ_ERROR_ARCHIVE where the data ends first.
SRes HeaderNumber(CSzData* sd, UInt64* value);
// Steps size bytes over sd; SZ_ERROR_ARCHIVE where fewer are left.
SRes HeaderSkip(CSzData* sd, UInt64 size);
// The bits set among the first count of a bit vector (most significant bit first).
UInt32 HeaderCountBits(const Byte* bits, UInt32 count);

// The header each walk takes is the one the library read to open the package, as it held it last:
// its CRC checked and, where it was packed and the library could, decoded (package_reader.cpp
// keeps it).
// The first coder that a packed header (its bytes as the file holds them) is coded with and the
// device cannot decode, a password's cipher most often; kNoCoder for any other header.
UInt32 PackedHeaderLacks(const CSzData* header);
// Steps over the header db was opened from to its files' section: *files is left just after the
// number of items, or empty when db holds none. SZ_ERROR_ARCHIVE where the header says otherwise
// than db, and SZ_ERROR_UNSUPPORTED for additional streams, which no packer writes.
SRes SeekFilesInfo(const CSzData* header, const CSzArEx* db, CSzData* files);
