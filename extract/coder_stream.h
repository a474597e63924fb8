// One coder of a folder (copy, LZMA, LZMA2 or PPMd) decoding its packed stream front to back, a
// window at a time, so that memory stays at the coder's own dictionary whatever the stream's size.
#pragma once

#include "7zTypes.h"
#include "coders.h"
#include "LzmaDec.h"
#include "Lzma2Dec.h"
#include "Ppmd7.h"
#include "platform.h"


// A packed stream of the package, read a buffer at a time. The folder's streams share the file
// and *filePosition, so that a read that follows on from the last needs no seek.
struct PackInput {
  PlatFile* file;
  ZUInt64* filePosition;  // offset of the file's next read; kUnknownFilePosition when unknown
  ZUInt64 next;           // package offset of the stream's next unread byte
  ZUInt64 remaining;      // bytes of the stream not yet read
  Byte* buffer;
  size_t bufferSize;
  const Byte* cur;  // unconsumed bytes read so far: cur to end
  const Byte* end;
};

static const ZUInt64 kUnknownFilePosition = ~static_cast<ZUInt64>(0);

void PackInputInit(PackInput* input, PlatFile* file, ZUInt64* filePosition, ZUInt64 offset, ZUInt64 size,
                   Byte* buffer, size_t bufferSize);
// Once cur has reached end, reads the stream's next bytes (one read, which may be short). At the
// stream's end it reads nothing and cur stays at end. SZ_ERROR_READ when the file fails,
// SZ_ERROR_INPUT_EOF when it ends before the stream does.
SRes PackInputFill(PackInput* input);
inline bool PackInputDone(const PackInput* input) { return input->cur == input->end && input->remaining == 0; }

// The byte source the PPMd decoder pulls from.
struct PpmdByteIn {
  IByteIn vt;
  PackInput* input;
  bool ended;  // a byte was wanted past the stream's end, or the file failed
  SRes res;    // the file's failure, SZ_OK for the end of the stream
};

struct CoderStream {
  UInt32 method;
  PackInput* input;
  ZUInt64 size;      // bytes the coder yields
  ZUInt64 produced;  // of them given out so far
  bool finished;     // the end of the packed stream has been checked
  Byte* window;      // LZMA, LZMA2: the dictionary; PPMd: the output buffer; copy: none
  size_t windowSize;
  ELzmaStatus status;  // LZMA, LZMA2: of the last decoding call
  bool ppmdStarted;
  PpmdByteIn byteIn;
  union {
    CLzmaDec lzma;
    CLzma2Dec lzma2;
    CPpmd7 ppmd;
  } state;
};

// Sets a coder up to yield size bytes from input. The LZMA and LZMA2 dictionary is capped at
// size, since the decoder never looks further back than the stream's start; PPMd decodes into a
// buffer of at most outputSize bytes. SZ_ERROR_UNSUPPORTED for a method or properties it does not
// take, SZ_ERROR_MEM when the dictionary or the model cannot be had, SZ_ERROR_DATA when a copied
// stream's packed and unpacked sizes differ.
SRes CoderOpen(CoderStream* coder, UInt32 method, const Byte* props, unsigned propsSize, ZUInt64 size,
               PackInput* input, size_t outputSize, ISzAllocPtr alloc);
// Gives out the coder's next bytes, valid until the next call: *size is 0 only once all size
// bytes are out. When the last bytes come out, the packed stream has been checked to end there
// (end marker, no bytes left over); any failure comes before them. SZ_ERROR_DATA for a corrupt
// or short stream, SZ_ERROR_READ or SZ_ERROR_INPUT_EOF from the package file.
SRes CoderRead(CoderStream* coder, const Byte** data, size_t* size);
void CoderClose(CoderStream* coder, ISzAllocPtr alloc);
