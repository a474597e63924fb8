// The update's log, on the console and in the run's log file (console.h). Every line is
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

// How a run left the device, for the technician who reads the log from the card.
enum RunOutcome {
  OUTCOME_UNCHANGED,   // refused before the clean: the old install is as it was
  OUTCOME_INCOMPLETE,  // failed after the clean began: the install is incomplete
  OUTCOME_INSTALLED,   // the new install is in place
  OUTCOME_LOCKED       // another update is running: this run changed nothing
};
// The run's last line, in the log file only: "[ZELT_UPDATE] Outcome: <outcome and what to do>".
void LogOutcome(RunOutcome outcome);
// In the log file only, before the run's first stage past its lock: that the previous run left
// no outcome (a power cut or a kill), when it did not.
void LogUnfinishedRun();
// In the log file only: the package's size and CRC-32, by which the technician tells which
// package the run installs: "[ZELT_UPDATE] Package: 1234 bytes, CRC-32 0A1B2C3D".
void LogPackageIdentity(ZUInt64 size, ZUInt32 crc);
