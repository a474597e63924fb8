#include "failure_reason.h"

#include <stdlib.h>
#include <string.h>

#include "branch_filter.h"
#include "coder_stream.h"
#include "console_log.h"
#include "device_names.h"
#include "item_path.h"
#include "package_space.h"
#include "props_reading.h"

static const UInt32 kBcj2Method = 0x0303011B;
static const UInt32 kAesMethod = 0x06F10701;
// The size of the last allocation refused; 0 when none was.
static size_t refusedAllocation = 0;

struct MethodName {
  UInt32 id;
  const char* name;
};

// The coders packers write, so that a package from any of them is refused by name.
static const MethodName kMethodNames[] = {
    {CODER_COPY, "Copy"},    {CODER_LZMA, "LZMA"},    {CODER_LZMA2, "LZMA2"},   {CODER_PPMD, "PPMd"},
    {0x03030103, "BCJ"},     {0x03030501, "ARM"},     {0x03030701, "ARMT"},     {0x03030205, "PPC"},
    {0x03030401, "IA64"},    {0x03030805, "SPARC"},   {0x0A, "ARM64"},          {0x0B, "RISCV"},
    {0x03, "Delta"},         {kBcj2Method, "BCJ2"},   {0x040108, "Deflate"},    {0x040109, "Deflate64"},
    {0x040202, "BZip2"},     {kAesMethod, "7zAES"},
};

void NoteRefusedAllocation(size_t size) { refusedAllocation = size; }

void ReasonText(const char* text) { ConsoleReasonWrite(text, strlen(text)); }

void ReasonNumber(ZUInt64 value) {
  char digits[kDecimalSize];
  ConsoleReasonWrite(digits, FormatDecimal(value, 1, digits));
}

void ReasonBegin() { ReasonText("zelt: "); }

void ReasonEnd() { ConsoleReason("\n"); }

// An item's name in the console's code page.
static void WriteName(const ZChar* item) {
  size_t units = TextLength(item);
  char* bytes = static_cast<char*>(malloc(units * 3 + 1));
  int size = 0;
  if (bytes != NULL && units > 0) {
    size = PlatUtf16ToConsole(item, static_cast<int>(units), bytes, static_cast<int>(units * 3), '_');
  }
  if (size > 0) ConsoleReasonWrite(bytes, static_cast<size_t>(size));
  free(bytes);
}

// "zelt: " and the item's name and ": " when there is one.
static void WriteHead(const ZChar* item) {
  ReasonBegin();
  if (item == NULL) return;
  WriteName(item);
  ReasonText(item[0] == 0 ? "(an item with no name): " : ": ");
}

static void WriteTail(const char* text) {
  ReasonText(text);
  ReasonEnd();
}

void ReportFailure(const char* cause) {
  WriteHead(NULL);
  WriteTail(cause);
}

void ReportItemFailure(const ZChar* item, const char* cause) {
  WriteHead(item);
  WriteTail(cause);
}

void ReportItemConflict(const CSzArEx* db, const ZChar* item, const char* cause, UInt32 other) {
  if (other == kNoItem) {
    ReportItemFailure(item, cause);
    return;
  }
  WriteHead(item);
  ReasonText(cause);
  size_t units = SzArEx_GetFileNameUtf16(db, other, NULL);
  ZChar* name = static_cast<ZChar*>(malloc(units * sizeof(ZChar)));
  if (name != NULL) {
    SzArEx_GetFileNameUtf16(db, other, reinterpret_cast<UInt16*>(name));
    DropCurrentFolderComponents(name);
    ReasonText(": ");
    WriteName(name);
  }
  free(name);
  ReasonEnd();
}

const char* TreeCause(int result) {
  switch (result) {
    case TREE_SAME_FILE: return "a file of the same name (case ignored, as on the device) comes earlier: "
                                "the device keeps one file, under the earlier name, with this item's bytes";
    case TREE_FILE_ON_THE_WAY: return "needs a folder where an earlier item is a file (case ignored, as on the device)";
    case TREE_FOLDER_OVER_FILE: return "a folder where an earlier item is a file (case ignored, as on the device)";
    case TREE_FILE_OVER_FOLDER: return "a file where an earlier item is a folder (case ignored, as on the device)";
    case TREE_OVER_READ_ONLY: return "a file of the same name comes earlier and is read-only: the device keeps that one";
    case TREE_FOLDER_FULL: return "its folder would hold more than the 65,536 entries of a FAT folder";
    default: return "not enough memory for the tree of the item list";
  }
}

static void WriteMethod(UInt32 id) {
  for (size_t i = 0; i < sizeof kMethodNames / sizeof kMethodNames[0]; i++) {
    if (kMethodNames[i].id == id) {
      ReasonText(kMethodNames[i].name);
      return;
    }
  }
  char hex[9];
  size_t count = 0;
  do {
    hex[sizeof hex - 1 - count++] = "0123456789ABCDEF"[id % 16];
    id /= 16;
  } while (id != 0);
  ReasonText("with id ");
  ConsoleReasonWrite(hex + sizeof hex - count, count);
}

static bool IsDecodedMethod(UInt32 id) {
  return id == CODER_COPY || id == CODER_LZMA || id == CODER_LZMA2 || id == CODER_PPMD ||
         id == kBcj2Method || IsBranchFilter(id);
}

