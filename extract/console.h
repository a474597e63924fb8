// Everything the updater and the extractor print goes through here: standard output and standard
// error as always, and, while the updater's run keeps its log file (update/run_log.h), a copy of
// the same bytes there.
#pragma once

#include "device_types.h"

// Writes to standard output, and to the copy when there is one; ConsoleFlush hands on what was
// written.
void ConsoleWrite(const char* bytes, size_t size);
void ConsolePrint(const char* text);
// The first units of text in the console's code page, '_' for what it cannot show, in a buffer of
// the heap that *bytes gets and the caller frees (NULL when none could be had). Returns the bytes
// made, below the buffer's size: 0 for none, or no memory.
int ConsoleTextOf(const ZChar* text, size_t units, char** bytes);
// Flushes standard output, so that a log read through a pipe is complete as the run goes, and
// hands the copy on: to the medium now when toMedium is true (a stage line or an error).
void ConsoleFlush(bool toMedium);
// Part of a line of why the run fails, on standard error and in the copy; ConsoleReason writes
// the line's last part, its newline included, and puts the copy on the medium.
void ConsoleReasonWrite(const char* bytes, size_t size);
void ConsoleReason(const char* text);

// Where the console's bytes also go while the run keeps its log file (update/run_log.h): each
// write, and the hand-on of what was written, to the medium at once when toMedium. NULL: nowhere.
struct ConsoleCopy {
  void (*write)(const char* bytes, size_t size);
  void (*handOn)(bool toMedium);
};
void ConsoleSetCopy(const ConsoleCopy* copy);

// Room for any value FormatDecimal writes, its terminator included.
enum { kDecimalSize = 21 };
// value in decimal, with leading zeros up to minDigits (at most 20), terminated, into out
// (kDecimalSize bytes). Returns the number of digits.
size_t FormatDecimal(ZUInt64 value, size_t minDigits, char* out);
