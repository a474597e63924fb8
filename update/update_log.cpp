#include "update_log.h"

#include <cstdio>
#include <string>

#include "platform.h"

void LogStage(int line, const char* message) {
  // Unsigned: the tick passes 2^31 after 24.8 days of uptime.
  printf("[ZELT_UPDATE] Line: %05d: Time: %u %s\n", line, static_cast<unsigned>(PlatTickCount()),
         message);
  fflush(stdout);
}

void LogDeleteFailure(const char16_t* path) {
  // Standard output is byte-oriented once a narrow line is out, so the wide line goes out as
  // bytes of the console's code page rather than through wide stdio.
  std::u16string line = u"[ZELT_UPDATE] Line: 00070:delete ";
  line += path;
  line += u" FAIL\n";
  std::string bytes(line.size() * 3, '\0');
  int size = PlatUtf16ToConsole(line.data(), static_cast<int>(line.size()), &bytes[0],
                                static_cast<int>(bytes.size()), '_');
  fwrite(bytes.data(), 1, static_cast<size_t>(size), stdout);
  fflush(stdout);
}
