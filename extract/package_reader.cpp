#include "package_reader.h"

#include <stdlib.h>
#include <string.h>

#include "7zCrc.h"

// Look-ahead buffer over the package file: large reads keep the decoder off the system call path.
enum { kLookBufferSize = 1 << 18 };

// The largest block the decoder may ask for. No package that fits the device needs more; a larger
// request comes from a damaged or hostile header (terabytes of output declared by a package of a
// few bytes), and some heaps end the process on such a request rather than refuse it. Refused
// here, it fails the package with SZ_ERROR_MEM.
static const size_t kMaxAllocation = static_cast<size_t>(1) << 30;

static void* HeapAlloc(ISzAllocPtr, size_t size) {
  return size == 0 || size > kMaxAllocation ? NULL : malloc(size);
}
static void HeapFree(ISzAllocPtr, void* address) { free(address); }
static const ISzAlloc heapAllocator = {HeapAlloc, HeapFree};

static SRes StreamRead(ISeekInStreamPtr p, void* buffer, size_t* size) {
  PlatFile* file = reinterpret_cast<const PackageInStream*>(p)->file;
  return PlatFileRead(file, buffer, size) == PLAT_OK ? SZ_OK : SZ_ERROR_READ;
}

static SRes StreamSeek(ISeekInStreamPtr p, Int64* position, ESzSeek origin) {
  PlatFile* file = reinterpret_cast<const PackageInStream*>(p)->file;
  // Int64 is the library's own 64-bit type, which need not be ours.
  ZInt64 moved = *position;
  if (PlatFileSeek(file, &moved, static_cast<PlatSeekOrigin>(origin)) != PLAT_OK) return SZ_ERROR_READ;
  *position = moved;
  return SZ_OK;
}

int OpenPackage(const ZChar* path, PackageReader* reader) {
  memset(reader, 0, sizeof *reader);
  reader->blockIndex = 0xFFFFFFFF;
  if (PlatFileOpenRead(path, &reader->file) != PLAT_OK) return PACKAGE_UNREADABLE;
  reader->stream.vt.Read = StreamRead;
  reader->stream.vt.Seek = StreamSeek;
  reader->stream.file = reader->file;
  LookToRead2_CreateVTable(&reader->look, False);
  reader->look.realStream = &reader->stream.vt;
  reader->look.buf = static_cast<Byte*>(malloc(kLookBufferSize));
  reader->look.bufSize = kLookBufferSize;
  LookToRead2_INIT(&reader->look);
  CrcGenerateTable();
  SzArEx_Init(&reader->db);
  if (reader->look.buf == NULL ||
      SzArEx_Open(&reader->db, &reader->look.vt, &heapAllocator, &heapAllocator) != SZ_OK) {
    ClosePackage(reader);
    return PACKAGE_INVALID;
  }
  return PACKAGE_OPENED;
}

SRes ReadItemName(PackageReader* reader, UInt32 index) {
  size_t length = SzArEx_GetFileNameUtf16(&reader->db, index, NULL);
  if (length > reader->nameCapacity) {
    free(reader->name);
    reader->nameCapacity = length;
    reader->name = static_cast<UInt16*>(malloc(length * sizeof(UInt16)));
    if (reader->name == NULL) {
      reader->nameCapacity = 0;
      return SZ_ERROR_MEM;
    }
  }
  SzArEx_GetFileNameUtf16(&reader->db, index, reader->name);
  return SZ_OK;
}

SRes DecodeItem(PackageReader* reader, UInt32 index, const Byte** data, size_t* size) {
  size_t offset = 0;
  size_t processed = 0;
  SRes res = SzArEx_Extract(&reader->db, &reader->look.vt, index, &reader->blockIndex,
                            &reader->outBuffer, &reader->outBufferSize, &offset, &processed,
                            &heapAllocator, &heapAllocator);
  *data = reader->outBuffer + offset;
  *size = processed;
  return res;
}

void ClosePackage(PackageReader* reader) {
  ISzAlloc_Free(&heapAllocator, reader->outBuffer);
  SzArEx_Free(&reader->db, &heapAllocator);
  free(reader->name);
  free(reader->look.buf);
  PlatFileClose(reader->file);
  memset(reader, 0, sizeof *reader);
}
