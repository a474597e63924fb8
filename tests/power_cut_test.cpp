// Power cuts in the middle of an update. The updater is cut short (the process ends before an OS
// call, and nothing of it runs after, as at a power cut) at chosen calls of a whole update of a
// package of a hundred files and a program of 2 MB: in the package test, the clean, the copy and
// the unpacking.
// Wherever it stopped, the next run must end with the success event and leave the install as the
// package plus the kept files. And before it sets that event, the new install must be on the
// medium.
#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "outcome_events.h"
#include "platform.h"
#include "stage_lines.h"
#include "test_support.h"

namespace {

// Where a run was when it stopped, told by the last stage line it wrote.
enum Phase { kTest, kClean, kCopy, kUnpack, kAfterUnpack, kEnded, kPhaseCount };
const char* const kPhaseNames[kPhaseCount] = {"package test", "clean", "copy", "unpacking",
                                              "after unpacking", "ended"};

Phase PhaseOf(const std::vector<LoggedStage>& stages) {
  switch (stages.empty() ? 0 : stages.back().line) {
    case LINE_BEGIN_REMOVE: return kClean;
    case LINE_REMOVE_OK: case LINE_OPEN_FROMFILE_OK: case LINE_OPEN_TOFILE_OK: case LINE_BEGIN_COPY:
      return kCopy;
    case LINE_COPY_OK: return kUnpack;
    case LINE_EXTRACT_OK: return kAfterUnpack;
    case LINE_END: return kEnded;
    default: return kTest;
  }
}

// Dozens of updates of a thousand files: in memory where the host has a memory file system. On
// a disk each would take seconds (deleting files just written is slow there), and a cut ends
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
    for (const char* program : {ZELT_UPDATE_EXE, ZELT_CUT_UPDATER_EXE}) fs::copy_file(program, OnCard(program));
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

  // The updater on the card, and the one that is cut short (cut_updater.cpp) beside it.
  std::string Updater() const { return OnCard(ZELT_UPDATE_EXE); }
  std::string CutUpdater() const { return OnCard(ZELT_CUT_UPDATER_EXE); }

  // Starts command (a program on the card and its arguments, or a program that runs one) with
  // its standard output in Log() and its errors beside it.
  PlatProcess* Start(const std::vector<std::string>& command) {
    const std::string log = Log().string(), errors = log + ".errors";
    std::vector<const char*> argv;
    for (const std::string& word : command) argv.push_back(word.c_str());
    argv.push_back(nullptr);
    PlatProcess* process = nullptr;
    EXPECT_EQ(PlatProcessStartRedirected(argv.data(), log.c_str(), errors.c_str(), &process), PLAT_OK);
    return process;
  }

