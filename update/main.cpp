// The updater: empties \Zeltrovan, copies Zeltrovan.7z from its own directory into it, unpacks
// it there and tells the waiting process the outcome through one of two named events.
#include <cstdio>
#include <string>

#include "extractor.h"
#include "install_cleaner.h"
#include "outcome_events.h"
#include "package_check.h"
#include "platform.h"
#include "update_log.h"

static const char16_t kInstallDir[] = u"\\Zeltrovan";
static const char16_t kPackageName[] = u"\\Zeltrovan.7z";
static const char kTargetPackage[] = "ZELTROVAN//Zeltrovan.7z";
static const char16_t kTargetPackageWide[] = u"ZELTROVAN//Zeltrovan.7z";
static const char kOutDir[] = "ZELTROVAN";
static const char16_t kOutDirWide[] = u"ZELTROVAN";

enum { kCopyChunk = 1024 };

// An event that could not be opened cannot be set; the exit code still tells the outcome.
static void Signal(PlatEvent* event) {
  if (event != nullptr) PlatEventSet(event);
}

// The package beside the running executable: its directory is everything before the last
// backslash of the module path. Returns false when there is no such path.
static bool SourcePackagePath(std::u16string* source) {
  char16_t modulePath[PLAT_MAX_PATH] = {0};
  size_t length = PlatModuleFileName(modulePath, PLAT_MAX_PATH);
  std::u16string_view module(modulePath, length);
  size_t slash = module.rfind(u'\\');
  if (length == 0 || slash == std::u16string_view::npos) {
    fprintf(stderr, "zelt-update: the executable has no path on the device "
                    "(it must lie below the device root, ZELT_DEVICE_ROOT)\n");
    return false;
  }
  *source = std::u16string(module.substr(0, slash)) + kPackageName;
  if (source->size() + 1 > PLAT_MAX_PATH) {
    fprintf(stderr, "zelt-update: the package path is too long for the device\n");
    return false;
  }
  return true;
}

// Copies in 1024-byte chunks. A chunk the target takes none of is abandoned, so the size check
// afterwards fails.
static ZInt64 CopyPackage(PlatFile* fromfile, PlatFile* tofile) {
  ZInt64 copied = 0;
  char buffer[kCopyChunk];
  for (;;) {
    size_t got = sizeof buffer;
    if (PlatFileRead(fromfile, buffer, &got) != PLAT_OK || got == 0) break;
    size_t offset = 0;
    while (offset < got) {
      size_t written = 0;
      PlatFileWrite(tofile, buffer + offset, got - offset, &written);
      if (written == 0) break;
      copied += static_cast<ZInt64>(written);
      offset += written;
    }
  }
  return copied;
}

static ZInt64 MeasureFile(PlatFile* file) {
  ZInt64 end = 0;
  ZInt64 start = 0;
  if (PlatFileSeek(file, &end, PLAT_SEEK_END) != PLAT_OK) return -1;
  if (PlatFileSeek(file, &start, PLAT_SEEK_SET) != PLAT_OK) return -1;
  return end;
}

// Copies, extracts and deletes the copy; returns whether the update succeeded.
static bool InstallPackage(PlatFile* fromfile, PlatFile* tofile) {
  ZInt64 fileSize = MeasureFile(fromfile);
  LogStage(160, "main:begin copy data");
  ZInt64 copied = CopyPackage(fromfile, tofile);
  PlatFileClose(fromfile);
  // Buffered bytes reach the target only at close: a failed close is a failed copy.
  bool closed = PlatFileClose(tofile) == PLAT_OK;
  if (copied != fileSize || !closed) {
    LogStage(223, "main:copy data fail");
    return false;
  }
  LogStage(205, "main:copy data success");
  if (ExtractFile(kTargetPackage, kOutDir) != 0) {
    LogStage(217, "main:ExtractFile fail");
    return false;
  }
  LogStage(211, "main:ExtractFile OK");
  PlatDeleteFile(kTargetPackageWide);
  return true;
}

int main() {
  LogStage(112, "main:|----------------------------|");
  LogStage(113, "main:|--------ZELT UPDATE---------|");
  LogStage(114, "main:|----------------------------|");
  // Held until the process ends, not released when main returns: static storage says so (and
  // keeps a leak checker from counting them).
  static PlatEvent* successEvent = nullptr;
  static PlatEvent* failEvent = nullptr;
  PlatEventOpen(kSuccessEventName, &successEvent);
  PlatEventOpen(kFailEventName, &failEvent);

  // The package is proved before anything is deleted: a missing or damaged one must leave the
  // installed application in place.
  std::u16string source;
  PlatFile* fromfile = nullptr;
  if (!SourcePackagePath(&source) || PlatFileOpenRead(source.c_str(), &fromfile) != PLAT_OK) {
    LogStage(142, "main:open fromfile fail");
    Signal(failEvent);
    return -1;
  }
  PlatFileClose(fromfile);
  if (TestPackage(source.c_str(), kOutDirWide) != 0) {
    LogStage(118, "main:check package fail");
    Signal(failEvent);
    return -1;
  }

  LogStage(121, "main:begin remove file");
  if (RemoveInstallTree(kInstallDir) != 0) {
    LogStage(127, "main:remove zeltrovan files fail");
    Signal(failEvent);
    return -1;
  }
  LogStage(131, "main:remove file OK");

  if (PlatFileOpenRead(source.c_str(), &fromfile) != PLAT_OK) {
    LogStage(142, "main:open fromfile fail");
    Signal(failEvent);
    return -1;
  }
  LogStage(146, "main:open fromfile OK");
  PlatFile* tofile = nullptr;
  if (PlatFileCreate(kTargetPackageWide, &tofile) != PLAT_OK) {
    LogStage(150, "main:open tofile fail");
    PlatFileClose(fromfile);
    Signal(failEvent);
    return -1;
  }
  LogStage(154, "main:open tofile OK");

  bool succeeded = InstallPackage(fromfile, tofile);
  Signal(succeeded ? successEvent : failEvent);
  LogStage(226, "main:UPDATE END");
  return succeeded ? 0 : -1;
}
