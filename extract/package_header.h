// The package's header as it lies in the file, for the properties the decoder library reads past
// (anti-items) and for why the library could not read it at all (a packed header's coder): one walk
// serves every such reader.
#pragma once

#include "7z.h"
#include "7zBuf.h"

// Property ids of the files' section that its readers look for.
enum { kIdEnd = 0, kIdEmptyStream = 14, kIdAnti = 16 };

// The format's number at sd, which it steps over: SZ_ERROR_ARCHIVE where the data ends first.
SRes HeaderNumber(CSzData* sd, UInt64* value);
// Steps size bytes over sd; SZ_ERROR_ARCHIVE where fewer are left.
SRes HeaderSkip(CSzData* sd, UInt64 size);
// The bits set among the first count of a bit vector (most significant bit first).
UInt32 HeaderCountBits(const Byte* bits, UInt32 count);

// Reads the header whose start header begins at startHeader in stream, checks its CRC and, where it
// is packed, decodes it, into *header (from alloc; the caller frees it with Buf_Free whatever the
// result). *lacking is the first coder of a packed header that the device cannot decode (a
// password's cipher, most often), with SZ_ERROR_UNSUPPORTED; kNoCoder otherwise. Other results:
// SZ_ERROR_ARCHIVE, SZ_ERROR_CRC, SZ_ERROR_MEM, SZ_ERROR_READ, or the decoder's.
SRes ReadPackageHeader(ILookInStreamPtr stream, UInt64 startHeader, ISzAllocPtr alloc, CBuf* header,
                       UInt32* lacking);
// Steps over header, which ReadPackageHeader read for db, to its files' section: *files is left just
// after the number of items, or empty when db holds none. SZ_ERROR_ARCHIVE where the header says
// otherwise than db, which the library read from it, and SZ_ERROR_UNSUPPORTED for additional
// streams, which no packer writes.
SRes SeekFilesInfo(const CBuf* header, const CSzArEx* db, CSzData* files);
