#include "branch_filter.h"

#include <string.h>

#include "Bra.h"
#include "coders.h"
#include "props_reading.h"

// Reads the optional start position of the ARM64 and RISC-V converters, which must be aligned to
// their instruction size.
static SRes ReadStartPosition(const Byte* props, unsigned propsSize, UInt32 alignment, UInt32* position) {
  *position = 0;
  if (propsSize == 0) return SZ_OK;
  if (propsSize != 4) return SZ_ERROR_UNSUPPORTED;
  *position = PropsUInt32(props);
  return (*position & (alignment - 1)) == 0 ? SZ_OK : SZ_ERROR_UNSUPPORTED;
}

SRes BranchFilterOpen(BranchFilter* filter, UInt32 method, const Byte* props, unsigned propsSize,
                      size_t capacity, ISzAllocPtr alloc) {
  memset(filter, 0, sizeof *filter);
  filter->method = method;
  filter->x86State = Z7_BRANCH_CONV_ST_X86_STATE_INIT_VAL;
  SRes res = SZ_OK;
  if (method == CODER_DELTA) {
    if (propsSize != 1) return SZ_ERROR_UNSUPPORTED;
    filter->delta = static_cast<unsigned>(props[0]) + 1;
    Delta_Init(filter->deltaState);
  } else if (method == CODER_ARM64) {
    res = ReadStartPosition(props, propsSize, 4, &filter->position);
  } else if (method == CODER_RISCV) {
    res = ReadStartPosition(props, propsSize, 2, &filter->position);
  } else if (!IsFilter(method) || propsSize != 0) {
    res = SZ_ERROR_UNSUPPORTED;
  }
  if (res != SZ_OK) return res;
  filter->buffer = static_cast<Byte*>(ISzAlloc_Alloc(alloc, capacity));
  if (filter->buffer == NULL) return SZ_ERROR_MEM;
  filter->capacity = capacity;
  return SZ_OK;
}

// Drops the bytes the last take gave out; the unconverted tail moves to the front, where the
// converters' alignment holds (the buffer is aligned and they consume whole instructions).
static void DropHandedOut(BranchFilter* filter) {
  if (filter->handedOut == 0) return;
  memmove(filter->buffer, filter->buffer + filter->handedOut, filter->filled - filter->handedOut);
  filter->filled -= filter->handedOut;
  filter->position += static_cast<UInt32>(filter->handedOut);
  filter->handedOut = 0;
}

size_t BranchFilterPut(BranchFilter* filter, const Byte* data, size_t size) {
  DropHandedOut(filter);
  size_t room = filter->capacity - filter->filled;
  size_t taken = size < room ? size : room;
  memcpy(filter->buffer + filter->filled, data, taken);
  filter->filled += taken;
  return taken;
}

// Converts from the start of the buffer; returns how many bytes are done.
static SizeT Convert(BranchFilter* filter) {
  Byte* data = filter->buffer;
  SizeT size = filter->filled;
  UInt32 pc = filter->position;
  Byte* end = data;
  switch (filter->method) {
    case CODER_DELTA:
      Delta_Decode(filter->deltaState, filter->delta, data, size);
      return size;
    case CODER_X86: end = z7_BranchConvSt_X86_Dec(data, size, pc, &filter->x86State); break;
    case CODER_ARM: end = z7_BranchConv_ARM_Dec(data, size, pc); break;
    case CODER_ARM_THUMB: end = z7_BranchConv_ARMT_Dec(data, size, pc); break;
    case CODER_ARM64: end = z7_BranchConv_ARM64_Dec(data, size, pc); break;
    case CODER_POWERPC: end = z7_BranchConv_PPC_Dec(data, size, pc); break;
    case CODER_SPARC: end = z7_BranchConv_SPARC_Dec(data, size, pc); break;
    case CODER_IA64: end = z7_BranchConv_IA64_Dec(data, size, pc); break;
    case CODER_RISCV: end = z7_BranchConv_RISCV_Dec(data, size, pc); break;
  }
  return static_cast<SizeT>(end - data);
}

void BranchFilterTake(BranchFilter* filter, bool last, const Byte** data, size_t* size) {
  DropHandedOut(filter);
  SizeT done = Convert(filter);
  filter->handedOut = last ? filter->filled : done;
  *data = filter->buffer;
  *size = filter->handedOut;
}

void BranchFilterClose(BranchFilter* filter, ISzAllocPtr alloc) {
  ISzAlloc_Free(alloc, filter->buffer);
  filter->buffer = NULL;
}
