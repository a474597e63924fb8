#include "coder_stream.h"

#include <string.h>

#include "props_reading.h"

void PackInputInit(PackInput* input, PlatFile* file, ZUInt64* filePosition, ZUInt64 offset, ZUInt64 size,
                   Byte* buffer, size_t bufferSize) {
  input->file = file;
  input->filePosition = filePosition;
  input->next = offset;
  input->remaining = size;
  input->buffer = buffer;
  input->bufferSize = bufferSize;
  input->cur = input->end = buffer;
}

SRes PackInputFill(PackInput* input) {
  if (input->remaining == 0) return SZ_OK;
  if (*input->filePosition != input->next) {
    ZInt64 position = static_cast<ZInt64>(input->next);
    if (PlatFileSeek(input->file, &position, PLAT_SEEK_SET) != PLAT_OK) {
      *input->filePosition = kUnknownFilePosition;
      return SZ_ERROR_READ;
    }
  }
  size_t size = input->remaining < input->bufferSize ? static_cast<size_t>(input->remaining) : input->bufferSize;
  if (PlatFileRead(input->file, input->buffer, &size) != PLAT_OK) {
    *input->filePosition = kUnknownFilePosition;
    return SZ_ERROR_READ;
  }
  if (size == 0) return SZ_ERROR_INPUT_EOF;
  input->cur = input->buffer;
  input->end = input->buffer + size;
  input->next += size;
  input->remaining -= size;
  *input->filePosition = input->next;
  return SZ_OK;
}

static Byte ReadPackedByte(IByteInPtr p) {
  PpmdByteIn* byteIn = reinterpret_cast<PpmdByteIn*>(const_cast<IByteIn*>(p));
  PackInput* input = byteIn->input;
  if (input->cur != input->end) return *input->cur++;  // the decoder's hot path: keep it short
  if (!byteIn->ended) {
    byteIn->res = PackInputFill(input);
    if (byteIn->res != SZ_OK || input->cur == input->end) byteIn->ended = true;
  }
  if (byteIn->ended) return 0;
  return *input->cur++;
}

// The dictionary never needs to reach back further than the stream's start.
static SRes AllocateWindow(CoderStream* coder, ZUInt64 wanted, ISzAllocPtr alloc) {
  if (coder->size < wanted) wanted = coder->size;
  if (wanted == 0) wanted = 1;
  coder->windowSize = static_cast<size_t>(wanted);
  if (coder->windowSize != wanted) return SZ_ERROR_MEM;
  coder->window = static_cast<Byte*>(ISzAlloc_Alloc(alloc, coder->windowSize));
  return coder->window == NULL ? SZ_ERROR_MEM : SZ_OK;
}

static CLzmaDec* LzmaOf(CoderStream* coder) {
  return coder->method == CODER_LZMA2 ? &coder->state.lzma2.decoder : &coder->state.lzma;
}

static SRes OpenLzma(CoderStream* coder, const Byte* props, unsigned propsSize, ISzAllocPtr alloc) {
  CLzmaDec* dec = LzmaOf(coder);
  LzmaDec_CONSTRUCT(dec)
  if (coder->method == CODER_LZMA2) {
    if (propsSize != 1) return SZ_ERROR_UNSUPPORTED;
    RINOK(Lzma2Dec_AllocateProbs(&coder->state.lzma2, props[0], alloc))
  } else {
    RINOK(LzmaDec_AllocateProbs(dec, props, propsSize, alloc))
  }
  RINOK(AllocateWindow(coder, dec->prop.dicSize, alloc))
  dec->dic = coder->window;
  dec->dicBufSize = coder->windowSize;
  if (coder->method == CODER_LZMA2) {
    Lzma2Dec_Init(&coder->state.lzma2);
  } else {
    LzmaDec_Init(dec);
  }
  return SZ_OK;
}

