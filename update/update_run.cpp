#include "update_run.h"

#include <stdlib.h>
#include <string.h>

#include "7zCrc.h"
#include "console.h"
#include "device_rules.h"
#include "extractor.h"
#include "failure_reason.h"
#include "install_cleaner.h"
#include "outcome_events.h"
#include "install_names.h"
#include "kept_clash.h"
#include "package_check.h"
#include "platform.h"
#include "run_log.h"
#include "run_lock.h"
#include "stage_lines.h"
#include "update_log.h"

static const ZChar kLogName[] = ZT("zelt-update.log");

enum { kCopyChunk = 1024 };
// The package is read in pieces of this size for its CRC-32: few system calls, on the heap.
enum { kIdentityChunk = 64 * 1024 };

// An event that could not be opened cannot be set; the exit code still tells the outcome.
static void Signal(PlatEvent* event) {
  if (event != NULL) PlatEventSet(event);
}

enum BesideResult { BESIDE_OK, BESIDE_NO_PATH, BESIDE_TOO_LONG };

// The file name in the running executable's directory, into path (PLAT_MAX_PATH units): its
// directory is everything before the last backslash of the module path.
static BesideResult BesideUpdater(const ZChar* name, ZChar* path) {
  ZChar modulePath[PLAT_MAX_PATH] = {0};
  size_t length = PlatModuleFileName(modulePath, PLAT_MAX_PATH);
  size_t slash = length;
  while (slash > 0 && modulePath[slash - 1] != ZT('\\')) slash--;
  if (slash == 0) return BESIDE_NO_PATH;
  size_t nameLength = TextLength(name);
  if (slash + nameLength + 1 > PLAT_MAX_PATH) return BESIDE_TOO_LONG;
  memset(path, 0, PLAT_MAX_PATH * sizeof(ZChar));
  memcpy(path, modulePath, slash * sizeof(ZChar));
  memcpy(path + slash, name, (nameLength + 1) * sizeof(ZChar));
  return BESIDE_OK;
}

// The package beside the running executable, into source (PLAT_MAX_PATH units). Returns false
// when there is no such path.
static bool SourcePackagePath(ZChar* source) {
  BesideResult result = BesideUpdater(kPackageCopyName, source);
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
    RunLogOpen(path);
  }
}

// The package is named by its file name: the folder is the updater's own.
static void ReportPackageUnopened(int error) {
  ReportPlatformFailure(kPackageCopyName, "cannot open the package", error);
}

// Logs the line of a failed stage and why it failed; false, for the caller to end the run with.
static bool Stopped(int line, const char* message, const char* reason) {
  LogStage(line, message);
  if (reason != NULL) ReportFailure(reason);
  return false;
}

// Logs the size and CRC-32 of the open package, read to its end; a package that cannot be read
// through is left to the package test, which says why.
static void LogIdentity(PlatFile* package) {
  Byte* chunk = static_cast<Byte*>(malloc(kIdentityChunk));
  if (chunk == NULL) return;
  CrcGenerateTable();
  UInt32 crc = CRC_INIT_VAL;
  ZUInt64 size = 0;
  int result = PLAT_OK;
  for (;;) {
    size_t got = kIdentityChunk;
    result = PlatFileRead(package, chunk, &got);
    if (result != PLAT_OK || got == 0) break;
    crc = CrcUpdate(crc, chunk, got);
    size += got;
  }
  free(chunk);
  if (result == PLAT_OK) LogPackageIdentity(size, CRC_GET_DIGEST(crc));
}

// Opens the package beside the updater, to say plainly when it is not there, and logs which it is.
static bool PackageFound(ZChar* source) {
  PlatFile* fromfile = NULL;
  bool located = SourcePackagePath(source);  // says why when not
  int opened = located ? PlatFileOpenRead(source, &fromfile) : PLAT_ERR_INVALID;
  if (opened != PLAT_OK) {
    LogStage(LINE_OPEN_FROMFILE_FAIL, "main:open fromfile fail");
    if (located) ReportPackageUnopened(opened);
    return false;
  }
  LogIdentity(fromfile);
  PlatFileClose(fromfile);
  return true;
}

// The package test's line, for a package this device cannot take; the reason is said already.
static bool PackageRefused() {
  return Stopped(LINE_CHECK_PACKAGE_FAIL, "main:check package fail", NULL);
}

// Proves the package and measures it on the install volume in the same pass.
static bool PackagePasses(const ZChar* source, PackageSpace* space) {
  return TestPackage(source, kOutDirWide, kPackageCopyName, space) == 0 || PackageRefused();
}

