#include "update_run.h"

#include <string.h>

#include "console_log.h"
#include "device_names.h"
#include "extractor.h"
#include "failure_reason.h"
#include "install_cleaner.h"
#include "outcome_events.h"
#include "package_check.h"
#include "platform.h"
#include "run_lock.h"
#include "update_log.h"

static const ZChar kInstallDir[] = ZT("\\Zeltrovan");
static const ZChar kPackageName[] = ZT("\\Zeltrovan.7z");
static const char kTargetPackage[] = "ZELTROVAN//Zeltrovan.7z";
static const ZChar kTargetPackageWide[] = ZT("ZELTROVAN//Zeltrovan.7z");
static const char kOutDir[] = "ZELTROVAN";
static const ZChar kLogName[] = ZT("\\zelt-update.log");
const ZChar kOutDirWide[] = ZT("ZELTROVAN");

enum { kCopyChunk = 1024 };

// An event that could not be opened cannot be set; the exit code still tells the outcome.
static void Signal(PlatEvent* event) {
  if (event != NULL) PlatEventSet(event);
}

enum BesideResult { BESIDE_OK, BESIDE_NO_PATH, BESIDE_TOO_LONG };

// name (a "\" and a file name) in the running executable's directory, into path (PLAT_MAX_PATH
// units): its directory is everything before the last backslash of the module path.
static BesideResult BesideUpdater(const ZChar* name, ZChar* path) {
  ZChar modulePath[PLAT_MAX_PATH] = {0};
  size_t length = PlatModuleFileName(modulePath, PLAT_MAX_PATH);
  size_t slash = length;
  while (slash > 0 && modulePath[slash - 1] != ZT('\\')) slash--;
  if (slash == 0) return BESIDE_NO_PATH;
  size_t directoryLength = slash - 1;
  size_t nameLength = TextLength(name);
  if (directoryLength + nameLength + 1 > PLAT_MAX_PATH) return BESIDE_TOO_LONG;
  memset(path, 0, PLAT_MAX_PATH * sizeof(ZChar));
  memcpy(path, modulePath, directoryLength * sizeof(ZChar));
  memcpy(path + directoryLength, name, (nameLength + 1) * sizeof(ZChar));
  return BESIDE_OK;
}

// The package beside the running executable, into source (PLAT_MAX_PATH units). Returns false
// when there is no such path.
static bool SourcePackagePath(ZChar* source) {
  BesideResult result = BesideUpdater(kPackageName, source);
  if (result == BESIDE_NO_PATH) {
    ConsoleReason("zelt-update: the executable has no path on the device "
                  "(it must lie below the device root, ZELT_DEVICE_ROOT)\n");
  } else if (result == BESIDE_TOO_LONG) {
    ConsoleReason("zelt-update: the package path is too long for the device\n");
  }
  return result == BESIDE_OK;
}

// The log file beside the updater, on the card that a technician pulls. Never one in the install
// directory: the clean would delete it with the run half way.
static void OpenRunLog() {
  ZChar path[PLAT_MAX_PATH];
  if (BesideUpdater(kLogName, path) == BESIDE_OK && !PathIsInside(path, kInstallDir)) {
    ConsoleLogOpen(path);
  }
}

// The package is named by its file name: the folder is the updater's own.
static void ReportPackageUnopened(int error) {
  ReportPlatformFailure(kPackageName + 1, "cannot open the package", error);
}

