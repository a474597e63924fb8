// Power cuts in the middle of an update. The real updater is killed (nothing of it runs after the
// kill, as after a power cut) at points spread over a whole update of a package of over a
// thousand files: during the package test, the clean, the copy and the unpacking. Wherever it
// stopped, the next run must end with the success event and leave the install as the package
// plus the kept files. And before it sets that event, the new install must be on the medium.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "outcome_events.h"
#include "platform.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// A stage line of the updater's log: its number and its tick.
struct Stage {
  int line;
  unsigned tick;
};

std::vector<Stage> Stages(const std::string& log) {
  std::vector<Stage> stages;
  std::istringstream lines(log);
  std::string text;
  while (std::getline(lines, text)) {
    Stage stage{0, 0};
    if (sscanf(text.c_str(), "[ZELT_UPDATE] Line: %5d: Time: %u ", &stage.line, &stage.tick) == 2) {
      stages.push_back(stage);
    }
  }
  return stages;
}

// The lines after which a run has nothing left to do.
bool Finished(const std::vector<Stage>& stages) {
  if (stages.empty()) return false;
  int last = stages.back().line;
  return last == 226 || last == 118 || last == 127 || last == 142 || last == 150;
}

// Where a run was when it stopped, told by the last stage line it wrote.
enum Phase { kTest, kClean, kCopy, kUnpack, kAfterUnpack, kEnded, kPhaseCount };
const char* const kPhaseNames[kPhaseCount] = {"package test", "clean", "copy", "unpacking",
                                              "after unpacking", "ended"};

Phase PhaseOf(const std::vector<Stage>& stages) {
  switch (stages.empty() ? 0 : stages.back().line) {
    case 121: return kClean;
    case 131: case 146: case 154: case 160: return kCopy;
    case 205: return kUnpack;
    case 211: return kAfterUnpack;
    case 226: return kEnded;
    default: return kTest;
  }
}

// The line that opens each phase of the four, and the one that closes it.
const int kPhaseStart[4] = {114, 121, 160, 205};
const int kPhaseEnd[4] = {121, 131, 205, 211};

unsigned TickOf(const std::vector<Stage>& stages, int line) {
  for (const Stage& stage : stages) {
    if (stage.line == line) return stage.tick;
  }
  ADD_FAILURE() << "no line " << line;
  return 0;
}

bool HasLine(const std::vector<Stage>& stages, int line) {
  for (const Stage& stage : stages) {
    if (stage.line == line) return true;
  }
  return false;
}

