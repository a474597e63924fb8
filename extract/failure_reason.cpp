#include "failure_reason.h"

#include <stdlib.h>
#include <string.h>

#include "coders.h"
#include "console.h"
#include "device_rules.h"
#include "item_path.h"
#include "package_space.h"

// The size of the last allocation refused; 0 when none was.
static size_t refusedAllocation = 0;

const char kFileTooLargeCause[] =
    "4 GiB or more: a file of the device's FAT volume holds at most 4 GiB - 1 bytes";
const char kPackageTooLargeCause[] =
    "the package is 4 GiB or more: its copy, a file of the device's FAT volume, can hold at most 4 GiB - "
    "1 bytes; make the package smaller";
const char kKeptFileOnTheWayCause[] =
    "needs a folder where the device has a file that the update leaves in place (case ignored, as on "
    "the device)";
const char kFolderOverKeptFileCause[] =
    "a folder where the device has a file that the update leaves in place (case ignored, as on the "
    "device)";
const char kFileOverKeptFolderCause[] =
    "a file where the device has a folder that the update leaves in place, for a file in it (case "
    "ignored, as on the device)";

// A cause that a library result, a fixed text or a place the item tree refuses stands for.
enum { kByText = -1, kByTree = -100 };
// The key of a tree result (package_space.h) among the causes, below every library result.
static SRes TreeKey(int result) { return static_cast<SRes>(kByTree - result); }
struct Cause {
  SRes res;  // the result that means it, or kByText for a cause reported by its text
  const char* code;
  const char* text;
};

// Every cause a package is refused for, with the code it is known by to the pipelines that read
// zelt-check's findings: a code keeps its meaning for good, a text may improve.
static const Cause kCauses[] = {
    {SZ_ERROR_DATA, "data-error", "data error (the package is damaged)"},
    {SZ_ERROR_CRC, "checksum-mismatch", "checksum mismatch (the package is damaged)"},
    {SZ_ERROR_INPUT_EOF, "truncated",
     "the package is truncated (it ends too early; the first volume of a split package ends so too: "
     "pack it as one file, without -v)"},
    {SZ_ERROR_READ, "read-error", "the package cannot be read"},
    {SZ_ERROR_ARCHIVE, "header-damaged", "the package header is damaged"},
    {SZ_ERROR_NO_ARCHIVE, "not-7z",
     "not a 7z package (no 7z header; for a self-extracting .exe, ship the plain .7z, packed without -sfx)"},
    {SZ_ERROR_FAIL, "sizes-inconsistent", "the package's sizes do not fit together (it is damaged)"},
    {SZ_ERROR_MEM, "not-enough-memory", "not enough memory"},
    {SZ_ERROR_UNSUPPORTED, "coder-unsupported", "unsupported coder"},
    {kByText, "coder-layout-unsupported", "unsupported coder layout or properties:"},
    {kByText, "encrypted", " (encrypted; the device has no password: pack without -p)"},
    {kByText, "encrypted-header",
     "encrypted header (7zAES): the package needs a password, which the device does not have: pack "
     "without -p"},
    {kByText, "header-coder-unsupported",
     "the package header is coded with an unsupported coder or a newer 7z version"},
    {kByText, "cannot-open", "cannot open the package"},
    {kByText, "name-empty", "the name is empty"},
    {kByText, "path-unsafe", "unsafe item path, item skipped"},
    {kByText, "path-too-long", "item path too long, item skipped"},
    {kByText, "name-package-copy", "named as the package's own copy, which the update unpacks from"},
    {kByText, "name-backslash", "a \\ inside the name (a folder or a character?), item skipped"},
    {kByText, "name-forbidden-char",
     "a name the device cannot hold (one of : * ? \" < > | or a control character), item skipped"},
    {kByText, "name-trailing-dot-space",
     "a name ending in a dot or a space (Windows drops them from a file's name), item skipped"},
    {kByText, "name-too-long", "a name over 255 units, item skipped"},
    {kByText, "item-too-large", kFileTooLargeCause},
    {kByText, "package-too-large", kPackageTooLargeCause},
    {kByText, "kept-entry-clash", kKeptFileOnTheWayCause},
    {kByText, "kept-entry-clash", kFolderOverKeptFileCause},
    {kByText, "kept-entry-clash", kFileOverKeptFolderCause},
    {kByTree - TREE_SAME_FILE, "name-duplicate",
     "a file of the same name (case ignored, as on the device) comes earlier: the device keeps one "
     "file, under the earlier name, with this item's bytes"},
    {kByTree - TREE_FILE_ON_THE_WAY, "tree-file-folder-clash",
     "needs a folder where an earlier item is a file (case ignored, as on the device)"},
    {kByTree - TREE_FOLDER_OVER_FILE, "tree-file-folder-clash",
     "a folder where an earlier item is a file (case ignored, as on the device)"},
    {kByTree - TREE_FILE_OVER_FOLDER, "tree-file-folder-clash",
     "a file where an earlier item is a folder (case ignored, as on the device)"},
    {kByTree - TREE_OVER_READ_ONLY, "name-duplicate-read-only",
     "a file of the same name comes earlier and is read-only: the device keeps that one"},
    {kByTree - TREE_FOLDER_FULL, "folder-too-many-entries",
     "its folder would hold more than the 65,536 entries of a FAT folder"},
    {kByTree - TREE_NO_MEMORY, "not-enough-memory", "not enough memory for the tree of the item list"},
};
// What fixes a coder the device lacks, or a layout it does not take.
static const char kRepackHint[] = ": repack with -m0=LZMA2";
// What a reason of no listed cause is known by.
static const char kOtherCode[] = "failed";

