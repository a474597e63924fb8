// A program that the tests start through the platform, standing in for the other programs of a
// device, so that no test needs a shell:
//   zelt-test-child exit CODE               writes a line to standard output and one to standard
//                                           error, and exits with CODE
//   zelt-test-child wait RELEASE CODE       exits with CODE once the file RELEASE exists
//   zelt-test-child hold FILE READY RELEASE holds FILE in use, contents kept, creates READY, and
//                                           lets go once RELEASE exists
//   zelt-test-child lock NAME READY RELEASE holds the device's lock NAME as hold holds a file
// Paths are ASCII device paths under ZELT_DEVICE_ROOT, names ASCII. A wait gives up after ten
// seconds, so that a failed test leaves nothing running; the exit code is then 3. Usage errors
// exit with 2.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform.h"
#include "test_support.h"

namespace {

enum { kUsage = 2, kGaveUp = 3, kCannotHold = 4 };

bool ToDevicePath(const char* ascii, ZString* path) {
  for (const char* c = ascii; *c != 0; c++) {
    if (static_cast<unsigned char>(*c) >= 0x80) return false;
  }
  path->assign(ascii, ascii + strlen(ascii));
  return true;
}

bool WaitForFile(const ZString& path) {
  for (int i = 0; i < 1000; i++) {
    ZUInt32 attributes = 0;
    if (PlatGetFileAttributes(path.c_str(), &attributes) == PLAT_OK) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

int ReadWhole(const ZString& path, std::string* contents) {
  PlatFile* file = nullptr;
  int result = PlatFileOpenRead(path.c_str(), &file);
  if (result != PLAT_OK) return result;
  char buffer[4096];
  for (;;) {
    size_t got = sizeof buffer;
    result = PlatFileRead(file, buffer, &got);
    if (result != PLAT_OK || got == 0) break;
    contents->append(buffer, got);
  }
  PlatFileClose(file);
  return result;
}

// Creates ready, then waits for release: 0 once it exists.
int ReadyThenWait(const ZString& ready, const ZString& release) {
  PlatFile* signal = nullptr;
  if (PlatFileCreate(ready.c_str(), &signal) != PLAT_OK || PlatFileClose(signal) != PLAT_OK) {
    fprintf(stderr, "zelt-test-child: cannot create the ready file\n");
    return kCannotHold;
  }
  return WaitForFile(release) ? 0 : kGaveUp;
}

// A handle that creates a file is the one that makes it in use on every backend; creating
// empties the file, so its bytes are written back through the handle.
int Hold(const ZString& file, const ZString& ready, const ZString& release) {
  std::string contents;
  PlatFile* held = nullptr;
  size_t written = 0;
  if (ReadWhole(file, &contents) != PLAT_OK || PlatFileCreate(file.c_str(), &held) != PLAT_OK) {
    fprintf(stderr, "zelt-test-child: cannot take the file\n");
    return kCannotHold;
  }
  if (PlatFileWrite(held, contents.data(), contents.size(), &written) != PLAT_OK ||
      written != contents.size()) {
    fprintf(stderr, "zelt-test-child: cannot write the file back\n");
    PlatFileClose(held);
    return kCannotHold;
  }
  int result = ReadyThenWait(ready, release);
  if (PlatFileClose(held) != PLAT_OK) return kCannotHold;
  return result;
}

// Keeps file in use to the process's very end, which closes it: once the file is free again, the
// process has ended. Makes ready once it holds the file, so that the file is free before only.
int HoldToTheEnd(const ZString& file, const ZString& ready, int code) {
  static PlatFile* held = nullptr;  // reachable to the end, as a handle the exit closes
  PlatFile* signal = nullptr;
  if (PlatFileCreate(file.c_str(), &held) != PLAT_OK || PlatFileCreate(ready.c_str(), &signal) != PLAT_OK ||
      PlatFileClose(signal) != PLAT_OK) {
    fprintf(stderr, "zelt-test-child: cannot take the file\n");
    return kCannotHold;
  }
  return code;
}

int Lock(const ZString& name, const ZString& ready, const ZString& release) {
  PlatLock* lock = nullptr;
  if (PlatLockTake(name.c_str(), &lock) != PLAT_OK) {
    fprintf(stderr, "zelt-test-child: cannot take the lock\n");
    return kCannotHold;
  }
  int result = ReadyThenWait(ready, release);
  PlatLockRelease(lock);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  ZString paths[3];
  for (int i = 2; i < argc && i < 5; i++) {
    if (!ToDevicePath(argv[i], &paths[i - 2])) return kUsage;
  }
  if (argc == 3 && strcmp(argv[1], "exit") == 0) {
    printf("to standard output\n");
    fprintf(stderr, "to standard error\n");
    return atoi(argv[2]);
  }
  if (argc == 4 && strcmp(argv[1], "wait") == 0)
    return WaitForFile(paths[0]) ? atoi(argv[3]) : kGaveUp;
  if (argc == 5 && strcmp(argv[1], "hold") == 0) return Hold(paths[0], paths[1], paths[2]);
  if (argc == 5 && strcmp(argv[1], "lock") == 0) return Lock(paths[0], paths[1], paths[2]);
  if (argc == 5 && strcmp(argv[1], "end") == 0) return HoldToTheEnd(paths[0], paths[1], atoi(argv[4]));
  fprintf(stderr, "usage: zelt-test-child exit CODE | wait RELEASE CODE | hold FILE READY RELEASE"
                  " | lock NAME READY RELEASE | end FILE READY CODE\n");
  return kUsage;
}
