#include "anti_items.h"

#include <string.h>

#include "package_header.h"

// The files' section at sd, of numFiles items, read for its anti-item property.
static SRes ReadFilesInfo(CSzData* sd, UInt32 numFiles, ISzAllocPtr alloc, Byte** antiItems) {
  const Byte* emptyStreams = NULL;
  const Byte* anti = NULL;
  UInt32 numEmptyStreams = 0;
  for (;;) {
    UInt64 id = 0;
    UInt64 size = 0;
    RINOK(HeaderNumber(sd, &id))
    if (id == kIdEnd) break;
    RINOK(HeaderNumber(sd, &size))
    const Byte* data = sd->Data;
    RINOK(HeaderSkip(sd, size))
    if (id == kIdEmptyStream) {
      if (emptyStreams != NULL || size != (numFiles + 7) / 8) return SZ_ERROR_ARCHIVE;
      emptyStreams = data;
      numEmptyStreams = HeaderCountBits(emptyStreams, numFiles);
    } else if (id == kIdAnti) {
      // One bit for each item without data, which the empty-stream property must have named.
      if (anti != NULL || emptyStreams == NULL || size != (numEmptyStreams + 7) / 8) {
        return SZ_ERROR_ARCHIVE;
      }
      anti = data;
    }
  }
  if (anti == NULL || HeaderCountBits(anti, numEmptyStreams) == 0) return SZ_OK;
  size_t bytes = (numFiles + 7) / 8;
  *antiItems = static_cast<Byte*>(ISzAlloc_Alloc(alloc, bytes));
  if (*antiItems == NULL) return SZ_ERROR_MEM;
  memset(*antiItems, 0, bytes);
  UInt32 empty = 0;
  for (UInt32 i = 0; i < numFiles; i++) {
    if (!SzBitArray_Check(emptyStreams, i)) continue;
    if (SzBitArray_Check(anti, empty)) (*antiItems)[i >> 3] |= static_cast<Byte>(0x80 >> (i & 7));
    empty++;
  }
  return SZ_OK;
}

SRes ReadAntiItems(const CSzArEx* db, const CSzData* header, ISzAllocPtr alloc, Byte** antiItems) {
  *antiItems = NULL;
  if (db->NumFiles == 0) return SZ_OK;
  CSzData files;
  RINOK(SeekFilesInfo(header, db, &files))
  return ReadFilesInfo(&files, db->NumFiles, alloc, antiItems);
}
