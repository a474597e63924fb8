#include "package_header.h"

#include <string.h>

#include "coders.h"

// Property ids of the 7z header that the walk reads or must step over.
enum {
  kIdEnd = 0,
  kIdHeader = 1,
  kIdArchiveProperties = 2,
  kIdAdditionalStreamsInfo = 3,
  kIdMainStreamsInfo = 4,
  kIdFilesInfo = 5,
  kIdPackInfo = 6,
  kIdUnpackInfo = 7,
  kIdSubStreamsInfo = 8,
  kIdSize = 9,
  kIdCrc = 10,
  kIdFolder = 11,
  kIdCodersUnpackSize = 12,
  kIdNumUnpackStream = 13,
  kIdEmptyStream = 14,
  kIdAnti = 16,
  kIdEncodedHeader = 23
};

// What a streams section says, and its first folder's coders: a packed header's.
struct Streams {
  UInt32 numPackStreams;
  UInt32 numFolders;
  const Byte* folderCrcs;  // the folders' CRC bit vector; NULL when there is none
  bool allFolderCrcs;      // every folder has a CRC
  CSzFolder folder;
};

static SRes ReadByte(CSzData* sd, Byte* value) {
  if (sd->Size == 0) return SZ_ERROR_ARCHIVE;
  *value = *sd->Data++;
  sd->Size--;
  return SZ_OK;
}

// The format's number: each leading one bit of the first byte adds a byte, low bytes first; the
// first byte's remaining bits are the highest.
static SRes HeaderNumber(CSzData* sd, UInt64* value) {
  Byte first = 0;
  RINOK(ReadByte(sd, &first))
  *value = 0;
  Byte mask = 0x80;
  for (unsigned i = 0; i < 8; i++, mask = static_cast<Byte>(mask >> 1)) {
    if ((first & mask) == 0) {
      *value |= static_cast<UInt64>(first & (mask - 1u)) << (8 * i);
      return SZ_OK;
    }
    Byte next = 0;
    RINOK(ReadByte(sd, &next))
    *value |= static_cast<UInt64>(next) << (8 * i);
  }
  return SZ_OK;
}

static SRes ReadCount(CSzData* sd, UInt32 limit, UInt32* count) {
  UInt64 value = 0;
  RINOK(HeaderNumber(sd, &value))
  if (value > limit) return SZ_ERROR_ARCHIVE;
  *count = static_cast<UInt32>(value);
  return SZ_OK;
}

static SRes HeaderSkip(CSzData* sd, UInt64 size) {
  if (size > sd->Size) return SZ_ERROR_ARCHIVE;
  sd->Data += size;
  sd->Size -= static_cast<size_t>(size);
  return SZ_OK;
}

static SRes SkipProperty(CSzData* sd) {
  UInt64 size = 0;
  RINOK(HeaderNumber(sd, &size))
  return HeaderSkip(sd, size);
}

static SRes SkipNumbers(CSzData* sd, UInt64 count) {
  for (; count > 0; count--) {
    UInt64 value = 0;
    RINOK(HeaderNumber(sd, &value))
  }
  return SZ_OK;
}

// Steps over properties until the one wanted.
static SRes WaitFor(CSzData* sd, UInt64 wanted) {
  for (;;) {
    UInt64 id = 0;
    RINOK(HeaderNumber(sd, &id))
    if (id == wanted) return SZ_OK;
    if (id == kIdEnd) return SZ_ERROR_ARCHIVE;
    RINOK(SkipProperty(sd))
  }
}

static UInt32 HeaderCountBits(const Byte* bits, UInt32 count) {
  UInt32 set = 0;
  for (UInt32 i = 0; i < count; i++) set += SzBitArray_Check(bits, i) ? 1 : 0;
  return set;
}

