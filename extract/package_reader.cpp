#include "package_reader.h"

#include <stdlib.h>
#include <string.h>

#include "7zCrc.h"
#include "coders.h"
#include "failure_reason.h"
#include "item_path.h"
#include "package_header.h"

static void* BoundedAlloc(ISzAllocPtr, size_t size) {
  void* block = size == 0 || size > static_cast<size_t>(kLargestAllocation) ? NULL : malloc(size);
  if (block == NULL && size != 0) NoteRefusedAllocation(size);
  return block;
}

// malloc, remembering a refusal for the failure's reason.
static void* Allocate(size_t size) {
  void* block = malloc(size);
  if (block == NULL) NoteRefusedAllocation(size);
  return block;
}
static void HeapFree(ISzAllocPtr, void* address) { free(address); }
const ISzAlloc kPackageAllocator = {BoundedAlloc, HeapFree};

// The library's temporary allocator while it opens a package. It frees the header it read (decoded
// where it was packed) after every other block, so each free here is put off until the next one:
// the block kept at the end is that header, for the walk that reads what the library reads past,
// without reading and decoding it again. Each block begins with its size.
struct HeaderKeeper {
  ISzAlloc vt;
  Byte* kept;      // the block freed last
  CSzData header;  // what it holds, after its size
};

enum { kSizePrefix = 16 };  // the size, in a prefix that keeps malloc's alignment

static void* KeeperAlloc(ISzAllocPtr, size_t size) {
  bool bounded = size != 0 && size <= static_cast<size_t>(kLargestAllocation);
  Byte* block = bounded ? static_cast<Byte*>(malloc(size + kSizePrefix)) : NULL;
  if (block == NULL) {
    if (size != 0) NoteRefusedAllocation(size);
    return NULL;
  }
  memcpy(block, &size, sizeof size);
  return block + kSizePrefix;
}

static void KeeperFree(ISzAllocPtr p, void* address) {
  if (address == NULL) return;
  HeaderKeeper* keeper = reinterpret_cast<HeaderKeeper*>(const_cast<ISzAlloc*>(p));
  free(keeper->kept);
  keeper->kept = static_cast<Byte*>(address) - kSizePrefix;
  keeper->header.Data = keeper->kept + kSizePrefix;
  memcpy(&keeper->header.Size, keeper->kept, sizeof keeper->header.Size);
}

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
  int opened = PlatFileOpenRead(path, &reader->file);
  if (opened != PLAT_OK) {
    ReportPlatformFailure(NULL, "cannot open the package", opened);
    return PACKAGE_UNREADABLE;
  }
  reader->stream.vt.Read = StreamRead;
  reader->stream.vt.Seek = StreamSeek;
  reader->stream.file = reader->file;
  LookToRead2_CreateVTable(&reader->look, False);
  reader->look.realStream = &reader->stream.vt;
  reader->look.buf = static_cast<Byte*>(Allocate(kLookBufferSize));
  reader->look.bufSize = kLookBufferSize;
  LookToRead2_INIT(&reader->look);
  // Large (three coders' states): on the heap, where the device's small stack is not at stake.
  reader->folder = static_cast<FolderStream*>(Allocate(sizeof(FolderStream)));
  CrcGenerateTable();
  SzArEx_Init(&reader->db);
  SRes res = reader->look.buf == NULL || reader->folder == NULL ? SZ_ERROR_MEM : SZ_OK;
  HeaderKeeper keeper = {{KeeperAlloc, KeeperFree}, NULL, {NULL, 0}};
  if (res == SZ_OK) res = SzArEx_Open(&reader->db, &reader->look.vt, &kPackageAllocator, &keeper.vt);
  if (res == SZ_OK) res = ReadAntiItems(&reader->db, &keeper.header, &kPackageAllocator, &reader->antiItems);
  // The library does not say which coder of a packed header it lacks.
  UInt32 lacking = res == SZ_ERROR_UNSUPPORTED ? PackedHeaderLacks(&keeper.header) : kNoCoder;
  free(keeper.kept);
  if (res != SZ_OK) {
    ReportOpenResult(res, lacking);
    ClosePackage(reader);
    return res == SZ_ERROR_UNSUPPORTED ? PACKAGE_UNSUPPORTED : PACKAGE_INVALID;
  }
  return PACKAGE_OPENED;
}

bool IsAntiItem(const PackageReader* reader, UInt32 index) {
  return reader->antiItems != NULL && SzBitArray_Check(reader->antiItems, index);
}

SRes ReadItemName(PackageReader* reader, UInt32 index) {
  size_t length = SzArEx_GetFileNameUtf16(&reader->db, index, NULL);
  if (length > reader->nameCapacity) {
    free(reader->name);
    reader->nameCapacity = length;
    reader->name = static_cast<UInt16*>(Allocate(length * sizeof(UInt16)));
    if (reader->name == NULL) {
      reader->nameCapacity = 0;
      return SZ_ERROR_MEM;
    }
  }
  SzArEx_GetFileNameUtf16(&reader->db, index, reader->name);
  // Names as they reach the device: its file calls count every unit of a path against its
  // limit, and an item named "./x" must meet the same checks as "x".
  DropCurrentFolderComponents(reinterpret_cast<ZChar*>(reader->name));
  return SZ_OK;
}

