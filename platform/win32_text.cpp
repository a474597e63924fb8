// Text through the Win32 API: device names in the console's code page, and the backend's copies
// of names into fixed buffers.
#include "win32_internal.h"

int PlatUtf16ToConsole(const ZChar* src, int count, char* dst, int dstSize, char defaultChar) {
  // A count of -1 would read to a terminator and a size of 0 would ask for the size needed.
  if (count <= 0 || dstSize <= 0) return 0;
  int size = osWideCharToMultiByte(CP_OEMCP, 0, src, count, dst, dstSize, &defaultChar, NULL);
  // A UTF-8 console code page takes no default character; it shows every unit anyway.
  if (size == 0 && GetLastError() == ERROR_INVALID_PARAMETER) {
    size = osWideCharToMultiByte(CP_OEMCP, 0, src, count, dst, dstSize, NULL, NULL);
  }
  return size;
}

bool CopyText(const ZChar* text, ZChar* buffer, size_t size) {
  for (size_t i = 0; i < size; i++) {
    buffer[i] = text[i];
    if (text[i] == 0) return true;
  }
  if (size > 0) buffer[0] = 0;
  return false;
}
