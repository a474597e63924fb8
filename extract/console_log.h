// Everything the updater and the extractor print goes through here: standard output as always,
// and, while the updater's run has one open, the same bytes in a log file beside the updater, for
// a device whose image has no console. A log file that cannot be written changes nothing else:
// it is given up, and the output goes on.
#pragma once

#include "device_types.h"

// A log file over this size at the start of a run keeps only its last kLogKeepBytes (read into
// the heap and written back), from the first run in them on, or the whole last run when it is
// longer: a card used for years never fills up with its logs, and the last run is never cut.
enum { kLogLimitBytes = 512 * 1024, kLogKeepBytes = 128 * 1024 };
// Stage lines and errors reach the log file's medium at once, item names with the first flush
// this long after the last one.
enum { kLogSyncMs = 1000 };
// What opens each run in the log file (after a blank line when earlier runs are there), followed
// by the tick: "[ZELT_UPDATE] New run: Time: 767522".
#define CONSOLE_RUN_HEAD "[ZELT_UPDATE] New run: Time: "
// What begins the last line of every run that ended, whatever its outcome: a log whose last run
// has no such line was cut short.
#define CONSOLE_OUTCOME_HEAD "[ZELT_UPDATE] Outcome: "

// Writes to standard output, and to the log file when one is open; ConsoleFlush hands on what was
// written.
void ConsoleWrite(const char* bytes, size_t size);
void ConsolePrint(const char* text);
// The first units of text in the console's code page, '_' for what it cannot show, in a buffer of
// the heap that *bytes gets and the caller frees (NULL when none could be had). Returns the bytes
// made, below the buffer's size: 0 for none, or no memory.
int ConsoleTextOf(const ZChar* text, size_t units, char** bytes);
// Flushes standard output, so that a log read through a pipe is complete as the run goes. The
// log file's copy is handed to the OS at once, which keeps it when the process is killed, and
// reaches the medium now when toMedium is true (a stage line or an error), and otherwise with the
// first call kLogSyncMs after the last time it did: a flush to the medium per item name would
// cost more than the unpacking of a small item.
void ConsoleFlush(bool toMedium);
// A line of the log file alone, put on the medium at once: standard output, which stored logs
// and scripts read byte for byte, never carries it.
void ConsoleLogOnly(const char* text);
// Part of a line of why the run fails, on standard error and in the log file; ConsoleReason
// writes the line's last part, its newline included, and puts the log file's copy on the medium.
void ConsoleReasonWrite(const char* bytes, size_t size);
void ConsoleReason(const char* text);

// Opens the log file at path for the run, starting it with the run's first line; a file that
// cannot be opened leaves only standard output.
void ConsoleLogOpen(const ZChar* path);
void ConsoleLogClose();
// Whether the log file held runs when it was opened and the last of them has no outcome line.
bool ConsoleLogLastRunUnfinished();

// Room for any value FormatDecimal writes, its terminator included.
enum { kDecimalSize = 21 };
// value in decimal, with leading zeros up to minDigits (at most 20), terminated, into out
// (kDecimalSize bytes). Returns the number of digits.
size_t FormatDecimal(ZUInt64 value, size_t minDigits, char* out);