static const Cause* CauseOfResult(SRes res) {
  for (size_t i = 0; i < sizeof kCauses / sizeof kCauses[0]; i++) {
    if (kCauses[i].res == res) return &kCauses[i];
  }
  return NULL;
}

const char* ReasonCode(const char* text) {
  for (size_t i = 0; i < sizeof kCauses / sizeof kCauses[0]; i++) {
    if (kCauses[i].res <= kByText && strcmp(kCauses[i].text, text) == 0) return kCauses[i].code;
  }
  return kOtherCode;
}

// The reason being written: while a sink takes the reasons, its code, item and text are kept
// until its end (the text cut short at the buffer's end).
static ReasonSink reasonSink = NULL;
static void* reasonContext = NULL;
static const char* reasonCode = kOtherCode;
static const ZChar* reasonItem = NULL;
static char reasonText[512];
static size_t reasonLength = 0;

void SetReasonSink(ReasonSink sink, void* context) {
  reasonSink = sink;
  reasonContext = context;
}

static void ReasonWrite(const char* bytes, size_t size) {
  if (reasonSink == NULL) {
    ConsoleReasonWrite(bytes, size);
    return;
  }
  size_t room = sizeof reasonText - 1 - reasonLength;
  if (size > room) size = room;
  memcpy(reasonText + reasonLength, bytes, size);
  reasonLength += size;
}

void NoteRefusedAllocation(size_t size) { refusedAllocation = size; }

void ReasonText(const char* text) { ReasonWrite(text, strlen(text)); }

void ReasonNumber(ZUInt64 value) {
  char digits[kDecimalSize];
  ReasonWrite(digits, FormatDecimal(value, 1, digits));
}

// code is what the reason begun is known by, until it names its cause more closely.
static void BeginWithCode(const ZChar* item, const char* code) {
  reasonCode = code;
  reasonItem = item;
  reasonLength = 0;
  if (reasonSink == NULL) ReasonText("zelt: ");
}

void ReasonBegin() { BeginWithCode(NULL, kOtherCode); }

void ReasonEnd() {
  if (reasonSink == NULL) {
    ConsoleReason("\n");
    return;
  }
  reasonText[reasonLength] = 0;
  reasonSink(reasonContext, reasonCode, reasonItem, reasonText);
  reasonLength = 0;
}

// An item's name in the console's code page.
static void WriteName(const ZChar* item) {
  char* bytes = NULL;
  int size = ConsoleTextOf(item, TextLength(item), &bytes);
  if (size > 0) ReasonWrite(bytes, static_cast<size_t>(size));
  free(bytes);
}

// "zelt: " and the item's name and ": " when there is one; a sink takes the item apart.
static void WriteHead(const ZChar* item, const char* code) {
  BeginWithCode(item, code);
  if (item == NULL || reasonSink != NULL) return;
  WriteName(item);
  ReasonText(item[0] == 0 ? "(an item with no name): " : ": ");
}

static void WriteTail(const char* text) {
  ReasonText(text);
  ReasonEnd();
}

void ReportFailure(const char* cause) {
  WriteHead(NULL, ReasonCode(cause));
  WriteTail(cause);
}

