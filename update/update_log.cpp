#include "update_log.h"

#include <stdlib.h>

#include "console_log.h"
#include "device_names.h"
#include "platform.h"
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
  size_t units = TextLength(path);
  char* bytes = static_cast<char*>(malloc(units * 3 + 1));
  int size = 0;
  if (bytes != NULL && units > 0) {
    size = PlatUtf16ToConsole(path, static_cast<int>(units), bytes, static_cast<int>(units * 3), '_');
  }
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