// Names the first coder of the folder the decoder lacks, or, when it has them all, the folder's
// coders, whose layout or properties it does not take.
static void WriteUnsupported(const CSzArEx* db, UInt32 folderIndex) {
  const CSzAr* ar = &db->db;
  CSzData data;
  data.Data = ar->CodersData + ar->FoCodersOffsets[folderIndex];
  data.Size = ar->FoCodersOffsets[folderIndex + 1] - ar->FoCodersOffsets[folderIndex];
  CSzFolder folder;
  if (SzGetNextFolderItem(&folder, &data) != SZ_OK) {
    ReasonText("unsupported coder");
    return;
  }
  for (UInt32 i = 0; i < folder.NumCoders; i++) {
    UInt32 id = folder.Coders[i].MethodID;
    if (IsDecodedMethod(id)) continue;
    ReasonText("unsupported coder ");
    WriteMethod(id);
    if (id == kAesMethod) ReasonText(" (encrypted; the device has no password)");
    return;
  }
  ReasonText("unsupported coder layout or properties:");
  for (UInt32 i = 0; i < folder.NumCoders; i++) {
    ReasonText(" ");
    WriteMethod(folder.Coders[i].MethodID);
  }
}

static const char* ResultCause(SRes res) {
  switch (res) {
    case SZ_ERROR_DATA: return "data error (the package is damaged)";
    case SZ_ERROR_CRC: return "checksum mismatch (the package is damaged)";
    case SZ_ERROR_INPUT_EOF: return "the package is truncated (it ends too early)";
    case SZ_ERROR_READ: return "the package cannot be read";
    case SZ_ERROR_ARCHIVE: return "the package header is damaged";
    case SZ_ERROR_NO_ARCHIVE: return "not a 7z package (no 7z header)";
    case SZ_ERROR_FAIL: return "the package's sizes do not fit together (it is damaged)";
    default: return NULL;
  }
}

void ReportResult(const CSzArEx* db, const ZChar* item, UInt32 index, SRes res) {
  WriteHead(item);
  if (res == SZ_ERROR_MEM) {
    ReasonText("not enough memory");
    if (refusedAllocation != 0) {
      ReasonText(" (");
      ReasonNumber(refusedAllocation);
      ReasonText(" bytes asked)");
    }
    refusedAllocation = 0;
    WriteTail("");
    return;
  }
  if (res == SZ_ERROR_UNSUPPORTED && item != NULL && db->FileToFolder[index] != static_cast<UInt32>(-1)) {
    WriteUnsupported(db, db->FileToFolder[index]);
    WriteTail("");
    return;
  }
  const char* cause = ResultCause(res);
  if (cause != NULL) {
    WriteTail(cause);
  } else {
    ReasonText("decoder error ");
    ReasonNumber(static_cast<ZUInt64>(res));
    WriteTail("");
  }
}

// The start of the package's next header: a header coded with what the decoder lacks begins
// with kEncodedHeader (0x17) and holds the coder's id among its first bytes.
static bool HeaderIsEncrypted(PlatFile* file) {
  Byte start[32];
  size_t size = sizeof start;
  ZInt64 position = 0;
  if (PlatFileSeek(file, &position, PLAT_SEEK_SET) != PLAT_OK ||
      PlatFileRead(file, start, &size) != PLAT_OK || size != sizeof start) {
    return false;
  }
  position = static_cast<ZInt64>(PropsUInt64(start + 12) + sizeof start);
  Byte header[64];
  size = sizeof header;
  if (PlatFileSeek(file, &position, PLAT_SEEK_SET) != PLAT_OK ||
      PlatFileRead(file, header, &size) != PLAT_OK || size == 0 || header[0] != 0x17) {
    return false;
  }
  static const Byte kAesId[] = {0x06, 0xF1, 0x07, 0x01};
  for (size_t i = 0; i + sizeof kAesId <= size; i++) {
    if (memcmp(header + i, kAesId, sizeof kAesId) == 0) return true;
  }
  return false;
}

void ReportOpenResult(PlatFile* file, SRes res) {
  if (res != SZ_ERROR_UNSUPPORTED) {
    ReportResult(NULL, NULL, 0, res);
  } else if (HeaderIsEncrypted(file)) {
    ReportFailure("encrypted header (7zAES): the package needs a password, which the device has not");
  } else {
    ReportFailure("the package header is coded with an unsupported coder or a newer 7z version");
  }
}

static const char* PlatformCause(int error) {
  switch (error) {
    case PLAT_ERR_NOT_FOUND: return "not found";
    case PLAT_ERR_EXISTS: return "already exists";
    case PLAT_ERR_ACCESS: return "access denied (read-only)";
    case PLAT_ERR_IN_USE: return "in use by another program";
    case PLAT_ERR_NOT_EMPTY: return "folder not empty";
    case PLAT_ERR_INVALID: return "a path the device cannot take";
    case PLAT_ERR_NO_MEMORY: return "not enough memory";
    case PLAT_ERR_TIMEOUT: return "timed out";
    default: return "the medium failed (the volume may be full)";
  }
}

void ReportPlatformFailure(const ZChar* item, const char* what, int error) {
  WriteHead(item);
  ReasonText(what);
  ReasonText(": ");
  WriteTail(PlatformCause(error));
}
