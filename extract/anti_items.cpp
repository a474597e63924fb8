#include "anti_items.h"

#include <string.h>

#include "7zBuf.h"
#include "7zCrc.h"
#include "props_reading.h"

// Property ids of the 7z header that this walk reads or must step over.
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

// What a streams section says, and for the header's own packed stream (one folder, as packers
// write it) what decoding it takes.
struct Streams {
  UInt64 dataOffset;
  UInt32 numPackStreams;
  UInt32 numFolders;
  const Byte* folderCrcs;  // the folders' CRC bit vector; NULL when there is none
  bool allFolderCrcs;      // every folder has a CRC
  UInt64 packSizes[SZ_NUM_PACK_STREAMS_IN_FOLDER_MAX];
  const Byte* folderData;  // the first folder's coder record
  size_t folderSize;
  CSzFolder folder;
  UInt64 unpackSizes[SZ_NUM_CODERS_IN_FOLDER_MAX];
  UInt32 folderCrc;
};

static SRes ReadByte(CSzData* sd, Byte* value) {
  if (sd->Size == 0) return SZ_ERROR_ARCHIVE;
  *value = *sd->Data++;
  sd->Size--;
  return SZ_OK;
}

// The format's number: each leading one bit of the first byte adds a byte, low bytes first; the
// first byte's remaining bits are the highest.
static SRes ReadNumber(CSzData* sd, UInt64* value) {
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
  RINOK(ReadNumber(sd, &value))
  if (value > limit) return SZ_ERROR_ARCHIVE;
  *count = static_cast<UInt32>(value);
  return SZ_OK;
}

static SRes Skip(CSzData* sd, UInt64 size) {
  if (size > sd->Size) return SZ_ERROR_ARCHIVE;
  sd->Data += size;
  sd->Size -= static_cast<size_t>(size);
  return SZ_OK;
}

static SRes SkipProperty(CSzData* sd) {
  UInt64 size = 0;
  RINOK(ReadNumber(sd, &size))
  return Skip(sd, size);
}

static SRes SkipNumbers(CSzData* sd, UInt32 count) {
  for (; count > 0; count--) {
    UInt64 value = 0;
    RINOK(ReadNumber(sd, &value))
  }
  return SZ_OK;
}

// Steps over properties until the one wanted.
static SRes WaitFor(CSzData* sd, UInt64 wanted) {
  for (;;) {
    UInt64 id = 0;
    RINOK(ReadNumber(sd, &id))
    if (id == wanted) return SZ_OK;
    if (id == kIdEnd) return SZ_ERROR_ARCHIVE;
    RINOK(SkipProperty(sd))
  }
}

static UInt32 CountBits(const Byte* bits, UInt32 count) {
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
  RINOK(Skip(sd, (count + 7) / 8))
  *defined = CountBits(*bits, count);
  return SZ_OK;
}

static SRes SkipDigests(CSzData* sd, UInt32 count) {
  const Byte* bits = NULL;
  UInt32 defined = 0;
  RINOK(ReadDefined(sd, count, &bits, &defined))
  return Skip(sd, static_cast<UInt64>(defined) * 4);
}

static bool FolderHasCrc(const Streams* s, UInt32 folder) {
  return s->allFolderCrcs || (s->folderCrcs != NULL && SzBitArray_Check(s->folderCrcs, folder));
}

static SRes ReadPackInfo(CSzData* sd, UInt32 packLimit, bool keep, Streams* s) {
  RINOK(ReadNumber(sd, &s->dataOffset))
  RINOK(ReadCount(sd, packLimit, &s->numPackStreams))
  RINOK(WaitFor(sd, kIdSize))
  for (UInt32 i = 0; i < s->numPackStreams; i++) {
    UInt64 size = 0;
    RINOK(ReadNumber(sd, &size))
    if (keep) s->packSizes[i] = size;
  }
  for (;;) {
    UInt64 id = 0;
    RINOK(ReadNumber(sd, &id))
    if (id == kIdEnd) return SZ_OK;
    RINOK(id == kIdCrc ? SkipDigests(sd, s->numPackStreams) : SkipProperty(sd))
  }
}

