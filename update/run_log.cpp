#include "run_log.h"

#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "platform.h"

static PlatFile* logFile = NULL;
static ZUInt32 lastSync = 0;
static bool lastRunUnfinished = false;

// A log file that fails (a full or read-only card) is given up for the rest of the run.
static void GiveUpLog() {
  PlatFileClose(logFile);
  logFile = NULL;
}

static void LogFileWrite(const char* bytes, size_t size) {
  if (logFile == NULL || size == 0) return;
  size_t written = 0;
  if (PlatFileWrite(logFile, bytes, size, &written) != PLAT_OK || written != size) GiveUpLog();
}

static void SyncLog() {
  if (logFile != NULL && PlatFileFlush(logFile) != PLAT_OK) GiveUpLog();
  lastSync = PlatTickCount();
}

// What the console hands the log: each write at once, the medium now or within kLogSyncMs.
static void HandOn(bool toMedium) {
  // Unsigned: the difference holds across the tick's wrap.
  if (toMedium || PlatTickCount() - lastSync >= kLogSyncMs) {
    SyncLog();
  } else if (logFile != NULL && PlatFilePush(logFile) != PLAT_OK) {
    GiveUpLog();
  }
}
static const ConsoleCopy kCopy = {LogFileWrite, HandOn};

void RunLogOnly(const char* text) {
  LogFileWrite(text, strlen(text));
  SyncLog();
}

bool RunLogLastRunUnfinished() { return lastRunUnfinished; }

static const char kRunHead[] = "\n" RUN_LOG_RUN_HEAD;
static const size_t kRunHeadLength = sizeof kRunHead - 1;

// Where the first run that starts in part of an old log begins, or size when none does.
static size_t FirstRunIn(const char* part, size_t size) {
  for (size_t i = 0; i + kRunHeadLength <= size; i++) {
    if (part[i] == '\n' && memcmp(part + i, kRunHead, kRunHeadLength) == 0) return i + 1;
  }
  return size;
}

// Reads up to size bytes of the file from offset into buffer; returns how many it read.
static size_t ReadAt(PlatFile* file, ZUInt64 offset, char* buffer, size_t size) {
  ZInt64 position = static_cast<ZInt64>(offset);
  size_t got = 0;
  if (PlatFileSeek(file, &position, PLAT_SEEK_SET) != PLAT_OK) return 0;
  for (;;) {
    size_t n = size - got;
    if (n == 0 || PlatFileRead(file, buffer + got, &n) != PLAT_OK || n == 0) break;
    got += n;
  }
  return got;
}

// Where the last run that starts before end begins (0 for the file's first run, which has no
// line break before it), searched backward a piece of kLogKeepBytes at a time through piece;
// none when there is no such run.
static bool LastRunBefore(PlatFile* file, ZUInt64 end, char* piece, ZUInt64* start) {
  const ZUInt64 step = kLogKeepBytes - kRunHeadLength;
  for (ZUInt64 to = end; to > 0;) {
    ZUInt64 from = to > step ? to - step : 0;
    // A head that begins in this piece may end after it.
    size_t got = ReadAt(file, from, piece, static_cast<size_t>(to - from) + kRunHeadLength - 1);
    for (size_t i = got; i-- > 0;) {
      if (got - i >= kRunHeadLength && memcmp(piece + i, kRunHead, kRunHeadLength) == 0) {
        *start = from + i + 1;
        return true;
      }
    }
    if (got == 0) return false;
    to = from;
  }
  *start = 0;
  return ReadAt(file, 0, piece, kRunHeadLength - 1) == kRunHeadLength - 1 &&
         memcmp(piece, kRunHead + 1, kRunHeadLength - 1) == 0;
}