static SRes OpenPpmd(CoderStream* coder, const Byte* props, unsigned propsSize, size_t outputSize,
                     ISzAllocPtr alloc) {
  Ppmd7_Construct(&coder->state.ppmd);
  // The order and the model's size; some writers (py7zr) add two bytes, which 7-Zip's own decoder
  // passes over as this one does.
  if (propsSize < 5) return SZ_ERROR_UNSUPPORTED;
  unsigned order = props[0];
  UInt32 memorySize = PropsUInt32(props + 1);
  if (order < PPMD7_MIN_ORDER || order > PPMD7_MAX_ORDER || memorySize < PPMD7_MIN_MEM_SIZE ||
      memorySize > PPMD7_MAX_MEM_SIZE) {
    return SZ_ERROR_UNSUPPORTED;
  }
  if (!Ppmd7_Alloc(&coder->state.ppmd, memorySize, alloc)) return SZ_ERROR_MEM;
  Ppmd7_Init(&coder->state.ppmd, order);
  RINOK(AllocateWindow(coder, outputSize, alloc))
  coder->byteIn.vt.Read = ReadPackedByte;
  coder->byteIn.input = coder->input;
  coder->state.ppmd.rc.dec.Stream = &coder->byteIn.vt;
  return SZ_OK;
}

SRes CoderOpen(CoderStream* coder, UInt32 method, const Byte* props, unsigned propsSize, ZUInt64 size,
               PackInput* input, size_t outputSize, ISzAllocPtr alloc) {
  memset(coder, 0, sizeof *coder);
  coder->method = method;
  coder->input = input;
  coder->size = size;
  switch (method) {
    case CODER_COPY: return input->remaining == size ? SZ_OK : SZ_ERROR_DATA;
    case CODER_LZMA:
    case CODER_LZMA2: return OpenLzma(coder, props, propsSize, alloc);
    case CODER_PPMD: return OpenPpmd(coder, props, propsSize, outputSize, alloc);
    default: return SZ_ERROR_UNSUPPORTED;
  }
}

static SRes ReadCopied(CoderStream* coder, const Byte** data, size_t* size) {
  PackInput* input = coder->input;
  if (input->cur == input->end) RINOK(PackInputFill(input))
  if (input->cur == input->end) return SZ_ERROR_INPUT_EOF;
  *data = input->cur;
  *size = static_cast<size_t>(input->end - input->cur);
  input->cur = input->end;
  return SZ_OK;
}

// One decoding call into the window up to limit, on whatever input has been read.
static SRes DecodeIntoWindow(CoderStream* coder, SizeT limit, ELzmaFinishMode mode, SizeT* used) {
  PackInput* input = coder->input;
  *used = static_cast<SizeT>(input->end - input->cur);
  SRes res = coder->method == CODER_LZMA2
                 ? Lzma2Dec_DecodeToDic(&coder->state.lzma2, limit, input->cur, used, mode, &coder->status)
                 : LzmaDec_DecodeToDic(&coder->state.lzma, limit, input->cur, used, mode, &coder->status);
  input->cur += *used;
  return res;
}

static SRes ReadLzma(CoderStream* coder, const Byte** data, size_t* size) {
  CLzmaDec* dec = LzmaOf(coder);
  // The window is a ring: once full, decoding goes on from its start, and no call may write
  // past its end.
  if (dec->dicPos == coder->windowSize) dec->dicPos = 0;
  SizeT start = dec->dicPos;
  ZUInt64 left = coder->size - coder->produced;
  SizeT room = coder->windowSize - start;
  // Only a call whose limit is the stream's end may ask for the end: LZMA2 calls a stream that
  // goes on past a window boundary corrupt when asked to end there.
  bool last = left <= room;
  SizeT limit = last ? start + static_cast<SizeT>(left) : coder->windowSize;
  while (dec->dicPos < limit) {
    if (coder->input->cur == coder->input->end) RINOK(PackInputFill(coder->input))
    SizeT before = dec->dicPos;
    SizeT used = 0;
    RINOK(DecodeIntoWindow(coder, limit, last ? LZMA_FINISH_END : LZMA_FINISH_ANY, &used))
    // Short of the limit, the stream must neither end nor stall for want of input.
    if (dec->dicPos < limit &&
        (coder->status == LZMA_STATUS_FINISHED_WITH_MARK || (used == 0 && dec->dicPos == before))) {
      return SZ_ERROR_DATA;
    }
  }
  *data = coder->window + start;
  *size = limit - start;
  return SZ_OK;
}