static SRes ReadUnpackInfo(CSzData* sd, UInt32 folderLimit, bool keep, Streams* s) {
  RINOK(WaitFor(sd, kIdFolder))
  RINOK(ReadCount(sd, folderLimit, &s->numFolders))
  Byte external = 0;
  RINOK(ReadByte(sd, &external))
  if (external != 0) return SZ_ERROR_UNSUPPORTED;
  UInt64 numCoders = 0;
  for (UInt32 i = 0; i < s->numFolders; i++) {
    const Byte* start = sd->Data;
    CSzFolder folder;
    RINOK(SzGetNextFolderItem(&folder, sd))
    numCoders += folder.NumCoders;
    if (i == 0) {
      s->folder = folder;
      s->folderData = start;
      s->folderSize = static_cast<size_t>(sd->Data - start);
    }
  }
  RINOK(WaitFor(sd, kIdCodersUnpackSize))
  for (UInt64 i = 0; i < numCoders; i++) {
    UInt64 size = 0;
    RINOK(ReadNumber(sd, &size))
    if (keep && i < SZ_NUM_CODERS_IN_FOLDER_MAX) s->unpackSizes[i] = size;
  }
  for (;;) {
    UInt64 id = 0;
    RINOK(ReadNumber(sd, &id))
    if (id == kIdEnd) return SZ_OK;
    if (id != kIdCrc) {
      RINOK(SkipProperty(sd))
      continue;
    }
    UInt32 defined = 0;
    RINOK(ReadDefined(sd, s->numFolders, &s->folderCrcs, &defined))
    s->allFolderCrcs = s->folderCrcs == NULL;
    if (keep && defined > 0 && sd->Size >= 4)
      s->folderCrc = PropsUInt32(sd->Data);
    RINOK(Skip(sd, static_cast<UInt64>(defined) * 4))
  }
}

// The counts are bounded by the items the library found, so that no loop runs away.
static SRes SkipSubStreamsInfo(CSzData* sd, const Streams* s, UInt32 streamLimit) {
  UInt64 numSizes = 0;
  UInt64 numDigests = 0;
  for (UInt32 i = 0; i < s->numFolders; i++) numDigests += FolderHasCrc(s, i) ? 0 : 1;
  UInt64 id = 0;
  for (;;) {
    RINOK(ReadNumber(sd, &id))
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
    RINOK(SkipNumbers(sd, static_cast<UInt32>(numSizes)))
    RINOK(ReadNumber(sd, &id))
  }
  for (;;) {
    if (id == kIdEnd) return SZ_OK;
    RINOK(id == kIdCrc ? SkipDigests(sd, static_cast<UInt32>(numDigests)) : SkipProperty(sd))
    RINOK(ReadNumber(sd, &id))
  }
}

// keep: the section describes the header's own packed stream, of one folder of at most four
// coders and pack streams, whose description is kept for decoding it.
static SRes ReadStreamsInfo(CSzData* sd, UInt32 packLimit, UInt32 folderLimit, UInt32 streamLimit,
                            bool keep, Streams* s) {
  memset(s, 0, sizeof *s);
  UInt64 id = 0;
  RINOK(ReadNumber(sd, &id))
  if (id == kIdPackInfo) {
    RINOK(ReadPackInfo(sd, packLimit, keep, s))
    RINOK(ReadNumber(sd, &id))
  }
  if (id == kIdUnpackInfo) {
    RINOK(ReadUnpackInfo(sd, folderLimit, keep, s))
    RINOK(ReadNumber(sd, &id))
  }
  if (id == kIdSubStreamsInfo) {
    RINOK(SkipSubStreamsInfo(sd, s, streamLimit))
    RINOK(ReadNumber(sd, &id))
  }
  return id == kIdEnd ? SZ_OK : SZ_ERROR_ARCHIVE;
}

