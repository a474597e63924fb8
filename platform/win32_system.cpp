// Named events, time and the executable's path through the Win32 API: what the updater itself
// needs. Waiting and child processes, which only the waiting side uses, live in
// win32_waiting.cpp so that the updater does not import them.
#include <stdlib.h>

#include "device_rules.h"
#include "win32_internal.h"

// ---- Named events ------------------------------------------------------------------------------

int PlatEventOpen(const ZChar* name, PlatEvent** event) {
  ZChar hostName[PLAT_MAX_PATH];
  int result = name[0] != 0 ? HostObjectName(name, hostName) : PLAT_ERR_INVALID;
  if (result != PLAT_OK) return result;
  *event = static_cast<PlatEvent*>(malloc(sizeof(PlatEvent)));
  if (*event == NULL) return PLAT_ERR_NO_MEMORY;
  // Auto-reset, unsignalled; an event that a waiting process created already is attached to.
  (*event)->handle = osCreateEvent(NULL, FALSE, FALSE, hostName);
  if ((*event)->handle == NULL) {
    result = LastError();
    free(*event);
    return result;
  }
  return PLAT_OK;
}

// The device's headers make SetEvent the EventModify call that sets the event.
int PlatEventSet(PlatEvent* event) { return osSetEvent(event->handle) ? PLAT_OK : LastError(); }

void PlatEventClose(PlatEvent* event) {
  CloseHandle(event->handle);
  free(event);
}

// An event vanishes with its last handle; there is no name to forget.
int PlatEventDelete(const ZChar*) { return PLAT_OK; }

// ---- Time and the executable ------------------------------------------------------------

ZUInt32 PlatTickCount() { return GetTickCount(); }

size_t PlatModuleFileName(ZChar* buffer, size_t size) {
  if (size > 0) buffer[0] = 0;
  ZChar host[HOST_PATH_MAX];
  // A path that fills the buffer may have been cut short, and is then not terminated.
  DWORD length = osGetModuleFileName(NULL, host, HOST_PATH_MAX);
  if (length == 0 || length >= HOST_PATH_MAX) return 0;
  host[length] = 0;
  return ToDevicePath(host, buffer, size) == PLAT_OK ? TextLength(buffer) : 0;
}
