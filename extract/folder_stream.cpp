#include "folder_stream.h"

#include <string.h>

#include "7zCrc.h"
#include "coders.h"

// Output of PPMd, the filters and BCJ2: large enough that a small folder comes out, and is
// checked, in one piece.
static const size_t kOutputSize = 1 << 18;
// Input of a BCJ2 folder's packed streams after the first, which are small.
static const size_t kSideInputSize = 1 << 16;
static const size_t kWordsSize = 1 << 14;
// BCJ2 folders: which packed stream feeds what.
enum { kMainPack = 0, kRangePack = 1, kCallPack = 2, kJumpPack = 3 };

static bool IsCoder(const CSzCoderInfo* coder) {
  return coder->NumStreams == 1 && IsMainCoder(coder->MethodID);
}

static bool HasBond(const CSzFolder* folder, unsigned index, UInt32 in, UInt32 out) {
  return folder->Bonds[index].InIndex == in && folder->Bonds[index].OutIndex == out;
}

// The layouts this decoder takes: one coder; a coder and a filter after it; BCJ2 fed by three
// coders (coder 2 the main stream, 1 the call and 0 the jump targets) and a packed stream of its
// own for its range coder.
static SRes FindLayout(const CSzFolder* folder, int* layout) {
  if (folder->NumCoders == 1 && IsCoder(&folder->Coders[0]) && folder->NumPackStreams == 1 &&
      folder->PackStreams[0] == 0 && folder->NumBonds == 0) {
    *layout = FOLDER_ONE_CODER;
    return SZ_OK;
  }
  if (folder->NumCoders == 2 && IsCoder(&folder->Coders[0]) && folder->Coders[1].NumStreams == 1 &&
      IsFilter(folder->Coders[1].MethodID) && folder->NumPackStreams == 1 &&
      folder->PackStreams[0] == 0 && folder->NumBonds == 1 && HasBond(folder, 0, 1, 0)) {
    *layout = FOLDER_FILTERED;
    return SZ_OK;
  }
  if (folder->NumCoders == 4 && IsCoder(&folder->Coders[0]) && IsCoder(&folder->Coders[1]) &&
      IsCoder(&folder->Coders[2]) && folder->Coders[3].MethodID == CODER_BCJ2 &&
      folder->Coders[3].NumStreams == 4 && folder->NumPackStreams == 4 && folder->PackStreams[kMainPack] == 2 &&
      folder->PackStreams[kRangePack] == 6 && folder->PackStreams[kCallPack] == 1 &&
      folder->PackStreams[kJumpPack] == 0 && folder->NumBonds == 3 && HasBond(folder, 0, 5, 0) &&
      HasBond(folder, 1, 4, 1) && HasBond(folder, 2, 3, 2)) {
    *layout = FOLDER_BCJ2;
    return SZ_OK;
  }
  return SZ_ERROR_UNSUPPORTED;
}

static size_t OutputSize(ZUInt64 size) {
  if (size == 0) return 1;
  return size < kOutputSize ? static_cast<size_t>(size) : kOutputSize;
}

static SRes OpenInputs(FolderStream* stream, const CSzFolder* folder, PlatFile* file, Byte* inputBuffer,
                       size_t inputSize) {
  const CSzAr* ar = &stream->db->db;
  const UInt64* packPositions = ar->PackPositions + ar->FoStartPackStreamIndex[stream->folderIndex];
  if (folder->NumPackStreams > 1) {
    stream->sideBuffers = static_cast<Byte*>(
        ISzAlloc_Alloc(stream->alloc, (folder->NumPackStreams - 1) * kSideInputSize));
    if (stream->sideBuffers == NULL) return SZ_ERROR_MEM;
  }
  for (UInt32 i = 0; i < folder->NumPackStreams; i++) {
    Byte* buffer = i == 0 ? inputBuffer : stream->sideBuffers + (i - 1) * kSideInputSize;
    size_t bufferSize = i == 0 ? inputSize : kSideInputSize;
    PackInputInit(&stream->inputs[i], file, &stream->filePosition, stream->db->dataPos + packPositions[i],
                  packPositions[i + 1] - packPositions[i], buffer, bufferSize);
  }
  return SZ_OK;
}

