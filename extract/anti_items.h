// Which items of a package are anti-items: the deletion markers of a differential package. They
// hold nothing to unpack. The decoder library reads the item list without telling them from empty
// files and folders, so its header is walked here for its anti-item property.
#pragma once

#include "7z.h"

// Walks header, the one db was opened from (package_header.h), and stores in *antiItems one bit
// per item (most significant bit first), set for an anti-item, or NULL when the package has none;
// the bits come from alloc. Returns SZ_OK, SZ_ERROR_MEM, or the archive or unsupported result for
// a header that cannot be walked (or that says otherwise than db). A header with additional
// streams, which no packer writes, is unsupported.
SRes ReadAntiItems(const CSzArEx* db, const CSzData* header, ISzAllocPtr alloc, Byte** antiItems);