// Proves, deleting nothing, that the clean and the copy can finish: a run that stops half way
// leaves the device without its application. Logs why when they cannot.
static bool UpdateCanFinish(const ZChar* source) {
  // The clean would delete the updater and its package, and nothing would be left to copy.
  if (PathIsInside(source, kInstallDir)) {
    LogStage(116, "main:updater inside zeltrovan");
    ReportFailure("the updater lies inside \\Zeltrovan, which the update empties");
    return false;
  }
  // FAT gives every file whole clusters and every folder at least one: a package of small files
  // takes many times its bytes, so free space, what the clean frees and what the update adds are
  // all counted in the volume's clusters.
  ZUInt64 freeBytes = 0;
  ZUInt32 clusterBytes = PLAT_ASSUMED_CLUSTER;
  int space = PlatVolumeFreeSpace(kInstallDir, &freeBytes, &clusterBytes);
  ZUInt64 freedClusters = 0;
  int clean = CheckInstallTree(kInstallDir, clusterBytes, &freedClusters);
  if (clean == CLEAN_FILE_IN_USE) {
    LogStage(117, "main:zeltrovan file in use");
    ReportFailure("a file in \\Zeltrovan is in use by another program (the log's \"in use\" lines name it)");
    return false;
  }
  if (clean != CLEAN_READY) {
    LogStage(119, "main:read zeltrovan files fail");
    ReportFailure("\\Zeltrovan cannot be read to the end");
    return false;
  }
  // Without an install directory nothing is deleted; creating the copy there fails on its own.
  if (space == PLAT_ERR_NOT_FOUND) return true;
  // The package copy stays beside the unpacked items until the end.
  ZUInt64 packageClusters = 0;
  ZUInt64 unpackedClusters = 0;
  if (space != PLAT_OK) {
    ReportPlatformFailure(NULL, "cannot learn the free space of \\Zeltrovan's volume", space);
  } else if (MeasurePackage(source, clusterBytes, &packageClusters, &unpackedClusters) != 0) {
    ReportFailure("cannot measure what the package takes");
  } else {
    ZUInt64 available = SaturatingSum(freeBytes / clusterBytes, freedClusters);
    ZUInt64 needed = SaturatingSum(packageClusters, unpackedClusters);
    if (available >= needed) return true;
    ReasonBegin();
    ReasonText("the volume is too small: the update needs ");
    ReasonNumber(needed);
    ReasonText(" clusters of ");
    ReasonNumber(clusterBytes);
    ReasonText(" bytes, ");
    ReasonNumber(available);
    ReasonText(" are free once the clean is done");
    ReasonEnd();
  }
  LogStage(120, "main:check free space fail");
  return false;
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
    ReasonBegin();
    ReasonText("the package copy is incomplete: ");
    ReasonNumber(static_cast<ZUInt64>(copied));
    ReasonText(" of ");
    ReasonNumber(static_cast<ZUInt64>(fileSize));
    ReasonText(closed ? " bytes written (the volume may be full)"
                      : " bytes written, and its close failed (the volume may be full)");
    ReasonEnd();
    return false;
  }
  LogStage(205, "main:copy data success");
  if (ExtractFile(kTargetPackage, kOutDir) != 0) {
    LogStage(217, "main:ExtractFile fail");
    return false;
  }
  LogStage(211, "main:ExtractFile OK");
  PlatDeleteFile(kTargetPackageWide);
  // The success event says that the new install is in place, so it must be on the medium first:
  // a power cut just after the event must not take files away.
  if (PlatFlushVolume(kInstallDir) != PLAT_OK) {
    LogStage(219, "main:flush install fail");
    ReportFailure("the install volume cannot be flushed: the new files may not be on the medium");
    return false;
  }
  return true;
}

static int Update() {
  LogStage(112, "main:|----------------------------|");
  LogStage(113, "main:|--------ZELT UPDATE---------|");
  LogStage(114, "main:|----------------------------|");
  // The run lock and the events are held until the process ends, not released when the run
  // returns: static storage says so (and keeps a leak checker from counting them).
  static PlatLock* runLock = NULL;
  static PlatEvent* successEvent = NULL;
  static PlatEvent* failEvent = NULL;
  // One run at a time on a device: a second one would cross the first one's outcome and delete
  // its package copy. It changes nothing and sets no event, since the outcome is the other run's.
  if (PlatLockTake(kRunLockName, &runLock) != PLAT_OK) {
    LogStage(115, "main:take run lock fail");
    ReportFailure("another update is running on this device");
    return -1;
  }
  PlatEventOpen(kSuccessEventName, &successEvent);
  PlatEventOpen(kFailEventName, &failEvent);

  // The package is proved before anything is deleted: a missing or damaged one must leave the
  // installed application in place.
  ZChar source[PLAT_MAX_PATH];
  PlatFile* fromfile = NULL;
  bool located = SourcePackagePath(source);  // says why when not
  int opened = located ? PlatFileOpenRead(source, &fromfile) : PLAT_ERR_INVALID;
  if (opened != PLAT_OK) {
    LogStage(142, "main:open fromfile fail");
    if (located) ReportPackageUnopened(opened);
    Signal(failEvent);
    return -1;
  }
  PlatFileClose(fromfile);
  if (TestPackage(source, kOutDirWide) != 0) {
    LogStage(118, "main:check package fail");
    Signal(failEvent);
    return -1;
  }
  if (!UpdateCanFinish(source)) {
    Signal(failEvent);
    return -1;
  }

  LogStage(121, "main:begin remove file");
  if (RemoveInstallTree(kInstallDir) != 0) {
    LogStage(127, "main:remove zeltrovan files fail");
    ReportFailure("\\Zeltrovan cannot be emptied (the log's \"delete\" line names what stayed)");
    Signal(failEvent);
    return -1;
  }
  LogStage(131, "main:remove file OK");

  opened = PlatFileOpenRead(source, &fromfile);
  if (opened != PLAT_OK) {
    LogStage(142, "main:open fromfile fail");
    ReportPackageUnopened(opened);
    Signal(failEvent);
    return -1;
  }
  LogStage(146, "main:open fromfile OK");
  PlatFile* tofile = NULL;
  int created = PlatFileCreate(kTargetPackageWide, &tofile);
  if (created != PLAT_OK) {
    LogStage(150, "main:open tofile fail");
    ReportPlatformFailure(kTargetPackageWide, "cannot create the package copy", created);
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

int RunUpdate() {
  OpenRunLog();
  int result = Update();
  ConsoleLogClose();
  return result;
}