static SRes OpenCoder(FolderStream* stream, const CSzFolder* folder, const Byte* props, unsigned index,
                      ZUInt64 size, unsigned packStream) {
  const CSzCoderInfo* info = &folder->Coders[index];
  return CoderOpen(&stream->coders[index], info->MethodID, props + info->PropsOffset, info->PropsSize, size,
                   &stream->inputs[packStream], kOutputSize, stream->alloc);
}

static SRes OpenBcj2(FolderStream* stream, const CSzFolder* folder, const Byte* props) {
  const CSzAr* ar = &stream->db->db;
  const UInt64* sizes = ar->CoderUnpackSizes + ar->FoToCoderUnpackSizes[stream->folderIndex];
  // The main stream and the targets make up the output; targets are whole 32-bit words.
  ZUInt64 targets = sizes[2] <= stream->size ? stream->size - sizes[2] : 0;
  if ((sizes[0] & 3) != 0 || (sizes[1] & 3) != 0 || sizes[2] > stream->size || sizes[0] > targets ||
      sizes[1] != targets - sizes[0]) {
    return SZ_ERROR_DATA;
  }
  RINOK(OpenCoder(stream, folder, props, 0, sizes[0], kJumpPack))
  RINOK(OpenCoder(stream, folder, props, 1, sizes[1], kCallPack))
  RINOK(OpenCoder(stream, folder, props, 2, sizes[2], kMainPack))
  stream->bcj2OutputSize = OutputSize(stream->size);
  stream->bcj2Output = static_cast<Byte*>(ISzAlloc_Alloc(stream->alloc, stream->bcj2OutputSize));
  if (stream->bcj2Output == NULL) return SZ_ERROR_MEM;
  CBcj2Dec* bcj2 = &stream->bcj2;
  Bcj2Dec_Init(bcj2);
  for (unsigned i = 0; i < 2; i++) {
    Bcj2Words* words = &stream->words[i];
    words->source = &stream->coders[1 - i];
    words->buffer = static_cast<Byte*>(ISzAlloc_Alloc(stream->alloc, kWordsSize));
    if (words->buffer == NULL) return SZ_ERROR_MEM;
    bcj2->bufs[BCJ2_STREAM_CALL + i] = bcj2->lims[BCJ2_STREAM_CALL + i] = words->buffer;
  }
  bcj2->bufs[BCJ2_STREAM_MAIN] = bcj2->lims[BCJ2_STREAM_MAIN] = stream->bcj2Output;
  bcj2->bufs[BCJ2_STREAM_RC] = bcj2->lims[BCJ2_STREAM_RC] = stream->inputs[kRangePack].cur;
  return SZ_OK;
}

SRes FolderStreamOpen(FolderStream* stream, const CSzArEx* db, UInt32 folderIndex, PlatFile* file,
                      Byte* inputBuffer, size_t inputSize, ISzAllocPtr alloc) {
  memset(stream, 0, sizeof *stream);
  stream->db = db;
  stream->folderIndex = folderIndex;
  stream->alloc = alloc;
  stream->filePosition = kUnknownFilePosition;
  const CSzAr* ar = &db->db;
  const Byte* props = NULL;
  CSzFolder folder;
  RINOK(ReadBlockCoders(db, folderIndex, &folder, &props))
  if (folder.UnpackStream != ar->FoToMainUnpackSizeIndex[folderIndex]) return SZ_ERROR_FAIL;
  stream->size = SzAr_GetFolderUnpackSize(ar, folderIndex);
  stream->checkCrc = SzBitWithVals_Check(&ar->FolderCRCs, folderIndex);
  stream->crc = CRC_INIT_VAL;
  RINOK(FindLayout(&folder, &stream->layout))
  RINOK(OpenInputs(stream, &folder, file, inputBuffer, inputSize))
  if (stream->layout == FOLDER_BCJ2) return OpenBcj2(stream, &folder, props);
  // The first coder yields the folder's size, a filter after it keeping the length.
  RINOK(OpenCoder(stream, &folder, props, 0, stream->size, 0))
  if (stream->layout == FOLDER_ONE_CODER) return SZ_OK;
  const CSzCoderInfo* filter = &folder.Coders[1];
  return BranchFilterOpen(&stream->filter, filter->MethodID, props + filter->PropsOffset, filter->PropsSize,
                          OutputSize(stream->size), alloc);
}