void ReportItemFailure(const ZChar* item, const char* cause) {
  WriteHead(item, ReasonCode(cause));
  WriteTail(cause);
}

void ReportItemConflict(const CSzArEx* db, const ZChar* item, const char* cause, UInt32 other) {
  if (other == kNoItem) {
    ReportItemFailure(item, cause);
    return;
  }
  WriteHead(item, ReasonCode(cause));
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

void ReportItemAgainstEntry(const ZChar* item, const char* cause, const ZChar* entry, const char* remedy) {
  WriteHead(item, ReasonCode(cause));
  ReasonText(cause);
  ReasonText(": ");
  WriteName(entry);
  ReasonText("; ");
  WriteTail(remedy);
}

const char* TreeCause(int result) {
  const Cause* cause = CauseOfResult(TreeKey(result));
  return cause != NULL ? cause->text : CauseOfResult(TreeKey(TREE_NO_MEMORY))->text;
}

static void WriteMethod(UInt32 id) {
  if (CoderName(id) != NULL) {
    ReasonText(CoderName(id));
    return;
  }
  char hex[9];
  size_t count = 0;
  do {
    hex[sizeof hex - 1 - count++] = "0123456789ABCDEF"[id % 16];
    id /= 16;
  } while (id != 0);
  ReasonText("with id ");
  ReasonWrite(hex + sizeof hex - count, count);
}

static const Cause* CauseOfCode(const char* code) {
  for (size_t i = 0; i < sizeof kCauses / sizeof kCauses[0]; i++) {
    if (strcmp(kCauses[i].code, code) == 0) return &kCauses[i];
  }
  return NULL;
}

void ReportEmptyName(UInt32 index) {
  static const ZChar kNoName[] = {0};
  WriteHead(kNoName, "name-empty");
  ReasonText(CauseOfCode("name-empty")->text);
  ReasonText(" (item ");
  ReasonNumber(index + 1);
  WriteTail(" of the package's list)");
}

// Names the first coder of the folder the decoder lacks, or, when it has them all, the folder's
// coders, whose layout or properties it does not take.
static void WriteUnsupported(const CSzArEx* db, UInt32 folderIndex) {
  CSzFolder folder;
  const Byte* props = NULL;
  bool listed = ReadBlockCoders(db, folderIndex, &folder, &props) == SZ_OK;
  UInt32 lacking = listed ? FirstLackingCoder(&folder) : kNoCoder;
  bool lacks = lacking != kNoCoder;
  if (listed && !lacks) {
    const Cause* layout = CauseOfCode("coder-layout-unsupported");
    reasonCode = layout->code;
    ReasonText(layout->text);
    for (UInt32 i = 0; i < folder.NumCoders; i++) {
      ReasonText(" ");
      WriteMethod(folder.Coders[i].MethodID);
    }
    ReasonText(kRepackHint);
    return;
  }
  ReasonText(CauseOfResult(SZ_ERROR_UNSUPPORTED)->text);
  if (!lacks) return;
  ReasonText(" ");
  WriteMethod(lacking);
  if (lacking == CODER_AES) {
    const Cause* encrypted = CauseOfCode("encrypted");
    reasonCode = encrypted->code;
    ReasonText(encrypted->text);
  } else {
    ReasonText(kRepackHint);
  }
}

void ReportResult(const CSzArEx* db, const ZChar* item, UInt32 index, SRes res) {
  const Cause* cause = CauseOfResult(res);
  WriteHead(item, cause != NULL ? cause->code : kOtherCode);
  if (res == SZ_ERROR_MEM) {
    ReasonText(cause->text);
    if (refusedAllocation != 0) {
      ReasonText(" (");
      ReasonNumber(refusedAllocation);
      ReasonText(" bytes asked): a dictionary or model that large needs a repack, with -md=16m");
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
  if (cause != NULL) {
    WriteTail(cause->text);
  } else {
    ReasonText("decoder error ");
    ReasonNumber(static_cast<ZUInt64>(res));
    WriteTail("");
  }
}

void ReportOpenResult(SRes res, UInt32 headerCoder) {
  if (res != SZ_ERROR_UNSUPPORTED) {
    ReportResult(NULL, NULL, 0, res);
  } else {
    ReportFailure(CauseOfCode(headerCoder == CODER_AES ? "encrypted-header" : "header-coder-unsupported")->text);
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
  WriteHead(item, ReasonCode(what));
  ReasonText(what);
  ReasonText(": ");
  WriteTail(PlatformCause(error));
}
