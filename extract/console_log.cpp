#include "console_log.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

void ConsoleWrite(const char* bytes, size_t size) {
  fwrite(bytes, 1, size, stdout);
  LogFileWrite(bytes, size);
}

void ConsolePrint(const char* text) { ConsoleWrite(text, strlen(text)); }

void ConsoleFlush(bool stage) {
  fflush(stdout);
  // Unsigned: the difference holds across the tick's wrap.
  if (stage || PlatTickCount() - lastSync >= kLogSyncMs) {
    SyncLog();
  } else if (logFile != NULL && PlatFilePush(logFile) != PLAT_OK) {
    GiveUpLog();
  }
}

void ConsoleLogOnly(const char* text) {
  LogFileWrite(text, strlen(text));
  SyncLog();
}

bool ConsoleLogLastRunUnfinished() { return lastRunUnfinished; }

void ConsoleReasonWrite(const char* bytes, size_t size) {
  fwrite(bytes, 1, size, stderr);
  LogFileWrite(bytes, size);
}

void ConsoleReason(const char* text) {
  ConsoleReasonWrite(text, strlen(text));
  fflush(stderr);
  SyncLog();
}

size_t FormatDecimal(ZUInt64 value, size_t minDigits, char* out) {
  char reversed[kDecimalSize - 1];
  size_t count = 0;
  do {
    reversed[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  size_t digits = count < minDigits ? minDigits : count;
  for (size_t i = 0; i < digits; i++) out[i] = i < digits - count ? '0' : reversed[digits - 1 - i];
  out[digits] = 0;
  return digits;
}

// Where the kept part of an old log begins: at the first run that starts in it, or else after
// its first line break, so that it never starts in the middle of a line. Returns size when
// there is neither.
static size_t KeptStart(const char* tail, size_t size) {
  const char head[] = "\n" CONSOLE_RUN_HEAD;
  size_t headLength = sizeof head - 1;
  size_t firstLine = size;
  for (size_t i = 0; i < size; i++) {
    if (tail[i] != '\n') continue;
    if (size - i >= headLength && memcmp(tail + i, head, headLength) == 0) return i + 1;
    if (firstLine == size) firstLine = i + 1;
  }
  return firstLine;
}

// Starts the log file of size bytes anew with the runs of its last kLogKeepBytes (none when they
// cannot be read) and leaves it open in logFile; *kept becomes what it holds.
static void KeepTail(const ZChar* path, ZUInt64 size, size_t* kept) {
  char* tail = static_cast<char*>(malloc(kLogKeepBytes));
  size_t got = 0;
  PlatFile* old = NULL;
  if (tail != NULL && PlatFileOpenRead(path, &old) == PLAT_OK) {
    ZInt64 start = static_cast<ZInt64>(size - kLogKeepBytes);
    if (PlatFileSeek(old, &start, PLAT_SEEK_SET) == PLAT_OK) {
      for (;;) {
        size_t n = kLogKeepBytes - got;
        if (n == 0 || PlatFileRead(old, tail + got, &n) != PLAT_OK || n == 0) break;
        got += n;
      }
    }
    PlatFileClose(old);
  }
  size_t begin = got > 0 ? KeptStart(tail, got) : 0;
  *kept = 0;
  PlatFile* file = NULL;
  if (PlatFileCreate(path, &file) == PLAT_OK) {
    logFile = file;
    LogFileWrite(tail + begin, got - begin);
    *kept = got - begin;
  }
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
  const size_t headLength = sizeof CONSOLE_OUTCOME_HEAD - 1;
  return end - begin < headLength || memcmp(tail + begin, CONSOLE_OUTCOME_HEAD, headLength) != 0;
}

void ConsoleLogOpen(const ZChar* path) {
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
  LogFileWrite(CONSOLE_RUN_HEAD, strlen(CONSOLE_RUN_HEAD));
  LogFileWrite(tick, strlen(tick));
  LogFileWrite("\n", 1);
  SyncLog();
}

void ConsoleLogClose() {
  if (logFile != NULL) GiveUpLog();
}