// Starts the log file of size bytes anew with the runs that start in its last kLogKeepBytes,
// or, when the last run alone is longer, with that whole run; with the part of the last
// kLogKeepBytes after its first line break when that run cannot be found or held (and with
// nothing when they cannot be read). Leaves it open in logFile; *kept becomes what it holds.
static void KeepTail(const ZChar* path, ZUInt64 size, size_t* kept) {
  char* tail = static_cast<char*>(malloc(kLogKeepBytes));
  char* whole = NULL;
  const char* part = tail;
  size_t partSize = 0;
  PlatFile* old = NULL;
  if (tail != NULL && PlatFileOpenRead(path, &old) == PLAT_OK) {
    partSize = ReadAt(old, size - kLogKeepBytes, tail, kLogKeepBytes);
    size_t begin = FirstRunIn(tail, partSize);
    ZUInt64 start = 0;
    if (begin < partSize) {
      part += begin;
      partSize -= begin;
    } else if (LastRunBefore(old, size - kLogKeepBytes, tail, &start) && size - start <= ~static_cast<size_t>(0) &&
               (whole = static_cast<char*>(malloc(static_cast<size_t>(size - start)))) != NULL &&
               ReadAt(old, start, whole, static_cast<size_t>(size - start)) == size - start) {
      part = whole;
      partSize = static_cast<size_t>(size - start);
    } else {
      partSize = ReadAt(old, size - kLogKeepBytes, tail, kLogKeepBytes);
      size_t skipped = 0;
      while (skipped < partSize && tail[skipped] != '\n') skipped++;
      if (skipped < partSize) skipped++;
      part += skipped;
      partSize -= skipped;
    }
    PlatFileClose(old);
  }
  *kept = 0;
  PlatFile* file = NULL;
  if (PlatFileCreate(path, &file) == PLAT_OK) {
    logFile = file;
    LogFileWrite(part, partSize);
    *kept = partSize;
  }
  free(whole);
  free(tail);
}

// Whether the log file at path holds runs and its last line does not begin with the outcome
// head. A file that is not there or cannot be read is no unfinished run: nothing is known of it.
// Read before the run's own handle opens it, which keeps others from reading it on the device.
static bool LastRunUnfinished(const ZChar* path) {
  char tail[256];
  size_t got = 0;
  PlatFile* old = NULL;
  ZUInt64 size = 0;
  if (PlatFileOpenRead(path, &old) != PLAT_OK) return false;
  ZInt64 start = 0;
  if (PlatFileSize(old, &size) == PLAT_OK && size > sizeof tail)
    start = static_cast<ZInt64>(size - sizeof tail);
  if (PlatFileSeek(old, &start, PLAT_SEEK_SET) == PLAT_OK) {
    for (;;) {
      size_t n = sizeof tail - got;
      if (n == 0 || PlatFileRead(old, tail + got, &n) != PLAT_OK || n == 0) break;
      got += n;
    }
  }
  PlatFileClose(old);
  if (got == 0) return false;
  size_t end = tail[got - 1] == '\n' ? got - 1 : got;
  size_t begin = end;
  while (begin > 0 && tail[begin - 1] != '\n') begin--;
  const size_t headLength = sizeof RUN_LOG_OUTCOME_HEAD - 1;
  return end - begin < headLength || memcmp(tail + begin, RUN_LOG_OUTCOME_HEAD, headLength) != 0;
}

void RunLogOpen(const ZChar* path) {
  ZUInt64 size = 0;
  PlatFile* file = NULL;
  lastRunUnfinished = LastRunUnfinished(path);
  if (PlatFileOpenAppend(path, &file) != PLAT_OK) return;
  logFile = file;
  if (PlatFileSize(logFile, &size) != PLAT_OK) {
    GiveUpLog();
    return;
  }
  if (size > kLogLimitBytes) {
    GiveUpLog();
    size_t kept = 0;
    KeepTail(path, size, &kept);
    size = kept;
  }
  char tick[kDecimalSize];
  FormatDecimal(PlatTickCount(), 1, tick);
  if (size > 0) LogFileWrite("\n", 1);
  LogFileWrite(RUN_LOG_RUN_HEAD, strlen(RUN_LOG_RUN_HEAD));
  LogFileWrite(tick, strlen(tick));
  LogFileWrite("\n", 1);
  SyncLog();
  ConsoleSetCopy(&kCopy);
}

void RunLogClose() {
  ConsoleSetCopy(NULL);
  if (logFile != NULL) GiveUpLog();
}
