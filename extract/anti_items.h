// Which items of a package are anti-items: the deletion markers of a differential package. They
// hold nothing to unpack. The decoder library reads the item list without telling them from empty
// files and folders, so the package's header is read again here for its anti-item property.
#pragma once

#include "7z.h"

// Walks the header of the package that db was opened from, read again through stream, and
// stores in *antiItems one bit per item (most significant bit first), set for an anti-item, or
// NULL when the package has none; the bits come from alloc. Returns SZ_OK, SZ_ERROR_MEM, or the
// library's archive, CRC or unsupported result for a header that cannot be walked (or that says
// otherwise than db, which the library read from it). A header with additional streams, which no
// packer writes, is unsupported.
SRes ReadAntiItems(const CSzArEx* db, ILookInStreamPtr stream, ISzAllocPtr alloc, Byte** antiItems);
