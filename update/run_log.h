// The run's log file beside the updater, for a device whose image has no console: a copy of
// everything the console writes (console.h) while it is open, and the lines of the log alone. A
// log file that cannot be written changes nothing else: it is given up, and the output goes on.
#pragma once

#include "device_types.h"

// A log file over this size at the start of a run keeps only its last kLogKeepBytes (read into
// the heap and written back), from the first run in them on, or the whole last run when it is
// longer: a card used for years never fills up with its logs, and the last run is never cut.
enum { kLogLimitBytes = 512 * 1024, kLogKeepBytes = 128 * 1024 };
// Stage lines and errors reach the log file's medium at once. Item names are handed to the OS as
// they are written, which keeps them when the process is killed, and reach the medium with the
// first flush this long after the last one: a flush to the medium per item name would cost more
// than the unpacking of a small item.
enum { kLogSyncMs = 1000 };
// What opens each run in the log file (after a blank line when earlier runs are there), followed
// by the tick: "[ZELT_UPDATE] New run: Time: 767522".
#define RUN_LOG_RUN_HEAD "[ZELT_UPDATE] New run: Time: "
// What begins the last line of every run that ended, whatever its outcome: a log whose last run
// has no such line was cut short.
#define RUN_LOG_OUTCOME_HEAD "[ZELT_UPDATE] Outcome: "

// A line of the log file alone, put on the medium at once: standard output, which stored logs
// and scripts read byte for byte, never carries it.
void RunLogOnly(const char* text);
// Opens the log file at path for the run, starting it with the run's first line; a file that
// cannot be opened leaves only standard output.
void RunLogOpen(const ZChar* path);
void RunLogClose();
// Whether the log file held runs when it was opened and the last of them has no outcome line.
bool RunLogLastRunUnfinished();

