// The walk over a package's header, for what the decoder library reads past (anti-items) or does
// not say (which coder of a packed header it lacks). The header each takes is the one the library
// read to open the package, as it held it last: its CRC checked and, where it was packed and the
// library could, decoded (package_reader.cpp keeps it).
#pragma once

#include "7z.h"

// Which items are anti-items, the deletion markers of a differential package: they hold nothing
// to unpack, and the library reads the item list without telling them from empty files and
// folders. Stores in *antiItems one bit per item (most significant bit first), set for an
// anti-item, or NULL when the package has none; the bits come from alloc. Returns SZ_OK,
// SZ_ERROR_MEM, or the archive or unsupported result for a header that cannot be walked (or that
// says otherwise than db, which was opened from it). A header with additional streams, which no
// packer writes, is unsupported.
SRes ReadAntiItems(const CSzArEx* db, const CSzData* header, ISzAllocPtr alloc, Byte** antiItems);
// The first coder that a packed header (its bytes as the file holds them) is coded with and the
// device cannot decode, a password's cipher most often; kNoCoder for any other header.
UInt32 PackedHeaderLacks(const CSzData* header);
