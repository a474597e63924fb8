// The update's log, on the console and in the run's log file (console_log.h). Every line is
// flushed as it is written, so a log read through a pipe or a file is complete up to the last
// stage the run reached, even after a crash.
#pragma once

#include "device_types.h"

// "[ZELT_UPDATE] Line: <line, five digits>: Time: <tick> <message>", the tick read just before.
void LogStage(int line, const char* message);
// The cleaner's line for a file it could not delete, written in the console's code page:
// "[ZELT_UPDATE] Line: 00070:delete <path> FAIL".
void LogDeleteFailure(const ZChar* path);
// The line for a file that the clean would have to delete but another handle holds:
// "[ZELT_UPDATE] Line: 00072:in use <path>".
void LogFileInUse(const ZChar* path);
