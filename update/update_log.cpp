#include "update_log.h"

#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "device_rules.h"
#include "platform.h"
#include "run_log.h"
#include "stage_lines.h"

void LogStage(int line, const char* message) {
  char number[kDecimalSize];
  FormatDecimal(static_cast<ZUInt32>(line), 5, number);
  ConsolePrint("[ZELT_UPDATE] Line: ");
  ConsolePrint(number);
  ConsolePrint(": Time: ");
  // Unsigned: the tick passes 2^31 after 24.8 days of uptime.
  FormatDecimal(PlatTickCount(), 1, number);
  ConsolePrint(number);
  ConsolePrint(" ");
  ConsolePrint(message);
  ConsolePrint("\n");
  ConsoleFlush(true);
}

// Standard output is byte-oriented once a narrow line is out, so the path goes out as bytes of
// the console's code page rather than through wide stdio. No unit takes more than three bytes.
static void LogPathLine(int line, const char* head, const ZChar* path, const char* tail) {
  char* bytes = NULL;
  int size = ConsoleTextOf(path, TextLength(path), &bytes);
  char number[kDecimalSize];
  FormatDecimal(static_cast<ZUInt32>(line), 5, number);
  ConsolePrint("[ZELT_UPDATE] Line: ");
  ConsolePrint(number);
  ConsolePrint(head);
  if (size > 0) ConsoleWrite(bytes, static_cast<size_t>(size));
  ConsolePrint(tail);
  ConsoleFlush(true);
  free(bytes);
}

void LogDeleteFailure(const ZChar* path) {
  LogPathLine(LINE_UNDELETED, ":delete ", path, " FAIL\n");
}

void LogFileInUse(const ZChar* path) {
  LogPathLine(LINE_IN_USE, ":in use ", path, "\n");
}

static const char* const kOutcomeLines[] = {
    RUN_LOG_OUTCOME_HEAD "refused before the clean: nothing was changed, the old install is in place; "
                         "remove the cause above and run the update again\n",
    RUN_LOG_OUTCOME_HEAD "failed after the clean began: the install is incomplete; run the update "
                         "again, with a package that passes, before the device is used\n",
    RUN_LOG_OUTCOME_HEAD "success: the new install is in place\n",
    RUN_LOG_OUTCOME_HEAD "refused, another update is running: this run changed nothing; wait for "
                         "that one's outcome\n",
};

void LogOutcome(RunOutcome outcome) { RunLogOnly(kOutcomeLines[outcome]); }

void LogUnfinishedRun() {
  if (!RunLogLastRunUnfinished()) return;
  RunLogOnly("[ZELT_UPDATE] The previous run was cut short (a power cut or a kill) and left no "
                 "outcome: the install may be incomplete until this run succeeds\n");
}

void LogPackageIdentity(ZUInt64 size, ZUInt32 crc) {
  static const char kHead[] = "[ZELT_UPDATE] Package: ";
  static const char kMiddle[] = " bytes, CRC-32 ";
  // The head, 20 digits, the middle, 8 hex digits, the newline and the terminator.
  char line[sizeof kHead + kDecimalSize + sizeof kMiddle + 10];
  memcpy(line, kHead, sizeof kHead - 1);
  size_t at = sizeof kHead - 1;
  at += FormatDecimal(size, 1, line + at);
  memcpy(line + at, kMiddle, sizeof kMiddle - 1);
  at += sizeof kMiddle - 1;
  for (int i = 0; i < 8; i++) line[at++] = "0123456789ABCDEF"[crc >> (28 - 4 * i) & 15];
  line[at++] = '\n';
  line[at] = 0;
  RunLogOnly(line);
}