static SRes ReadFiltered(FolderStream* stream, const Byte** data, size_t* size) {
  CoderStream* source = &stream->coders[0];
  for (;;) {
    // Fill the filter's buffer, keeping what does not fit for the next round.
    for (;;) {
      if (stream->pendingSize == 0) {
        if (source->finished) break;
        RINOK(CoderRead(source, &stream->pending, &stream->pendingSize))
        if (stream->pendingSize == 0) break;
      }
      size_t taken = BranchFilterPut(&stream->filter, stream->pending, stream->pendingSize);
      stream->pending += taken;
      stream->pendingSize -= taken;
      if (stream->pendingSize > 0) break;
    }
    bool last = source->finished && stream->pendingSize == 0;
    BranchFilterTake(&stream->filter, last, data, size);
    if (*size > 0 || last) return SZ_OK;
  }
}

// ---- BCJ2 --------------------------------------------------------------------------------------

// Gives the decoder the next call or jump targets, gathered from their coder into an aligned
// buffer: the decoder reads them as aligned whole words. The buffer and the stream (checked when
// the folder opens) both hold whole words, so every gathering ends on a word boundary.
static SRes RefillWords(FolderStream* stream, unsigned index) {
  Bcj2Words* words = &stream->words[index - BCJ2_STREAM_CALL];
  words->filled = 0;
  while (words->filled < kWordsSize) {
    if (words->pendingSize == 0) {
      if (words->source->finished) break;
      RINOK(CoderRead(words->source, &words->pending, &words->pendingSize))
      if (words->pendingSize == 0) break;
    }
    size_t room = kWordsSize - words->filled;
    size_t taken = words->pendingSize < room ? words->pendingSize : room;
    memcpy(words->buffer + words->filled, words->pending, taken);
    words->filled += taken;
    words->pending += taken;
    words->pendingSize -= taken;
  }
  if (words->filled == 0) return SZ_ERROR_DATA;
  stream->bcj2.bufs[index] = words->buffer;
  stream->bcj2.lims[index] = words->buffer + words->filled;
  return SZ_OK;
}

static SRes RefillRange(FolderStream* stream) {
  PackInput* input = &stream->inputs[kRangePack];
  RINOK(PackInputFill(input))
  if (input->cur == input->end) return SZ_ERROR_DATA;
  stream->bcj2.bufs[BCJ2_STREAM_RC] = input->cur;
  stream->bcj2.lims[BCJ2_STREAM_RC] = input->end;
  return SZ_OK;
}

// Feeds the stream the decoder stopped for.
static SRes RefillBcj2(FolderStream* stream) {
  unsigned index = stream->bcj2.state;
  if (index == BCJ2_STREAM_RC) return RefillRange(stream);
  if (index == BCJ2_STREAM_CALL || index == BCJ2_STREAM_JUMP) return RefillWords(stream, index);
  if (index != BCJ2_STREAM_MAIN) return SZ_ERROR_DATA;
  const Byte* data = NULL;
  size_t size = 0;
  RINOK(CoderRead(&stream->coders[2], &data, &size))
  if (size == 0) return SZ_ERROR_DATA;
  stream->bcj2.bufs[BCJ2_STREAM_MAIN] = data;
  stream->bcj2.lims[BCJ2_STREAM_MAIN] = data + size;
  return SZ_OK;
}

static SRes DecodeBcj2(FolderStream* stream) {
  RINOK(Bcj2Dec_Decode(&stream->bcj2))
  stream->inputs[kRangePack].cur = stream->bcj2.bufs[BCJ2_STREAM_RC];
  return SZ_OK;
}

static SRes ReadBcj2(FolderStream* stream, const Byte** data, size_t* size) {
  ZUInt64 left = stream->size - stream->produced;
  size_t room = left < stream->bcj2OutputSize ? static_cast<size_t>(left) : stream->bcj2OutputSize;
  stream->bcj2.dest = stream->bcj2Output;
  stream->bcj2.destLim = stream->bcj2Output + room;
  for (;;) {
    RINOK(DecodeBcj2(stream))
    if (stream->bcj2.dest == stream->bcj2.destLim) break;
    RINOK(RefillBcj2(stream))
  }
  *data = stream->bcj2Output;
  *size = room;
  return SZ_OK;
}

