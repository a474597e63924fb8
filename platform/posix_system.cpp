// Named events, time and the executable's path on a POSIX host: what the updater itself needs.
// Waiting and child processes, which only the waiting side uses, live in posix_waiting.cpp.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

#include <string>

#include "platform.h"
#include "posix_internal.h"

// ---- Named events ------------------------------------------------------------------------------

int HostObjectName(const char16_t* name, std::string* out) {
  std::string utf8;
  const std::string* root = nullptr;
  size_t length = 0;
  while (name[length] != 0) length++;
  if (length == 0 || !Utf16ToUtf8(name, length, &utf8)) return PLAT_ERR_INVALID;
  int result = DeviceRootPath(&root);
  if (result != PLAT_OK) return result;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : root->empty() ? std::string("/") : *root) {
    hash = (hash ^ c) * 1099511628211ull;
  }
  for (char& c : utf8) c = (c == '/') ? '_' : c;
  char prefix[40];
  snprintf(prefix, sizeof prefix, "zelt-%016llx-", static_cast<unsigned long long>(hash));
  *out = prefix + utf8;
  return out->size() <= NAME_MAX - 5 ? PLAT_OK : PLAT_ERR_INVALID;
}

static int SemaphoreName(const char16_t* name, std::string* out) {
  int result = HostObjectName(name, out);
  out->insert(0, "/");
  return result;
}

int PlatEventOpen(const char16_t* name, PlatEvent** event) {
  std::string semName;
  int result = SemaphoreName(name, &semName);
  if (result != PLAT_OK) return result;
  sem_t* semaphore = osEvent(semName.c_str(), O_CREAT, 0600, 0);
  if (semaphore == SEM_FAILED) return TranslateErrno(errno);
  *event = static_cast<PlatEvent*>(malloc(sizeof(PlatEvent)));
  if (*event == nullptr) {
    sem_close(semaphore);
    return PLAT_ERR_NO_MEMORY;
  }
  (*event)->semaphore = semaphore;
  return PLAT_OK;
}

int PlatEventSet(PlatEvent* event) {
  int value = 0;
  if (osEventValue(event->semaphore, &value) != 0) return TranslateErrno(errno);
  if (value > 0) return PLAT_OK;
  return osSet(event->semaphore) == 0 ? PLAT_OK : TranslateErrno(errno);
}

void PlatEventClose(PlatEvent* event) {
  sem_close(event->semaphore);
  free(event);
}

int PlatEventDelete(const char16_t* name) {
  std::string semName;
  int result = SemaphoreName(name, &semName);
  if (result != PLAT_OK) return result;
  if (osEventDelete(semName.c_str()) != 0 && errno != ENOENT) return TranslateErrno(errno);
  return PLAT_OK;
}

// ---- Time and the executable ---------------------------------------------------------------------

uint32_t PlatTickCount() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

size_t PlatModuleFileName(char16_t* buffer, size_t size) {
  if (size > 0) buffer[0] = 0;
  char exe[PATH_MAX];
  ssize_t n = osModule("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return 0;
  exe[n] = 0;
  if (PlatHostPathToDevicePath(exe, buffer, size) != PLAT_OK) return 0;
  size_t length = 0;
  while (buffer[length] != 0) length++;
  return length;
}