// Decodes the header's packed stream with the library's folder decoder, described as the library
// describes an archive of one folder.
static SRes DecodeHeader(const Streams* s, ILookInStreamPtr stream, UInt64 base, ISzAllocPtr alloc,
                         CBuf* header) {
  if (s->numFolders != 1 || s->folder.NumCoders > SZ_NUM_CODERS_IN_FOLDER_MAX ||
      s->numPackStreams != s->folder.NumPackStreams) {
    return SZ_ERROR_UNSUPPORTED;
  }
  UInt64 size = s->unpackSizes[s->folder.UnpackStream];
  if (size == 0 || static_cast<size_t>(size) != size) return SZ_ERROR_ARCHIVE;
  UInt64 packPositions[SZ_NUM_PACK_STREAMS_IN_FOLDER_MAX + 1] = {0};
  for (UInt32 i = 0; i < s->numPackStreams; i++)
    packPositions[i + 1] = packPositions[i] + s->packSizes[i];
  size_t codersOffsets[2] = {0, s->folderSize};
  UInt32 startPackStream[2] = {0, s->numPackStreams};
  UInt32 coderUnpackSizes[2] = {0, s->folder.NumCoders};
  Byte mainUnpackSize[1] = {static_cast<Byte>(s->folder.UnpackStream)};
  Byte crcDefined[1] = {0x80};
  UInt32 crc[1] = {s->folderCrc};
  UInt64 unpackSizes[SZ_NUM_CODERS_IN_FOLDER_MAX];
  memcpy(unpackSizes, s->unpackSizes, sizeof unpackSizes);
  CSzAr ar;
  memset(&ar, 0, sizeof ar);
  ar.NumPackStreams = s->numPackStreams;
  ar.NumFolders = 1;
  ar.PackPositions = packPositions;
  ar.FolderCRCs.Defs = FolderHasCrc(s, 0) ? crcDefined : NULL;
  ar.FolderCRCs.Vals = crc;
  ar.FoCodersOffsets = codersOffsets;
  ar.FoStartPackStreamIndex = startPackStream;
  ar.FoToCoderUnpackSizes = coderUnpackSizes;
  ar.FoToMainUnpackSizeIndex = mainUnpackSize;
  ar.CoderUnpackSizes = unpackSizes;
  ar.CodersData = const_cast<Byte*>(s->folderData);
  if (!Buf_Create(header, static_cast<size_t>(size), alloc)) return SZ_ERROR_MEM;
  UInt64 start = base + s->dataOffset;
  SRes res = LookInStream_SeekTo(stream, start);
  if (res == SZ_OK)
    res = SzAr_DecodeFolder(&ar, 0, stream, start, header->data, header->size, alloc);
  return res;
}