// A bit vector behind a byte that says whether all bits are set. *bits is NULL in that case.
static SRes ReadDefined(CSzData* sd, UInt32 count, const Byte** bits, UInt32* defined) {
  Byte all = 0;
  RINOK(ReadByte(sd, &all))
  *bits = NULL;
  *defined = count;
  if (all != 0) return SZ_OK;
  *bits = sd->Data;
  RINOK(HeaderSkip(sd, (count + 7) / 8))
  *defined = HeaderCountBits(*bits, count);
  return SZ_OK;
}

static SRes SkipDigests(CSzData* sd, UInt32 count) {
  const Byte* bits = NULL;
  UInt32 defined = 0;
  RINOK(ReadDefined(sd, count, &bits, &defined))
  return HeaderSkip(sd, static_cast<UInt64>(defined) * 4);
}

static bool FolderHasCrc(const Streams* s, UInt32 folder) {
  return s->allFolderCrcs || (s->folderCrcs != NULL && SzBitArray_Check(s->folderCrcs, folder));
}

static SRes ReadPackInfo(CSzData* sd, UInt32 packLimit, Streams* s) {
  RINOK(SkipNumbers(sd, 1))  // where the packed streams begin
  RINOK(ReadCount(sd, packLimit, &s->numPackStreams))
  RINOK(WaitFor(sd, kIdSize))
  RINOK(SkipNumbers(sd, s->numPackStreams))
  for (;;) {
    UInt64 id = 0;
    RINOK(HeaderNumber(sd, &id))
    if (id == kIdEnd) return SZ_OK;
    RINOK(id == kIdCrc ? SkipDigests(sd, s->numPackStreams) : SkipProperty(sd))
  }
}

static SRes ReadUnpackInfo(CSzData* sd, UInt32 folderLimit, Streams* s) {
  RINOK(WaitFor(sd, kIdFolder))
  RINOK(ReadCount(sd, folderLimit, &s->numFolders))
  Byte external = 0;
  RINOK(ReadByte(sd, &external))
  if (external != 0) return SZ_ERROR_UNSUPPORTED;
  UInt64 numCoders = 0;
  for (UInt32 i = 0; i < s->numFolders; i++) {
    CSzFolder folder;
    RINOK(SzGetNextFolderItem(&folder, sd))
    numCoders += folder.NumCoders;
    if (i == 0) s->folder = folder;
  }
  RINOK(WaitFor(sd, kIdCodersUnpackSize))
  RINOK(SkipNumbers(sd, numCoders))
  for (;;) {
    UInt64 id = 0;
    RINOK(HeaderNumber(sd, &id))
    if (id == kIdEnd) return SZ_OK;
    if (id != kIdCrc) {
      RINOK(SkipProperty(sd))
      continue;
    }
    UInt32 defined = 0;
    RINOK(ReadDefined(sd, s->numFolders, &s->folderCrcs, &defined))
    s->allFolderCrcs = s->folderCrcs == NULL;
    RINOK(HeaderSkip(sd, static_cast<UInt64>(defined) * 4))
  }
}

// The counts are bounded by the items the library found, so that no loop runs away.
static SRes SkipSubStreamsInfo(CSzData* sd, const Streams* s, UInt32 streamLimit) {
  UInt64 numSizes = 0;
  UInt64 numDigests = 0;
  for (UInt32 i = 0; i < s->numFolders; i++) numDigests += FolderHasCrc(s, i) ? 0 : 1;
  UInt64 id = 0;
  for (;;) {
    RINOK(HeaderNumber(sd, &id))
    if (id == kIdCrc || id == kIdSize || id == kIdEnd) break;
    if (id != kIdNumUnpackStream) {
      RINOK(SkipProperty(sd))
      continue;
    }
    UInt64 total = 0;
    numSizes = 0;
    numDigests = 0;
    for (UInt32 i = 0; i < s->numFolders; i++) {
      UInt32 streams = 0;
      RINOK(ReadCount(sd, streamLimit, &streams))
      total += streams;
      if (total > streamLimit) return SZ_ERROR_ARCHIVE;
      if (streams > 0) numSizes += streams - 1;
      if (streams != 1 || !FolderHasCrc(s, i)) numDigests += streams;
    }
  }
  if (id == kIdSize) {
    RINOK(SkipNumbers(sd, numSizes))
    RINOK(HeaderNumber(sd, &id))
  }
  for (;;) {
    if (id == kIdEnd) return SZ_OK;
    RINOK(id == kIdCrc ? SkipDigests(sd, static_cast<UInt32>(numDigests)) : SkipProperty(sd))
    RINOK(HeaderNumber(sd, &id))
  }
}