static void CloseFolder(PackageReader* reader) {
  if (reader->folderOpen) FolderStreamClose(reader->folder);
  reader->folderOpen = false;
}

// A decoder that failed is in no state to go on.
static SRes Failed(PackageReader* reader, SRes res) {
  CloseFolder(reader);
  return res;
}

// Brings the decoder to byte offset of folderIndex, opening the folder where it is not already
// being read up to there.
static SRes SeekFolder(PackageReader* reader, UInt32 folderIndex, ZUInt64 offset) {
  FolderStream* folder = reader->folder;
  if (!reader->folderOpen || folder->folderIndex != folderIndex || folder->position > offset) {
    CloseFolder(reader);
    reader->folderOpen = true;
    RINOK(FolderStreamOpen(folder, &reader->db, folderIndex, reader->file, reader->look.buf, kLookBufferSize,
                           &kPackageAllocator))
  }
  return FolderStreamSkip(folder, offset - folder->position);
}

SRes StartItem(PackageReader* reader, UInt32 index) {
  const CSzArEx* db = &reader->db;
  UInt32 folderIndex = db->FileToFolder[index];
  reader->itemLeft = SzArEx_GetFileSize(db, index);
  reader->aheadSize = 0;
  reader->checkItemCrc = false;
  if (reader->itemLeft == 0) return SZ_OK;
  ZUInt64 offset = db->UnpackPositions[index] - db->UnpackPositions[db->FolderToFile[folderIndex]];
  ZUInt64 folderSize = SzAr_GetFolderUnpackSize(&db->db, folderIndex);
  if (offset > folderSize || reader->itemLeft > folderSize - offset) return SZ_ERROR_FAIL;
  SRes res = SeekFolder(reader, folderIndex, offset);
  if (res != SZ_OK) return Failed(reader, res);
  // A file that makes up its folder alone has the folder's checksum, which the folder checks.
  bool folderChecksIt = reader->folder->checkCrc && reader->itemLeft == folderSize &&
                        db->db.FolderCRCs.Vals[folderIndex] == db->CRCs.Vals[index];
  reader->checkItemCrc = SzBitWithVals_Check(&db->CRCs, index) && !folderChecksIt;
  reader->itemCrc = CRC_INIT_VAL;
  reader->expectedCrc = db->CRCs.Vals[index];
  res = FolderStreamRead(reader->folder, reader->itemLeft, &reader->ahead, &reader->aheadSize);
  if (res == SZ_OK && reader->aheadSize == 0) res = SZ_ERROR_DATA;
  if (res != SZ_OK) return Failed(reader, res);
  if (reader->checkItemCrc && reader->aheadSize == reader->itemLeft) {
    if (CrcCalc(reader->ahead, reader->aheadSize) != reader->expectedCrc) return SZ_ERROR_CRC;
    reader->checkItemCrc = false;
  }
  return SZ_OK;
}

SRes ReadItem(PackageReader* reader, const Byte** data, size_t* size) {
  *data = NULL;
  *size = 0;
  if (reader->aheadSize > 0) {
    *data = reader->ahead;
    *size = reader->aheadSize;
    reader->aheadSize = 0;
  } else if (reader->itemLeft > 0) {
    SRes res = FolderStreamRead(reader->folder, reader->itemLeft, data, size);
    if (res == SZ_OK && *size == 0) res = SZ_ERROR_DATA;
    if (res != SZ_OK) return Failed(reader, res);
  } else {
    bool wrong = reader->checkItemCrc && CRC_GET_DIGEST(reader->itemCrc) != reader->expectedCrc;
    reader->checkItemCrc = false;
    return wrong ? SZ_ERROR_CRC : SZ_OK;
  }
  if (reader->checkItemCrc) reader->itemCrc = CrcUpdate(reader->itemCrc, *data, *size);
  reader->itemLeft -= *size;
  return SZ_OK;
}

SRes SkipItem(PackageReader* reader) {
  for (;;) {
    const Byte* data = NULL;
    size_t size = 0;
    RINOK(ReadItem(reader, &data, &size))
    if (size == 0) return SZ_OK;
  }
}

SRes OpenBlockOnly(PackageReader* reader, UInt32 folderIndex, ISzAllocPtr alloc) {
  CloseFolder(reader);
  SRes res = FolderStreamOpen(reader->folder, &reader->db, folderIndex, reader->file, reader->look.buf,
                              kLookBufferSize, alloc);
  FolderStreamClose(reader->folder);
  return res;
}

void ClosePackage(PackageReader* reader) {
  CloseFolder(reader);
  free(reader->folder);
  SzArEx_Free(&reader->db, &kPackageAllocator);
  ISzAlloc_Free(&kPackageAllocator, reader->antiItems);
  free(reader->name);
  free(reader->look.buf);
  PlatFileClose(reader->file);
  memset(reader, 0, sizeof *reader);
}