static SRes ReadFilesInfo(CSzData* sd, UInt32 numFiles, ISzAllocPtr alloc, Byte** antiItems) {
  UInt64 count = 0;
  RINOK(ReadNumber(sd, &count))
  if (count != numFiles) return SZ_ERROR_ARCHIVE;
  const Byte* emptyStreams = NULL;
  const Byte* anti = NULL;
  UInt32 numEmptyStreams = 0;
  for (;;) {
    UInt64 id = 0;
    UInt64 size = 0;
    RINOK(ReadNumber(sd, &id))
    if (id == kIdEnd) break;
    RINOK(ReadNumber(sd, &size))
    const Byte* data = sd->Data;
    RINOK(Skip(sd, size))
    if (id == kIdEmptyStream) {
      if (emptyStreams != NULL || size != (numFiles + 7) / 8) return SZ_ERROR_ARCHIVE;
      emptyStreams = data;
      numEmptyStreams = CountBits(emptyStreams, numFiles);
    } else if (id == kIdAnti) {
      // One bit for each item without data, which the empty-stream property must have named.
      if (anti != NULL || emptyStreams == NULL || size != (numEmptyStreams + 7) / 8) {
        return SZ_ERROR_ARCHIVE;
      }
      anti = data;
    }
  }
  if (anti == NULL || CountBits(anti, numEmptyStreams) == 0) return SZ_OK;
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

static SRes ReadHeader(CSzData* sd, const CSzArEx* db, ISzAllocPtr alloc, Byte** antiItems) {
  UInt64 id = 0;
  RINOK(ReadNumber(sd, &id))
  if (id == kIdArchiveProperties) {
    for (;;) {
      RINOK(ReadNumber(sd, &id))
      if (id == kIdEnd) break;
      RINOK(SkipProperty(sd))
    }
    RINOK(ReadNumber(sd, &id))
  }
  if (id == kIdAdditionalStreamsInfo) return SZ_ERROR_UNSUPPORTED;
  if (id == kIdMainStreamsInfo) {
    Streams main;
    RINOK(ReadStreamsInfo(sd, db->db.NumPackStreams, db->db.NumFolders, db->NumFiles, false, &main))
    if (main.numPackStreams != db->db.NumPackStreams || main.numFolders != db->db.NumFolders) {
      return SZ_ERROR_ARCHIVE;
    }
    RINOK(ReadNumber(sd, &id))
  }
  if (id == kIdEnd) return db->NumFiles == 0 ? SZ_OK : SZ_ERROR_ARCHIVE;
  if (id != kIdFilesInfo) return SZ_ERROR_ARCHIVE;
  return ReadFilesInfo(sd, db->NumFiles, alloc, antiItems);
}

SRes ReadAntiItems(const CSzArEx* db, ILookInStreamPtr stream, ISzAllocPtr alloc,
                   Byte** antiItems) {
  *antiItems = NULL;
  if (db->NumFiles == 0) return SZ_OK;
  // The start header, just before the position the library recorded after it, says where the
  // header lies and what its CRC is.
  Byte start[k7zStartHeaderSize];
  UInt64 base = db->startPosAfterHeader;
  if (base < k7zStartHeaderSize) return SZ_ERROR_ARCHIVE;
  RINOK(LookInStream_SeekTo(stream, base - k7zStartHeaderSize))
  RINOK(LookInStream_Read(stream, start, k7zStartHeaderSize))
  UInt64 offset = PropsUInt64(start + 12);
  UInt64 size = PropsUInt64(start + 20);
  UInt32 crc = PropsUInt32(start + 28);
  if (size == 0 || size >= (static_cast<UInt64>(1) << 48) || static_cast<size_t>(size) != size ||
      offset >= (static_cast<UInt64>(1) << 62)) {
    return SZ_ERROR_ARCHIVE;
  }
  CBuf raw;
  CBuf decoded;
  Buf_Init(&raw);
  Buf_Init(&decoded);
  SRes res = Buf_Create(&raw, static_cast<size_t>(size), alloc) ? SZ_OK : SZ_ERROR_MEM;
  if (res == SZ_OK) res = LookInStream_SeekTo(stream, base + offset);
  if (res == SZ_OK) res = LookInStream_Read(stream, raw.data, raw.size);
  if (res == SZ_OK && CrcCalc(raw.data, raw.size) != crc) res = SZ_ERROR_CRC;
  CSzData sd = {raw.data, raw.size};
  UInt64 id = 0;
  if (res == SZ_OK) res = ReadNumber(&sd, &id);
  if (res == SZ_OK && id == kIdEncodedHeader) {
    Streams packed;
    res = ReadStreamsInfo(&sd, SZ_NUM_PACK_STREAMS_IN_FOLDER_MAX, 1, 1, true, &packed);
    if (res == SZ_OK) res = DecodeHeader(&packed, stream, base, alloc, &decoded);
    sd.Data = decoded.data;
    sd.Size = decoded.size;
    if (res == SZ_OK) res = ReadNumber(&sd, &id);
  }
  if (res == SZ_OK)
    res = id == kIdHeader ? ReadHeader(&sd, db, alloc, antiItems) : SZ_ERROR_ARCHIVE;
  Buf_Free(&raw, alloc);
  Buf_Free(&decoded, alloc);
  return res;
}