// clusters of clusterBytes in megabytes with one decimal, rounded up: what is to be freed is
// never understated.
static void ReasonMegabytes(ZUInt64 clusters, ZUInt32 clusterBytes) {
  const ZUInt64 most = ~static_cast<ZUInt64>(0);
  ZUInt64 bytes = clusters > most / clusterBytes ? most : clusters * clusterBytes;
  ZUInt64 part = (bytes & 0xFFFFF) * 10;
  ZUInt64 tenths = (bytes >> 20) * 10 + (part >> 20) + ((part & 0xFFFFF) != 0);
  ReasonNumber(tenths / 10);
  ReasonText(".");
  ReasonNumber(tenths % 10);
  ReasonText(" MB");
}

// Proves, deleting nothing, that the clean, the copy and the unpacking can finish: a run that
// stops half way leaves the device without its application. space is the package's measure on
// the install volume, whose free space query gave spaceResult and freeBytes. Logs why when they
// cannot.
static bool UpdateCanFinish(const ZChar* source, int spaceResult, ZUInt64 freeBytes,
                            const PackageSpace& space) {
  // The clean would delete the updater and its package, and nothing would be left to copy.
  if (PathIsInside(source, kInstallDir)) {
    return Stopped(LINE_UPDATER_INSIDE, "main:updater inside zeltrovan",
                   "the updater lies inside \\Zeltrovan, which the update empties");
  }
  ZUInt64 freedClusters = 0;
  KeptEntries kept = {NULL, 0, 0, 0};
  int clean = CheckInstallTree(kInstallDir, space.clusterBytes, &freedClusters, &kept);
  // A file the clean leaves where an item needs a folder, or in a folder where an item is a
  // file, would fail the unpacking after the clean: the package is refused as its test refuses
  // two items that cannot both be made.
  bool itemsFit = clean != CLEAN_READY || ItemsClearKeptEntries(source, &kept);
  FreeKeptEntries(&kept);
  if (clean == CLEAN_FILE_IN_USE) {
    return Stopped(LINE_FILE_IN_USE, "main:zeltrovan file in use",
                   "a file in \\Zeltrovan is in use by another program (the log's \"in use\" lines name it)");
  }
  if (clean != CLEAN_READY) {
    return Stopped(LINE_READ_INSTALL_FAIL, "main:read zeltrovan files fail",
                   "\\Zeltrovan cannot be read to the end");
  }
  if (!itemsFit) return PackageRefused();
  // Without an install directory nothing is deleted; creating the copy there fails on its own.
  if (spaceResult == PLAT_ERR_NOT_FOUND) return true;
  if (spaceResult != PLAT_OK) {
    ReportPlatformFailure(NULL, "cannot learn the free space of \\Zeltrovan's volume", spaceResult);
  } else if (!space.measured) {
    ReportFailure("cannot measure what the package takes");
  } else {
    // The package copy stays beside the unpacked items until the end.
    ZUInt64 available = SaturatingSum(freeBytes / space.clusterBytes, freedClusters);
    ZUInt64 needed = SaturatingSum(space.packageClusters, space.unpackedClusters);
    if (available >= needed) return true;
    ReasonBegin();
    ReasonText("the volume is too small: the update needs ");
    ReasonNumber(needed);
    ReasonText(" clusters of ");
    ReasonNumber(space.clusterBytes);
    ReasonText(" bytes (");
    ReasonMegabytes(needed, space.clusterBytes);
    ReasonText("), ");
    ReasonNumber(available);
    ReasonText(" are free once the clean is done (");
    ReasonMegabytes(available, space.clusterBytes);
    ReasonText("): free ");
    ReasonMegabytes(needed - available, space.clusterBytes);
    ReasonText(" more on the volume; nothing was changed");
    ReasonEnd();
  }
  return Stopped(LINE_FREE_SPACE_FAIL, "main:check free space fail", NULL);
}

static bool InstallEmptied() {
  LogStage(LINE_BEGIN_REMOVE, "main:begin remove file");
  if (RemoveInstallTree(kInstallDir) != 0) {
    return Stopped(LINE_REMOVE_FAIL, "main:remove zeltrovan files fail",
                   "\\Zeltrovan cannot be emptied (the log's \"delete\" line names what stayed)");
  }
  LogStage(LINE_REMOVE_OK, "main:remove file OK");
  return true;
}