static SRes ExpectCoderEnd(CoderStream* coder) {
  const Byte* data = NULL;
  size_t size = 0;
  RINOK(CoderRead(coder, &data, &size))
  return size == 0 ? SZ_OK : SZ_ERROR_DATA;
}

// With the whole output out, every input must be used up exactly and the range coder finished.
static SRes FinishBcj2(FolderStream* stream) {
  CBcj2Dec* bcj2 = &stream->bcj2;
  PackInput* range = &stream->inputs[kRangePack];
  // The decoder may stop at the end of its output still wanting a byte of its range coder.
  while (bcj2->state == BCJ2_STREAM_RC && !PackInputDone(range)) {
    RINOK(RefillRange(stream))
    RINOK(DecodeBcj2(stream))
  }
  for (unsigned i = 0; i < 3; i++) RINOK(ExpectCoderEnd(&stream->coders[i]))
  for (unsigned i = 0; i < 2; i++) {
    const Bcj2Words* words = &stream->words[i];
    if (words->pendingSize != 0 || bcj2->bufs[BCJ2_STREAM_CALL + i] != words->buffer + words->filled) {
      return SZ_ERROR_DATA;
    }
  }
  if (bcj2->bufs[BCJ2_STREAM_MAIN] != bcj2->lims[BCJ2_STREAM_MAIN] || !PackInputDone(range) ||
      !Bcj2Dec_IsMaybeFinished(bcj2)) {
    return SZ_ERROR_DATA;
  }
  return SZ_OK;
}

// ---- Handing out -------------------------------------------------------------------------------

static SRes DecodeChunk(FolderStream* stream) {
  if (stream->produced == stream->size) return SZ_OK;
  const Byte* data = NULL;
  size_t size = 0;
  SRes res = SZ_OK;
  switch (stream->layout) {
    case FOLDER_ONE_CODER: res = CoderRead(&stream->coders[0], &data, &size); break;
    case FOLDER_FILTERED: res = ReadFiltered(stream, &data, &size); break;
    default: res = ReadBcj2(stream, &data, &size); break;
  }
  if (res != SZ_OK) return res;
  if (size == 0 || size > stream->size - stream->produced) return SZ_ERROR_DATA;
  stream->produced += size;
  if (stream->checkCrc) stream->crc = CrcUpdate(stream->crc, data, size);
  if (stream->produced == stream->size) {
    if (stream->layout == FOLDER_BCJ2) RINOK(FinishBcj2(stream))
    if (stream->checkCrc &&
        CRC_GET_DIGEST(stream->crc) != stream->db->db.FolderCRCs.Vals[stream->folderIndex]) {
      return SZ_ERROR_CRC;
    }
  }
  stream->chunk = data;
  stream->chunkSize = size;
  return SZ_OK;
}

SRes FolderStreamRead(FolderStream* stream, ZUInt64 limit, const Byte** data, size_t* size) {
  if (stream->chunkSize == 0) RINOK(DecodeChunk(stream))
  size_t count = limit < stream->chunkSize ? static_cast<size_t>(limit) : stream->chunkSize;
  *data = stream->chunk;
  *size = count;
  stream->chunk += count;
  stream->chunkSize -= count;
  stream->position += count;
  return SZ_OK;
}

SRes FolderStreamSkip(FolderStream* stream, ZUInt64 count) {
  while (count > 0) {
    const Byte* data = NULL;
    size_t size = 0;
    RINOK(FolderStreamRead(stream, count, &data, &size))
    if (size == 0) return SZ_ERROR_DATA;
    count -= size;
  }
  return SZ_OK;
}

void FolderStreamClose(FolderStream* stream) {
  ISzAllocPtr alloc = stream->alloc;
  if (alloc == NULL) return;
  for (unsigned i = 0; i < 3; i++) CoderClose(&stream->coders[i], alloc);
  BranchFilterClose(&stream->filter, alloc);
  for (unsigned i = 0; i < 2; i++) ISzAlloc_Free(alloc, stream->words[i].buffer);
  ISzAlloc_Free(alloc, stream->bcj2Output);
  ISzAlloc_Free(alloc, stream->sideBuffers);
  stream->alloc = NULL;
}
