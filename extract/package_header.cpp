#include "package_header.h"

#include <string.h>

#include "7zCrc.h"
#include "coders.h"
#include "props_reading.h"

// Property ids of the 7z header that the walk reads or must step over.
enum {
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
SRes HeaderNumber(CSzData* sd, UInt64* value) {
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

SRes HeaderSkip(CSzData* sd, UInt64 size) {
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

static SRes SkipNumbers(CSzData* sd, UInt32 count) {
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

UInt32 HeaderCountBits(const Byte* bits, UInt32 count) {
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

static SRes ReadPackInfo(CSzData* sd, UInt32 packLimit, bool keep, Streams* s) {
  RINOK(HeaderNumber(sd, &s->dataOffset))
  RINOK(ReadCount(sd, packLimit, &s->numPackStreams))
  RINOK(WaitFor(sd, kIdSize))
  for (UInt32 i = 0; i < s->numPackStreams; i++) {
    UInt64 size = 0;
    RINOK(HeaderNumber(sd, &size))
    if (keep) s->packSizes[i] = size;
  }
  for (;;) {
    UInt64 id = 0;
    RINOK(HeaderNumber(sd, &id))
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
    RINOK(HeaderNumber(sd, &size))
    if (keep && i < SZ_NUM_CODERS_IN_FOLDER_MAX) s->unpackSizes[i] = size;
  }
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
    if (keep && defined > 0 && sd->Size >= 4)
      s->folderCrc = PropsUInt32(sd->Data);
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
    RINOK(SkipNumbers(sd, static_cast<UInt32>(numSizes)))
    RINOK(HeaderNumber(sd, &id))
  }
  for (;;) {
    if (id == kIdEnd) return SZ_OK;
    RINOK(id == kIdCrc ? SkipDigests(sd, static_cast<UInt32>(numDigests)) : SkipProperty(sd))
    RINOK(HeaderNumber(sd, &id))
  }
}

// keep: the section describes the header's own packed stream, of one folder of at most four
// coders and pack streams, whose description is kept for decoding it.
static SRes ReadStreamsInfo(CSzData* sd, UInt32 packLimit, UInt32 folderLimit, UInt32 streamLimit,
                            bool keep, Streams* s) {
  memset(s, 0, sizeof *s);
  UInt64 id = 0;
  RINOK(HeaderNumber(sd, &id))
  if (id == kIdPackInfo) {
    RINOK(ReadPackInfo(sd, packLimit, keep, s))
    RINOK(HeaderNumber(sd, &id))
  }
  if (id == kIdUnpackInfo) {
    RINOK(ReadUnpackInfo(sd, folderLimit, keep, s))
    RINOK(HeaderNumber(sd, &id))
  }
  if (id == kIdSubStreamsInfo) {
    RINOK(SkipSubStreamsInfo(sd, s, streamLimit))
    RINOK(HeaderNumber(sd, &id))
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

// The first coder of the header's folder the device cannot decode, or kNoCoder.
static UInt32 LackingCoder(const Streams* s) {
  for (UInt32 i = 0; i < s->folder.NumCoders; i++) {
    if (!DeviceDecodes(s->folder.Coders[i].MethodID)) return s->folder.Coders[i].MethodID;
  }
  return kNoCoder;
}

SRes ReadPackageHeader(ILookInStreamPtr stream, UInt64 startHeader, ISzAllocPtr alloc, CBuf* header,
                       UInt32* lacking) {
  Buf_Init(header);
  *lacking = kNoCoder;
  // The start header says where the header lies, after itself, and what its CRC is.
  Byte start[k7zStartHeaderSize];
  RINOK(LookInStream_SeekTo(stream, startHeader))
  RINOK(LookInStream_Read(stream, start, k7zStartHeaderSize))
  UInt64 base = startHeader + k7zStartHeaderSize;
  UInt64 offset = PropsUInt64(start + 12);
  UInt64 size = PropsUInt64(start + 20);
  UInt32 crc = PropsUInt32(start + 28);
  if (size == 0 || size >= (static_cast<UInt64>(1) << 48) || static_cast<size_t>(size) != size ||
      offset >= (static_cast<UInt64>(1) << 62)) {
    return SZ_ERROR_ARCHIVE;
  }
  if (!Buf_Create(header, static_cast<size_t>(size), alloc)) return SZ_ERROR_MEM;
  RINOK(LookInStream_SeekTo(stream, base + offset))
  RINOK(LookInStream_Read(stream, header->data, header->size))
  if (CrcCalc(header->data, header->size) != crc) return SZ_ERROR_CRC;
  CSzData sd = {header->data, header->size};
  UInt64 id = 0;
  RINOK(HeaderNumber(&sd, &id))
  if (id != kIdEncodedHeader) return id == kIdHeader ? SZ_OK : SZ_ERROR_ARCHIVE;
  Streams packed;
  RINOK(ReadStreamsInfo(&sd, SZ_NUM_PACK_STREAMS_IN_FOLDER_MAX, 1, 1, true, &packed))
  *lacking = LackingCoder(&packed);
  if (*lacking != kNoCoder) return SZ_ERROR_UNSUPPORTED;
  CBuf decoded;
  Buf_Init(&decoded);
  SRes res = DecodeHeader(&packed, stream, base, alloc, &decoded);
  Buf_Free(header, alloc);
  *header = decoded;
  sd.Data = header->data;
  sd.Size = header->size;
  if (res == SZ_OK) res = HeaderNumber(&sd, &id);
  return res != SZ_OK || id == kIdHeader ? res : SZ_ERROR_ARCHIVE;
}

SRes SeekFilesInfo(const CBuf* header, const CSzArEx* db, CSzData* files) {
  CSzData sd = {header->data, header->size};
  files->Data = NULL;
  files->Size = 0;
  UInt64 id = 0;
  RINOK(HeaderNumber(&sd, &id))  // kIdHeader, as ReadPackageHeader found it
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
    RINOK(ReadStreamsInfo(&sd, db->db.NumPackStreams, db->db.NumFolders, db->NumFiles, false, &main))
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