// The counts are bounded by the limits, so that no loop runs away.
static SRes ReadStreamsInfo(CSzData* sd, UInt32 packLimit, UInt32 folderLimit, UInt32 streamLimit,
                            Streams* s) {
  memset(s, 0, sizeof *s);
  UInt64 id = 0;
  RINOK(HeaderNumber(sd, &id))
  if (id == kIdPackInfo) {
    RINOK(ReadPackInfo(sd, packLimit, s))
    RINOK(HeaderNumber(sd, &id))
  }
  if (id == kIdUnpackInfo) {
    RINOK(ReadUnpackInfo(sd, folderLimit, s))
    RINOK(HeaderNumber(sd, &id))
  }
  if (id == kIdSubStreamsInfo) {
    RINOK(SkipSubStreamsInfo(sd, s, streamLimit))
    RINOK(HeaderNumber(sd, &id))
  }
  return id == kIdEnd ? SZ_OK : SZ_ERROR_ARCHIVE;
}

UInt32 PackedHeaderLacks(const CSzData* header) {
  CSzData sd = *header;
  UInt64 id = 0;
  Streams packed;
  if (HeaderNumber(&sd, &id) != SZ_OK || id != kIdEncodedHeader ||
      ReadStreamsInfo(&sd, SZ_NUM_PACK_STREAMS_IN_FOLDER_MAX, 1, 1, &packed) != SZ_OK) {
    return kNoCoder;
  }
  return FirstLackingCoder(&packed.folder);
}

// Steps over the header db was opened from to its files' section: *files is left just after the
// number of items, or empty when db holds none. SZ_ERROR_ARCHIVE where the header says otherwise
// than db, and SZ_ERROR_UNSUPPORTED for additional streams, which no packer writes.
static SRes SeekFilesInfo(const CSzData* header, const CSzArEx* db, CSzData* files) {
  CSzData sd = *header;
  files->Data = NULL;
  files->Size = 0;
  UInt64 id = 0;
  RINOK(HeaderNumber(&sd, &id))
  if (id != kIdHeader) return SZ_ERROR_ARCHIVE;
  RINOK(HeaderNumber(&sd, &id))
  if (id == kIdArchiveProperties) {
    for (;;) {
      RINOK(HeaderNumber(&sd, &id))
      if (id == kIdEnd) break;
      RINOK(SkipProperty(&sd))
    }
    RINOK(HeaderNumber(&sd, &id))
  }
  if (id == kIdAdditionalStreamsInfo) return SZ_ERROR_UNSUPPORTED;
  if (id == kIdMainStreamsInfo) {
    Streams main;
    RINOK(ReadStreamsInfo(&sd, db->db.NumPackStreams, db->db.NumFolders, db->NumFiles, &main))
    if (main.numPackStreams != db->db.NumPackStreams || main.numFolders != db->db.NumFolders) {
      return SZ_ERROR_ARCHIVE;
    }
    RINOK(HeaderNumber(&sd, &id))
  }
  if (id == kIdEnd) return db->NumFiles == 0 ? SZ_OK : SZ_ERROR_ARCHIVE;
  if (id != kIdFilesInfo) return SZ_ERROR_ARCHIVE;
  UInt64 count = 0;
  RINOK(HeaderNumber(&sd, &count))
  if (count != db->NumFiles) return SZ_ERROR_ARCHIVE;
  *files = sd;
  return SZ_OK;
}

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