// After the last byte the packed stream must end there too: LZMA2 with its end marker, which
// may still be unread, LZMA with a marker or exactly where its size runs out. Calls with no room
// in the window take what is left.
static SRes FinishLzma(CoderStream* coder) {
  for (;;) {
    bool inputDone = PackInputDone(coder->input);
    if (coder->status == LZMA_STATUS_FINISHED_WITH_MARK) return inputDone ? SZ_OK : SZ_ERROR_DATA;
    if (coder->method == CODER_LZMA && coder->status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK && inputDone) {
      return SZ_OK;
    }
    if (coder->input->cur == coder->input->end) RINOK(PackInputFill(coder->input))
    SizeT used = 0;
    RINOK(DecodeIntoWindow(coder, LzmaOf(coder)->dicPos, LZMA_FINISH_END, &used))
    if (used == 0) return SZ_ERROR_DATA;
  }
}

static SRes PpmdFailure(const CoderStream* coder) {
  return coder->byteIn.ended && coder->byteIn.res != SZ_OK ? coder->byteIn.res : SZ_ERROR_DATA;
}

static SRes StartPpmd(CoderStream* coder) {
  if (coder->ppmdStarted) return SZ_OK;
  coder->ppmdStarted = true;
  if (!Ppmd7z_RangeDec_Init(&coder->state.ppmd.rc.dec) || coder->byteIn.ended) return PpmdFailure(coder);
  return SZ_OK;
}

static SRes ReadPpmd(CoderStream* coder, const Byte** data, size_t* size) {
  RINOK(StartPpmd(coder))
  ZUInt64 left = coder->size - coder->produced;
  size_t count = left < coder->windowSize ? static_cast<size_t>(left) : coder->windowSize;
  for (size_t i = 0; i < count; i++) {
    int symbol = Ppmd7z_DecodeSymbol(&coder->state.ppmd);
    if (coder->byteIn.ended || symbol < 0) return PpmdFailure(coder);
    coder->window[i] = static_cast<Byte>(symbol);
  }
  *data = coder->window;
  *size = count;
  return SZ_OK;
}

static SRes FinishPpmd(CoderStream* coder) {
  RINOK(StartPpmd(coder))
  if (!Ppmd7z_RangeDec_IsFinishedOK(&coder->state.ppmd.rc.dec) || !PackInputDone(coder->input)) {
    return SZ_ERROR_DATA;
  }
  return SZ_OK;
}

SRes CoderRead(CoderStream* coder, const Byte** data, size_t* size) {
  *data = NULL;
  *size = 0;
  if (coder->produced < coder->size) {
    SRes res = SZ_OK;
    switch (coder->method) {
      case CODER_COPY: res = ReadCopied(coder, data, size); break;
      case CODER_PPMD: res = ReadPpmd(coder, data, size); break;
      default: res = ReadLzma(coder, data, size); break;
    }
    if (res != SZ_OK) return res;
    coder->produced += *size;
  }
  if (coder->produced == coder->size && !coder->finished) {
    SRes res = SZ_OK;
    switch (coder->method) {
      case CODER_COPY: res = PackInputDone(coder->input) ? SZ_OK : SZ_ERROR_DATA; break;
      case CODER_PPMD: res = FinishPpmd(coder); break;
      default: res = FinishLzma(coder); break;
    }
    if (res != SZ_OK) return res;
    coder->finished = true;
  }
  return SZ_OK;
}

void CoderClose(CoderStream* coder, ISzAllocPtr alloc) {
  switch (coder->method) {
    case CODER_LZMA:
    case CODER_LZMA2: LzmaDec_FreeProbs(LzmaOf(coder), alloc); break;
    case CODER_PPMD: Ppmd7_Free(&coder->state.ppmd, alloc); break;
  }
  ISzAlloc_Free(alloc, coder->window);
  coder->window = NULL;
}
