// The filter that may follow a folder's coder (the x86, ARM and other branch converters, and the
// delta filter), run over the decoded bytes a buffer at a time. The bytes are copied into the
// filter's own buffer first: the coder's window is its history and must stay as decoded.
#pragma once

#include "7zTypes.h"
#include "Delta.h"

struct BranchFilter {
  UInt32 method;
  UInt32 position;  // of buffer[0] in the filtered stream, as the converters count it (mod 2^32)
  UInt32 x86State;
  unsigned delta;
  Byte deltaState[DELTA_STATE_SIZE];
  Byte* buffer;
  size_t capacity;
  size_t filled;      // bytes in buffer
  size_t handedOut;   // leading bytes the last BranchFilterTake gave out, dropped by the next call
};

// Sets the filter up with its properties and a buffer of capacity bytes. SZ_ERROR_UNSUPPORTED
// for properties the filter does not take, SZ_ERROR_MEM when there is no buffer.
SRes BranchFilterOpen(BranchFilter* filter, UInt32 method, const Byte* props, unsigned propsSize,
                      size_t capacity, ISzAllocPtr alloc);
// Appends decoded bytes; returns how many fitted (fewer than size once the buffer is full).
size_t BranchFilterPut(BranchFilter* filter, const Byte* data, size_t size);
// Converts what the buffer holds and gives out the bytes that are done: all of them when last
// (the end of the stream: bytes too few to be an instruction go out as they are, as a whole-stream
// conversion leaves them), otherwise all but the tail the converter has to see more of, which
// waits for the next Put. *data stays valid until the next Put or Take.
void BranchFilterTake(BranchFilter* filter, bool last, const Byte** data, size_t* size);
void BranchFilterClose(BranchFilter* filter, ISzAllocPtr alloc);
