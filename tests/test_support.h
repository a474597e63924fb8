// Helpers shared by the tests: scratch device folders, the packages made before the tests run,
// programs of ours started through the platform, and small file utilities. Host-side file work
// goes through std::filesystem; names that are not ASCII go in and out as UTF-8 (fs::u8path,
// u8string), which is what the sources hold on every host.
#pragma once

#include <filesystem>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "device_types.h"

namespace fs = std::filesystem;

// Text in the platform's UTF-16 unit, for paths and names handed to the platform.
using ZString = std::basic_string<ZChar>;

// The tests run against the backend that the build picked. A few cases need what only one of
// them has; those are skipped on the other, with the reason.
#ifdef _WIN32
inline constexpr bool kWin32Backend = true;
#else
inline constexpr bool kWin32Backend = false;
#endif
#define SKIP_ON_WIN32(reason)                    \
  do {                                           \
    if (kWin32Backend) GTEST_SKIP() << (reason); \
  } while (0)

// A fresh, empty folder under the system's temporary directory (or under parent), removed
// (read-only files and all) when the object goes.
class ScratchDir {
 public:
  explicit ScratchDir(const fs::path& parent = fs::temp_directory_path());
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The form of path that host file work takes at any length: on Windows the "\\?\" form, free of
// the 260-unit limit that a device path of 259 units passes once a folder is put in front.
fs::path LongPath(const fs::path& path);

// The path of entry below root, where entry was found by walking root. Unlike lexically_relative
// it takes "\\?\" paths, which the library's path decomposition does not.
fs::path PathBelow(const fs::path& entry, const fs::path& root);

// Makes the platform treat dir as the device root for the rest of this process, and for the
// programs it starts (through ZELT_DEVICE_ROOT).
void UseDeviceRoot(const fs::path& dir);

void WriteFile(const fs::path& path, const std::string& contents);
std::string ReadFile(const fs::path& path);
// Deterministic bytes that compress poorly and well in turns.
std::string SampleBytes(size_t size, unsigned seed);

// The packages that tests/make_packages.py made before the tests ran: NAME.7z, 7zz's technical
// listing of it, the folder TREE that packages were packed from, and for a package of another
// writer what 7zz unpacks from it.
fs::path PremadePackage(const std::string& name);
fs::path UnpackedBy7zz(const std::string& name);
fs::path PremadeListing(const std::string& name);
fs::path PackedTree(const std::string& tree);
// The coders of the premade package's last item with data as its listing gives them, e.g.
// "BCJ LZMA2:16".
std::string PremadeMethod(const std::string& name);

// The emulator that runs the build's own programs on this host (ZELT_CHILD_RUNNER: qemu-user for
// an ARM build), or "" where they run by themselves. The platform starts them through it; a host
// program that starts one (a shell script, strace) names it first.
std::string ChildRunner();

// Runs one of our programs (argv[0] a host path) with its standard output and error written to
// the given files, and returns its exit status. Fails the current test when it cannot start or
// has not ended within two minutes.
int RunProgram(const std::vector<std::string>& argv, const fs::path& output,
               const fs::path& errors);

// Another process of ours holds a device file in use, as a loaded driver is held: nobody else
// can write or delete it until Release or the end of the object. root is the device root given to
// UseDeviceRoot; devicePath is ASCII. The file keeps its contents. With what "lock", devicePath
// is instead the name of a device lock that the other process holds.
class HeldByOtherProcess {
 public:
  HeldByOtherProcess(const fs::path& root, const std::string& devicePath, const char* what = "hold");
  ~HeldByOtherProcess();
  HeldByOtherProcess(const HeldByOtherProcess&) = delete;
  HeldByOtherProcess& operator=(const HeldByOtherProcess&) = delete;
  // Lets go and waits for the holder to end: its exit status, 0 when it held the file throughout.
  int Release();
  // Ends the holder at once, as a power cut would, and waits until it is gone.
  void Kill();

 private:
  ScratchDir output_;
  fs::path ready_, release_;
  struct PlatProcess* holder_ = nullptr;
};

// Files through the platform, as the device sees them. ReadDeviceFile and WriteDeviceFile
// return a PlatResult (a short write is PLAT_ERR_IO); DeviceContents gives the contents or
// Failure(result), "<error N>", so that one comparison checks both.
int ReadDeviceFile(const ZString& path, std::string* contents);
int WriteDeviceFile(const ZString& path, const std::string& contents);
std::string Failure(int result);
std::string NotFound();
std::string DeviceContents(const ZString& path);

// The entries of a device folder but "." and "..", with their attributes, as one walk lists them.
// *ended receives the result of the find call that ended the walk (PLAT_ERR_NOT_FOUND past the
// last entry), and *repeated each name the walk met again.
std::map<ZString, ZUInt32> DeviceEntries(const ZString& folder, int* ended = nullptr,
                                         std::vector<ZString>* repeated = nullptr);

// Every file below a device folder as the device sees it, by its path below folder with "/"
// separators: its bytes, or Failure(result) where the device cannot read it; and every folder that
// shows no entries, with "/" behind its name: "" when empty, Failure(result) where the device
// cannot list it. Host file work on Windows cannot list a folder of a host path over 260 units,
// which a device path at the device's own limit becomes below a PC's folder.
std::map<std::string, std::string> DeviceTree(const ZString& folder);

// Whether two trees hold the same names, the same bytes and the same read-only state.
bool SameTree(const fs::path& expected, const fs::path& actual, std::string* difference);
bool IsReadOnly(const fs::path& path);

// A stage line of the updater's log, "[ZELT_UPDATE] Line: 00121: Time: 767522 main:begin remove
// file": its number (stage_lines.h), its tick and its message.
struct LoggedStage {
  int line = 0;
  uint64_t tick = 0;
  std::string message;
};
// Whether text (one line, without its line break) is a stage line in that form: five digits, a
// tick of one to ten digits and a blank before the message. The cleaner's lines have no tick.
bool ParseStageLine(const std::string& text, LoggedStage* stage);
// "Line: 00205:", the number of a stage line as the log writes it.
std::string LineTag(int line);
// The last line of the updater's log file on the card at root, without its line break.
std::string LastLogFileLine(const fs::path& root);
// The stage lines of a log, in order; other lines are passed over.
std::vector<LoggedStage> LoggedStages(const std::string& log);