// Opens the package and creates its copy in the install directory.
static bool CopyOpened(const ZChar* source, PlatFile** fromfile, PlatFile** tofile) {
  int opened = PlatFileOpenRead(source, fromfile);
  if (opened != PLAT_OK) {
    LogStage(LINE_OPEN_FROMFILE_FAIL, "main:open fromfile fail");
    ReportPackageUnopened(opened);
    return false;
  }
  LogStage(LINE_OPEN_FROMFILE_OK, "main:open fromfile OK");
  int created = PlatFileCreate(kTargetPackageWide, tofile);
  if (created != PLAT_OK) {
    LogStage(LINE_OPEN_TOFILE_FAIL, "main:open tofile fail");
    ReportPlatformFailure(kTargetPackageWide, "cannot create the package copy", created);
    PlatFileClose(*fromfile);
    return false;
  }
  LogStage(LINE_OPEN_TOFILE_OK, "main:open tofile OK");
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
  LogStage(LINE_BEGIN_COPY, "main:begin copy data");
  ZInt64 copied = CopyPackage(fromfile, tofile);
  PlatFileClose(fromfile);
  // Buffered bytes reach the target only at close: a failed close is a failed copy.
  bool closed = PlatFileClose(tofile) == PLAT_OK;
  if (copied != fileSize || !closed) {
    LogStage(LINE_COPY_FAIL, "main:copy data fail");
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
  LogStage(LINE_COPY_OK, "main:copy data success");
  if (ExtractFile(kTargetPackage, kOutDir) != 0) {
    LogStage(LINE_EXTRACT_FAIL, "main:ExtractFile fail");
    return false;
  }
  LogStage(LINE_EXTRACT_OK, "main:ExtractFile OK");
  PlatDeleteFile(kTargetPackageWide);
  // The success event says that the new install is in place, so it must be on the medium first:
  // a power cut just after the event must not take files away.
  if (PlatFlushVolume(kInstallDir) != PLAT_OK) {
    LogStage(LINE_FLUSH_FAIL, "main:flush install fail");
    ReportFailure("the install volume cannot be flushed: the new files may not be on the medium");
    return false;
  }
  return true;
}

// The run up to its outcome, which the caller logs.
static RunOutcome Update() {
  LogStage(LINE_BANNER_TOP, "main:|----------------------------|");
  LogStage(LINE_BANNER_TITLE, "main:|--------ZELT UPDATE---------|");
  LogStage(LINE_BANNER_BOTTOM, "main:|----------------------------|");
  // The run lock and the events are held until the process ends, not released when the run
  // returns: static storage says so (and keeps a leak checker from counting them).
  static PlatLock* runLock = NULL;
  static PlatEvent* successEvent = NULL;
  static PlatEvent* failEvent = NULL;
  // One run at a time on a device: a second one would cross the first one's outcome and delete
  // its package copy. It changes nothing and sets no event, since the outcome is the other run's.
  if (PlatLockTake(kRunLockName, &runLock) != PLAT_OK) {
    Stopped(LINE_RUN_LOCK_FAIL, "main:take run lock fail", "another update is running on this device");
    return OUTCOME_LOCKED;
  }
  // Only the lock's holder can tell: the log of a run still going has no outcome yet either.
  LogUnfinishedRun();
  PlatEventOpen(kSuccessEventName, &successEvent);
  PlatEventOpen(kFailEventName, &failEvent);

  // FAT gives every file whole clusters and every folder at least one: a package of small files
  // takes many times its bytes, so free space, what the clean frees and what the update adds are
  // all counted in the volume's clusters.
  ZUInt64 freeBytes = 0;
  PackageSpace space = {PLAT_ASSUMED_CLUSTER, false, 0, 0};
  // The package is proved before anything is deleted: a missing or damaged one must leave the
  // installed application in place.
  ZChar source[PLAT_MAX_PATH];
  PlatFile* fromfile = NULL;
  PlatFile* tofile = NULL;
  int spaceResult = PlatVolumeFreeSpace(kInstallDir, &freeBytes, &space.clusterBytes);
  if (!PackageFound(source) || !PackagePasses(source, &space) ||
      !UpdateCanFinish(source, spaceResult, freeBytes, space)) {
    Signal(failEvent);
    return OUTCOME_UNCHANGED;
  }
  if (!InstallEmptied() || !CopyOpened(source, &fromfile, &tofile)) {
    Signal(failEvent);
    return OUTCOME_INCOMPLETE;
  }
  bool succeeded = InstallPackage(fromfile, tofile);
  Signal(succeeded ? successEvent : failEvent);
  LogStage(LINE_END, "main:UPDATE END");
  return succeeded ? OUTCOME_INSTALLED : OUTCOME_INCOMPLETE;
}

int RunUpdate() {
  OpenRunLog();
  RunOutcome outcome = Update();
  LogOutcome(outcome);
  RunLogClose();
  return outcome == OUTCOME_INSTALLED ? 0 : -1;
}
