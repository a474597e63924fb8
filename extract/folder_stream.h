// A folder (solid block) of a package decoded front to back through its coders' windows, handed
// out piece by piece. Memory is the coders' dictionaries (each capped at what its coder yields)
// and a few fixed buffers, never the folder's size.
#pragma once

#include "7z.h"
#include "Bcj2.h"
#include "branch_filter.h"
#include "coder_stream.h"

// A 32-bit stream of the BCJ2 decoder (call or jump targets): the decoder reads it in aligned
// whole words, so the coder's bytes are gathered here first.
struct Bcj2Words {
  CoderStream* source;
  const Byte* pending;  // the coder's bytes not yet gathered
  size_t pendingSize;
  Byte* buffer;
  size_t filled;
};

enum FolderLayout { FOLDER_ONE_CODER, FOLDER_FILTERED, FOLDER_BCJ2 };

struct FolderStream {
  const CSzArEx* db;
  UInt32 folderIndex;
  ISzAllocPtr alloc;
  ZUInt64 size;      // the folder's unpacked size
  ZUInt64 produced;  // bytes decoded so far
  ZUInt64 position;  // bytes handed out so far
  int layout;
  bool checkCrc;  // the folder has a checksum of its own
  UInt32 crc;
  ZUInt64 filePosition;
  PackInput inputs[SZ_NUM_PACK_STREAMS_IN_FOLDER_MAX];
  Byte* sideBuffers;  // the input buffers of the packed streams after the first
  CoderStream coders[3];
  // FOLDER_FILTERED: the coder's bytes not yet put into the filter.
  BranchFilter filter;
  const Byte* pending;
  size_t pendingSize;
  // FOLDER_BCJ2
  CBcj2Dec bcj2;
  Bcj2Words words[2];
  Byte* bcj2Output;
  size_t bcj2OutputSize;
  // The decoded bytes not yet handed out.
  const Byte* chunk;
  size_t chunkSize;
};

// Opens folder folderIndex of db for decoding from file. inputBuffer (inputSize bytes) feeds the
// folder's first packed stream and must outlive the stream. SZ_ERROR_UNSUPPORTED for a layout or
// method the decoder does not have, SZ_ERROR_MEM when a dictionary or buffer cannot be had,
// SZ_ERROR_DATA or SZ_ERROR_FAIL for sizes that do not fit together. Nothing is read yet. On
// failure the stream must still be closed.
SRes FolderStreamOpen(FolderStream* stream, const CSzArEx* db, UInt32 folderIndex, PlatFile* file,
                      Byte* inputBuffer, size_t inputSize, ISzAllocPtr alloc);
// Hands out the folder's next bytes, at most limit of them, valid until the next call. *size is
// 0 only at the folder's end. Before the last bytes come out the folder's end has been checked
// (every coder's stream used up exactly, the folder's checksum where it has one); a failure there
// comes instead of them. Decoder results (SZ_ERROR_DATA, SZ_ERROR_CRC, SZ_ERROR_READ, ...) are
// returned as they are.
SRes FolderStreamRead(FolderStream* stream, ZUInt64 limit, const Byte** data, size_t* size);
// Reads and drops count bytes.
SRes FolderStreamSkip(FolderStream* stream, ZUInt64 count);
void FolderStreamClose(FolderStream* stream);
