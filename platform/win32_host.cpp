// Host paths of a Windows PC for the host tools and tests; the updater never calls these, so they
// stay out of it.
#include "win32_internal.h"

// Text in the locale's code page as UTF-16, in size units; false when it does not fit.
static bool Widen(const char* text, ZChar* wide, int size) {
  return MultiByteToWideChar(CP_ACP, 0, text, -1, wide, size) > 0;
}

int PlatSetDeviceRoot(const char* hostDirectory) {
  ZChar folder[PLAT_MAX_PATH];
  if (!Widen(hostDirectory, folder, PLAT_MAX_PATH)) return SetDeviceRootFolder(ZT(""));
  return SetDeviceRootFolder(folder);
}

int PlatHostPathToDevicePath(const char* hostPath, ZChar* devicePath, size_t size) {
  if (size > 0) devicePath[0] = 0;
  ZChar wide[HOST_PATH_MAX];
  ZChar full[HOST_PATH_MAX];
  if (hostPath[0] == 0 || !Widen(hostPath, wide, HOST_PATH_MAX)) return PLAT_ERR_INVALID;
  DWORD length = GetFullPathNameW(wide, HOST_PATH_MAX, full, NULL);
  if (length == 0) return LastError();
  if (length >= HOST_PATH_MAX) return PLAT_ERR_INVALID;
  return ToDevicePath(full, devicePath, size);
}

// A console handle has a console mode; a pipe or a file has none.
bool PlatStandardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}