  std::vector<LoggedStage> LogStages() const { return LoggedStages(ReadFile(Log())); }

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
  std::string OnCard(const char* program) const {
    return (Root() / "SDMMC" / fs::path(program).filename()).string();
  }

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
  // The package: 104 small files in 4 folders, a 2 MB program that makes the copy take many
  // pieces, an empty folder and a Chinese name. expected_ is it plus the kept files.
  void UsePackage(const fs::path& package) {
    fs::copy_file(PremadePackage("cuts"), package);
    fs::copy(PackedTree("cuts"), expected_, fs::copy_options::recursive);
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

  const std::vector<fs::path> kMarkers = {"EMMC_Check_File.txt", "mod3/EMMC_Check_File.txt"};
  ScratchDir expectedFolder_;
  const fs::path expected_ = expectedFolder_.path() / "install";
};

// A run that is not cut: it must succeed.
void RunWhole(Device* device) {
  device->ClearEvents();
  EXPECT_EQ(WaitForExit(device->Start({device->Updater()})), 0) << ReadFile(device->Log());
  std::vector<LoggedStage> stages = device->LogStages();
  ASSERT_FALSE(stages.empty());
  EXPECT_EQ(stages.back().line, LINE_END) << ReadFile(device->Log());
  EXPECT_EQ(device->Outcome(), 0) << "no success event";
}

uintmax_t Count(const fs::path& folder, bool folders) {
  uintmax_t count = 0;
  for (auto& entry : fs::recursive_directory_iterator(folder)) count += entry.is_directory() == folders;
  return count;
}

// Each cut lands in its phase by the calls a whole update of this package makes, which follow
// from the package and the install alone: nothing depends on timing.
TEST_F(PowerCutTest, NextRunAfterACutAnywhereCompletesTheUpdate) {
  Device device;
  ASSERT_NO_FATAL_FAILURE(UsePackage(device.Package()));
  MakeOldInstall(device.Install());
  // A whole update first, over the older install: every cut run starts from what it leaves.
  ASSERT_NO_FATAL_FAILURE(RunWhole(&device));
  ExpectInstalled(device.Install());

  const uintmax_t packageSize = fs::file_size(device.Package());
  const uintmax_t files = Count(expected_, false), folders = Count(expected_, true);
  // The run reads the end of its log file, then all of the package in pieces of 64 KB for its
  // CRC-32, then the package test reads it through a look-ahead buffer of 256 KB; the copy writes
  // it in pieces of 64 KB, after a line per stage in the log file (nine); each file the unpacking
  // makes is written at least once, after its name.
  const uintmax_t identityReads = (packageSize >> 16) + 2, testReads = packageSize >> 18;
  const uintmax_t copyWrites = packageSize >> 16;
  struct Cut {
    const char* call;
    uintmax_t nth;
    Phase phase;
    const char* why;
  };
  const Cut cuts[] = {
      {"read", 2, kTest, "the first read of the package, for its CRC-32"},
      {"read", 1 + identityReads + testReads, kTest, "a read of the package test's last part"},
      {"unlink", 1, kClean, "the clean's first deletion"},
      {"unlink", files - kMarkers.size(), kClean, "the clean's last deletion, all but the kept files"},
      {"rmdir", folders / 2, kClean, "a folder the clean removes"},
      {"write", 20, kCopy, "the copy's first pieces"},
      {"write", copyWrites, kCopy, "the copy's last pieces"},
      {"mkdir", 1, kUnpack, "the unpacking's first folder"},
      {"write", copyWrites + 30, kUnpack, "the unpacking's first files"},
      {"write", copyWrites + 2 * files, kUnpack,
       "the unpacking's last files (a write for each name, one for each file)"},
  };
  std::ostringstream report;
  for (const Cut& cut : cuts) {
    const std::string plan = std::string(cut.call) + " " + std::to_string(cut.nth);
    SCOPED_TRACE(plan + ": " + cut.why);
    device.ClearEvents();
    PlatProcess* run = device.Start({device.CutUpdater(), cut.call, std::to_string(cut.nth)});
    ASSERT_NE(run, nullptr);
    EXPECT_EQ(WaitForExit(run), -1) << "not cut\n" << ReadFile(device.Log());
    EXPECT_EQ(device.Outcome(), -1) << "an event set by a run that was cut";
    Phase phase = PhaseOf(device.LogStages());
    EXPECT_EQ(kPhaseNames[phase], std::string(kPhaseNames[cut.phase])) << ReadFile(device.Log());
    report << "  before " << plan << ": in the " << kPhaseNames[phase] << "\n";
    // The next run completes the update, whatever the cut left, and says first that the run
    // before it was cut short.
    ASSERT_NO_FATAL_FAILURE(RunWhole(&device));
    const std::string file = ReadFile(device.Root() / "SDMMC" / "zelt-update.log");
    const std::string lastRun = file.substr(file.rfind("[ZELT_UPDATE] New run: "));
    EXPECT_NE(lastRun.find("\n[ZELT_UPDATE] The previous run was cut short"), std::string::npos) << lastRun;
    ExpectInstalled(device.Install());
    if (HasFailure()) break;
  }
  std::cout << "Power cuts, each followed by a run that completed the update:\n" << report.str();
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
  std::vector<std::string> command = {"strace", "-f", "-qq", "-s", "100000", "-o", trace.string(),
                                      "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
                                      "trace=write,unlink,unlinkat,sync,syncfs,fsync,fdatasync,"
                                      "sync_file_range,msync"};
  if (!ChildRunner().empty()) command.push_back(ChildRunner());
  command.push_back(device.Updater());
  PlatProcess* run = device.Start(command);
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
  const size_t extracted = find("write(1, ", LineTag(LINE_EXTRACT_OK));
  const size_t copyDeleted = find("unlink", "Zeltrovan/Zeltrovan.7z\")");
  const size_t end = find("write(1, ", LineTag(LINE_END));
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