// Dozens of updates of a thousand files: in memory where the host has a memory file system. On
// a disk each would take seconds (deleting files just written is slow there), and a kill cuts
// the run the same way on either.
fs::path FastTemporaryFolder() {
  std::error_code error;
  return fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

// A simulated device: the updater and its package on the card SDMMC, the install in Zeltrovan.
class Device {
 public:
  Device() : root_(FastTemporaryFolder()) {
    fs::create_directories(Root() / "SDMMC");
    fs::create_directories(Install());
    fs::copy_file(ZELT_UPDATE_EXE, Root() / "SDMMC" / fs::path(ZELT_UPDATE_EXE).filename());
    UseDeviceRoot(Root());
    for (int i = 0; i < 2; i++) {
      EXPECT_EQ(PlatEventOpen(i == 0 ? kSuccessEventName : kFailEventName, &events_[i]), PLAT_OK);
    }
  }
  ~Device() {
    for (int i = 0; i < 2; i++) {
      if (events_[i] != nullptr) PlatEventClose(events_[i]);
    }
    PlatEventDelete(kSuccessEventName);
    PlatEventDelete(kFailEventName);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  fs::path Root() const { return root_.path(); }
  fs::path Install() const { return Root() / "Zeltrovan"; }
  fs::path Package() const { return Root() / "SDMMC" / "Zeltrovan.7z"; }
  fs::path Log() const { return logs_.path() / "log"; }

  // Starts the updater with its standard output in Log() and its errors beside it, through
  // wrapper (a program and its arguments that run the updater) when there is one.
  PlatProcess* Start(const std::vector<std::string>& wrapper = {}) {
    const std::string log = Log().string(), errors = log + ".errors";
    const std::string updater = (Root() / "SDMMC" / fs::path(ZELT_UPDATE_EXE).filename()).string();
    std::vector<const char*> argv;
    for (const std::string& word : wrapper) argv.push_back(word.c_str());
    argv.push_back(updater.c_str());
    argv.push_back(nullptr);
    PlatProcess* process = nullptr;
    EXPECT_EQ(PlatProcessStartRedirected(argv.data(), log.c_str(), errors.c_str(), &process), PLAT_OK);
    return process;
  }

  std::vector<Stage> LogStages() const { return Stages(ReadFile(Log())); }

  // Forgets an outcome an earlier run left pending.
  void ClearEvents() {
    int signalled = 0;
    while (PlatEventWaitAny(events_, 2, 0, &signalled) == PLAT_OK) {
    }
  }

  // Which event is set: 0 success, 1 failure, -1 none. More than one signal fails the test.
  int Outcome() {
    int signalled = -1;
    if (PlatEventWaitAny(events_, 2, 0, &signalled) != PLAT_OK) return -1;
    int more = -1;
    EXPECT_EQ(PlatEventWaitAny(events_, 2, 0, &more), PLAT_ERR_TIMEOUT) << "both events set";
    return signalled;
  }

 private:
  ScratchDir root_;
  ScratchDir logs_;
  PlatEvent* events_[2] = {nullptr, nullptr};
};

int WaitForExit(PlatProcess* process) {
  int exitCode = -2;
  EXPECT_EQ(PlatProcessWait(process, 300000, &exitCode), PLAT_OK);
  return exitCode;
}

class PowerCutTest : public testing::Test {
 protected:
  // The package: 1,040 small files in 40 folders, an 8 MB program that makes the copy long
  // enough to be cut, an empty folder and a Chinese name. expected_ is it plus the kept files.
  void UseLargePackage(const fs::path& package) {
    fs::copy_file(PremadePackage("large"), package);
    fs::copy(PackedTree("large"), expected_, fs::copy_options::recursive);
    for (const fs::path& marker : kMarkers) WriteFile(expected_ / marker, "kept " + marker.string());
  }

  // An older install: other files, some of them where the package puts its own, and the kept
  // files.
  void MakeOldInstall(const fs::path& install) {
    for (int file = 0; file < 300; file++) {
      WriteFile(install / ("old" + std::to_string(file % 7)) / ("o" + std::to_string(file) + ".dat"), "old");
    }
    WriteFile(install / "mod3" / "f1.dat", "old f1");
    WriteFile(install / "bin" / "app.exe", "old app");
    for (const fs::path& marker : kMarkers) WriteFile(install / marker, "kept " + marker.string());
  }

  void ExpectInstalled(const fs::path& install) {
    std::string difference;
    EXPECT_TRUE(SameTree(expected_, install, &difference)) << difference;
  }

  const std::vector<fs::path> kMarkers = {"EMMC_Check_File.txt", "mod7/EMMC_Check_File.txt"};
  ScratchDir expectedFolder_;
  const fs::path expected_ = expectedFolder_.path() / "install";
};

// Entries below folder as it is now; a folder that goes while it is counted ends the count.
uintmax_t CountEntries(const fs::path& folder) {
  uintmax_t count = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    count++;
  }
  return count;
}

uintmax_t Part(double fraction, uintmax_t whole) {
  return static_cast<uintmax_t>(fraction * static_cast<double>(whole));
}

// A run that is not cut: it must succeed, and its ticks time the phases.
void RunWhole(Device* device, std::vector<Stage>* stages) {
  device->ClearEvents();
  EXPECT_EQ(WaitForExit(device->Start()), 0) << ReadFile(device->Log());
  *stages = device->LogStages();
  ASSERT_FALSE(stages->empty());
  EXPECT_EQ(stages->back().line, 226) << ReadFile(device->Log());
  EXPECT_EQ(device->Outcome(), 0) << "no success event";
}

TEST_F(PowerCutTest, NextRunAfterAKillAnywhereCompletesTheUpdate) {
  Device device;
  ASSERT_NO_FATAL_FAILURE(UseLargePackage(device.Package()));
  MakeOldInstall(device.Install());
  const uintmax_t packageSize = fs::file_size(device.Package());

  // A whole update first, over the older install, then one over its result: that one is what
  // every cut run repeats, and its ticks time the package test.
  std::vector<Stage> stages;
  ASSERT_NO_FATAL_FAILURE(RunWhole(&device, &stages));
  ExpectInstalled(device.Install());
  ASSERT_NO_FATAL_FAILURE(RunWhole(&device, &stages));
  ExpectInstalled(device.Install());
  const unsigned testMs = TickOf(stages, kPhaseEnd[kTest]) - TickOf(stages, kPhaseStart[kTest]);
  const uintmax_t installed = CountEntries(expected_);

  struct Cut {
    Phase aim;
    double at;  // how far into the phase, by its time or its progress
  };
  std::vector<Cut> cuts;
  for (int phase = 0; phase < 4; phase++) {
    for (double at : {0.1, 0.5, 0.8}) cuts.push_back(Cut{static_cast<Phase>(phase), at});
  }
  int landed[kPhaseCount] = {0};
  int retries = 0;
  std::ostringstream report;
  for (size_t i = 0; i < cuts.size(); i++) {
    const Cut cut = cuts[i];
    SCOPED_TRACE(std::string("cut in the ") + kPhaseNames[cut.aim] + " at " + std::to_string(cut.at));
    device.ClearEvents();
    PlatProcess* run = device.Start();
    ASSERT_NE(run, nullptr);
    const Clock::time_point deadline = Clock::now() + std::chrono::minutes(2);
    // Wait for the phase to begin. The copy lasts milliseconds, less than it takes to notice its
    // first line: it is watched from the start of the clean on.
    const int watchFrom = kPhaseStart[cut.aim == kCopy ? kClean : cut.aim];
    std::vector<Stage> seen = device.LogStages();
    while (!HasLine(seen, watchFrom) && !Finished(seen) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      seen = device.LogStages();
    }
    if (cut.aim == kTest) {
      // Reading leaves no trace to follow: the phase's time in the uncut run tells.
      std::this_thread::sleep_for(std::chrono::microseconds(
          static_cast<long long>(cut.at * testMs * 1000.0)));
    } else {
      // The other phases show their progress: the entries left in the install during the clean,
      // the size of the package copy (the copy is over in milliseconds), and the entries the
      // unpacking has made.
      const uintmax_t present = CountEntries(device.Install());
      const uintmax_t entriesLeft = present - Part(cut.at, present);
      const uintmax_t copied = Part(cut.at, packageSize);
      const uintmax_t entriesMade = Part(cut.at, installed);
      const fs::path copy = device.Install() / "Zeltrovan.7z";
      for (int polls = 0; Clock::now() < deadline; polls++) {
        std::error_code error;
        if (cut.aim == kClean && CountEntries(device.Install()) <= entriesLeft) break;
        if (cut.aim == kCopy && fs::file_size(copy, error) >= copied && !error) break;
        if (cut.aim == kUnpack && CountEntries(device.Install()) >= entriesMade) break;
        if (polls % 64 == 63 && HasLine(device.LogStages(), kPhaseEnd[cut.aim])) break;
        // Only the copy is short enough to need every moment; the rest leave the updater the CPU.
        if (cut.aim == kCopy) {
          std::this_thread::yield();
        } else {
          std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
      }
    }
    EXPECT_EQ(PlatProcessKill(run), PLAT_OK);
    int exitCode = WaitForExit(run);
    Phase phase = PhaseOf(device.LogStages());
    EXPECT_TRUE(exitCode == -1 || phase == kEnded) << "exit code " << exitCode;
    landed[phase]++;
    report << "  aimed at the " << kPhaseNames[cut.aim] << " (" << cut.at << "), cut in the "
           << kPhaseNames[phase] << "\n";
    // A phase that is short on this machine may have been missed (the copy lasts milliseconds, and
    // a busy host may not run this poller in them): aim at its start, five times at most.
    if (i + 1 == cuts.size() && retries < 5) {
      retries++;
      for (int aim = 0; aim < 4; aim++) {
        if (landed[aim] == 0) cuts.push_back(Cut{static_cast<Phase>(aim), 0.0});
      }
    }

    // The next run completes the update, whatever the cut left.
    std::vector<Stage> next;
    ASSERT_NO_FATAL_FAILURE(RunWhole(&device, &next));
    ExpectInstalled(device.Install());
    if (HasFailure()) break;
  }
  std::cout << "Power cuts, each followed by a run that completed the update:\n" << report.str();
  for (int phase = 0; phase < 4; phase++) {
    EXPECT_GT(landed[phase], 0) << "no cut landed in the " << kPhaseNames[phase] << "\n" << report.str();
  }
}

// strace watches the updater's calls: one syncfs of the install's volume, after the last file
// was written and the package copy deleted, before the success event (which comes before the
// last log line), and no flush of single files.
TEST_F(PowerCutTest, InstallIsOnTheMediumBeforeTheSuccessEvent) {
  SKIP_ON_WIN32("watches the flush with strace, a POSIX host tool");
  Device device;
  if (RunProgram({"strace", "-f", "-qq", "-o", "/dev/null", "true"}, device.Log(),
                 device.Log().string() + ".errors") != 0) {
    GTEST_SKIP() << "strace cannot trace here (ptrace is not permitted)";
  }
  fs::copy_file(PremadePackage("update"), device.Package());
  const fs::path trace = device.Log().parent_path() / "trace";
  device.ClearEvents();
  // A sanitizer build's leak checker cannot work under a tracer: it stays out of this run.
  PlatProcess* run = device.Start({"strace", "-f", "-qq", "-s", "100000", "-o", trace.string(),
                                   "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
                                   "trace=write,unlink,unlinkat,sync,syncfs,fsync,fdatasync,"
                                   "sync_file_range,msync"});
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(WaitForExit(run), 0) << ReadFile(device.Log());
  EXPECT_EQ(device.Outcome(), 0) << "no success event";

  std::vector<std::string> calls;
  std::istringstream lines(ReadFile(trace));
  for (std::string line; std::getline(lines, line);) {
    size_t name = line.find_first_not_of(' ', line.find(' '));  // after the process id
    if (name != std::string::npos) calls.push_back(line.substr(name));
  }
  auto find = [&](const std::string& start, const std::string& part) {
    for (size_t i = 0; i < calls.size(); i++) {
      if (calls[i].rfind(start, 0) == 0 && calls[i].find(part) != std::string::npos) return i;
    }
    return calls.size();
  };
  size_t flushes = 0;
  for (const std::string& call : calls) {
    if (call.rfind("sync", 0) == 0 || call.rfind("fsync", 0) == 0 || call.rfind("fdatasync", 0) == 0 ||
        call.rfind("msync", 0) == 0) {
      flushes++;
    }
  }
  EXPECT_EQ(flushes, 1u) << ReadFile(trace);
  const size_t flush = find("syncfs(", "= 0");
  const size_t extracted = find("write(1, ", "Line: 00211:");
  const size_t copyDeleted = find("unlink", "Zeltrovan/Zeltrovan.7z\")");
  const size_t end = find("write(1, ", "Line: 00226:");
  ASSERT_LT(flush, calls.size()) << ReadFile(trace);
  EXPECT_LT(extracted, flush);
  EXPECT_LT(copyDeleted, flush);
  EXPECT_LT(flush, end);
  // Nothing but the log, on standard output and in its file, is written after the flush.
  const size_t opened = find("write(", "New run: Time: ");
  ASSERT_LT(opened, calls.size()) << "no log file";
  const std::string logFile = calls[opened].substr(0, calls[opened].find(' ') + 1);
  for (size_t i = flush + 1; i < calls.size(); i++) {
    EXPECT_TRUE(calls[i].rfind("write(1, ", 0) == 0 || calls[i].rfind(logFile, 0) == 0 ||
                calls[i].rfind("+++", 0) == 0)
        << calls[i];
  }
}

}  // namespace
