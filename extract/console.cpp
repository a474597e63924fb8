#include "console.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"

static const ConsoleCopy* copy = NULL;

void ConsoleSetCopy(const ConsoleCopy* to) { copy = to; }

void ConsoleWrite(const char* bytes, size_t size) {
  fwrite(bytes, 1, size, stdout);
  if (copy != NULL && size > 0) copy->write(bytes, size);
}

int ConsoleTextOf(const ZChar* text, size_t units, char** bytes) {
  // No unit takes more than three bytes of the code pages the device and the hosts print in.
  size_t size = units * 3 + 1;
  *bytes = static_cast<char*>(malloc(size));
  if (*bytes == NULL || units == 0) return 0;
  int made = PlatUtf16ToConsole(text, static_cast<int>(units), *bytes, static_cast<int>(size), '_');
  return made > 0 ? made : 0;
}

void ConsolePrint(const char* text) { ConsoleWrite(text, strlen(text)); }

void ConsoleFlush(bool toMedium) {
  fflush(stdout);
  if (copy != NULL) copy->handOn(toMedium);
}

void ConsoleReasonWrite(const char* bytes, size_t size) {
  fwrite(bytes, 1, size, stderr);
  if (copy != NULL && size > 0) copy->write(bytes, size);
}

void ConsoleReason(const char* text) {
  ConsoleReasonWrite(text, strlen(text));
  fflush(stderr);
  if (copy != NULL) copy->handOn(true);
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
