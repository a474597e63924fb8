// Runs the real updater on simulated devices: a host folder is the device root, the updater is
// copied into it beside its package, and the waiting side reads the outcome from the events.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "7zCrc.h"
#include "outcome_events.h"
#include "platform.h"
#include "platform_testing.h"
#include "run_lock.h"
#include "stage_lines.h"
#include "test_support.h"

namespace {

// Relative path (UTF-8, "/" separators) -> bytes; a path ending in "/" is a folder.
using Files = std::map<std::string, std::string>;

// Every file below folder with its bytes, and every empty folder with "/" behind its name: what
// a tree of tests/make_packages.py holds, or a record to tell that nothing changed.
Files Snapshot(const fs::path& folder) {
  Files files;
  for (auto& entry : fs::recursive_directory_iterator(folder)) {
    std::string name = PathBelow(entry.path(), folder).generic_u8string();
    if (!entry.is_directory()) {
      files[name] = ReadFile(entry.path());
    } else if (fs::is_empty(entry.path())) {
      files[name + "/"] = "";
    }
  }
  return files;
}

// The package most runs install: bin/app.exe, bin/lang/zh.txt, ceusbkwrapperdrv.dll, readme.txt.
const Files& UpdateFiles() {
  static const Files files = Snapshot(PackedTree("update"));
  return files;
}

const fs::perms kWriteBits =
    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

// The stage lines of a run: the banner, then stages.
std::vector<int> AfterBanner(std::initializer_list<int> stages) {
  std::vector<int> lines = {LINE_BANNER_TOP, LINE_BANNER_TITLE, LINE_BANNER_BOTTOM};
  lines.insert(lines.end(), stages);
  return lines;
}

// The stage lines of a run that began the copy, then stages.
std::vector<int> AfterCopyBegan(std::initializer_list<int> stages) {
  std::vector<int> lines = AfterBanner({LINE_BEGIN_REMOVE, LINE_REMOVE_OK, LINE_OPEN_FROMFILE_OK,
                                        LINE_OPEN_TOFILE_OK, LINE_BEGIN_COPY});
  lines.insert(lines.end(), stages);
  return lines;
}

const std::vector<int> kSuccessStages = AfterCopyBegan({LINE_COPY_OK, LINE_EXTRACT_OK, LINE_END});
// The starts of the log file's last line for each way a run ends.
const char kRefusedOutcome[] = "[ZELT_UPDATE] Outcome: refused before the clean: nothing was changed";
const char kIncompleteOutcome[] =
    "[ZELT_UPDATE] Outcome: failed after the clean began: the install is incomplete";
const char kLockedOutcome[] =
    "[ZELT_UPDATE] Outcome: refused, another update is running: this run changed nothing";
const char kInstalledOutcome[] = "[ZELT_UPDATE] Outcome: success: the new install is in place";
const char kUnfinishedLine[] = "[ZELT_UPDATE] The previous run was cut short (a power cut or a kill)";

// The log file's text without the lines it alone has (the package's identity, the outcome and
// an unfinished run named): what is left is what standard output had.
std::string SharedWithOutput(const std::string& file) {
  std::istringstream lines(file);
  std::string shared;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("[ZELT_UPDATE] Package: ", 0) == 0 || line.rfind("[ZELT_UPDATE] Outcome: ", 0) == 0 ||
        line.rfind(kUnfinishedLine, 0) == 0) {
      continue;
    }
    shared += line + "\n";
  }
  if (!file.empty() && file.back() != '\n' && !shared.empty()) shared.pop_back();
  return shared;
}

const std::map<int, std::string> kStageMessages = {
    {LINE_BANNER_TOP, "main:|----------------------------|"},
    {LINE_BANNER_TITLE, "main:|--------ZELT UPDATE---------|"},
    {LINE_BANNER_BOTTOM, "main:|----------------------------|"},
    {LINE_RUN_LOCK_FAIL, "main:take run lock fail"},
    {LINE_UPDATER_INSIDE, "main:updater inside zeltrovan"},
    {LINE_FILE_IN_USE, "main:zeltrovan file in use"},
    {LINE_CHECK_PACKAGE_FAIL, "main:check package fail"},
    {LINE_READ_INSTALL_FAIL, "main:read zeltrovan files fail"},
    {LINE_FREE_SPACE_FAIL, "main:check free space fail"},
    {LINE_BEGIN_REMOVE, "main:begin remove file"},
    {LINE_REMOVE_FAIL, "main:remove zeltrovan files fail"},
    {LINE_REMOVE_OK, "main:remove file OK"},
    {LINE_OPEN_FROMFILE_FAIL, "main:open fromfile fail"},
    {LINE_OPEN_FROMFILE_OK, "main:open fromfile OK"},
    {LINE_OPEN_TOFILE_FAIL, "main:open tofile fail"},
    {LINE_OPEN_TOFILE_OK, "main:open tofile OK"},
    {LINE_BEGIN_COPY, "main:begin copy data"},
    {LINE_COPY_OK, "main:copy data success"},
    {LINE_EXTRACT_OK, "main:ExtractFile OK"},
    {LINE_EXTRACT_FAIL, "main:ExtractFile fail"},
    {LINE_COPY_FAIL, "main:copy data fail"},
    {LINE_FLUSH_FAIL, "main:flush install fail"},
    {LINE_END, "main:UPDATE END"},
};

// folder may be a "\\?\" path, which takes no "/": the names' separators become the host's own.
void WriteFiles(const fs::path& folder, const Files& files) {
  fs::create_directories(folder);
  for (auto& [name, bytes] : files) {
    // Preferred separators, which a "\\?\" path needs.
    const fs::path path = (folder / fs::u8path(name)).make_preferred();
    if (name.back() == '/') {
      fs::create_directories(path);
    } else {
      WriteFile(path, bytes);
    }
  }
}

// folder holds exactly files: the same names, bytes and (writable) state.
void ExpectTree(const fs::path& folder, const Files& files) {
  ASSERT_TRUE(fs::is_directory(folder)) << folder;
  ScratchDir expected;
  WriteFiles(expected.path(), files);
  std::string difference;
  EXPECT_TRUE(SameTree(expected.path(), folder, &difference)) << folder << ": " << difference;
}

fs::path PackagePath(const fs::path& root) { return root / "SDMMC" / "Zeltrovan.7z"; }
fs::path Updater(const fs::path& root, const std::string& exeDir = "SDMMC") {
  return root / exeDir / fs::path(ZELT_UPDATE_EXE).filename();
}

// Lays out a device under root and makes it the device of the programs started next: the
// install tree \Zeltrovan holding installed, and the updater in exeDir with the premade package
// of that name beside it.
void MakeDevice(const fs::path& root, const Files& installed, const std::string& package = "update",
                const std::string& exeDir = "SDMMC") {
  ASSERT_NO_FATAL_FAILURE(UseDeviceRoot(root));
  WriteFiles(LongPath(root / "Zeltrovan"), installed);
  fs::create_directories(root / exeDir);
  fs::copy_file(PremadePackage(package), root / exeDir / "Zeltrovan.7z");
  fs::copy_file(ZELT_UPDATE_EXE, Updater(root, exeDir));
}

// The updater's exit code for -1, as the platform reports it on every backend.
const int kUpdaterFailed = 255;

struct Outcome {
  std::string log;       // the updater's standard output, then the waiter's verdict
  std::string errors;    // standard error of both
  int waitExit = -1;     // 0 success, 1 failure, 2 timeout or error
  int updaterExit = -2;  // the updater's own status, as the waiter reports it
};

// Runs updater (a host path) with its arguments under the waiting side, which reports the
// updater's exit code.
Outcome RunWaited(const fs::path& updater, const std::vector<std::string>& arguments = {}) {
  ScratchDir output;
  fs::path log = output.path() / "log", errors = output.path() / "errors";
  Outcome run;
  std::vector<std::string> argv = {ZELT_WAIT_EXE, "--timeout", "60", updater.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  run.waitExit = RunProgram(argv, log, errors);
  run.log = ReadFile(log);
  run.errors = ReadFile(errors);
  const std::string reported = "zelt-wait: the updater exited with code ";
  size_t at = run.errors.find(reported);
  if (at != std::string::npos)
    run.updaterExit = std::atoi(run.errors.c_str() + at + reported.size());
  return run;
}

struct Log {
  std::vector<int> stages;             // the updater's line numbers in order, 70 included
  std::vector<std::string> undeleted;  // paths of the 70 lines
  std::vector<std::string> inUse;      // paths of the 72 lines
  std::vector<std::string> other;      // extractor output and the verdict
};

// Splits the log, checking the form of every line the updater wrote itself: the five-digit
// number, the message that belongs to it, and an unsigned tick that never goes back.
Log ParseLog(const std::string& text) {
  const std::string tag = "[ZELT_UPDATE] Line: ";
  const std::string undeleted = tag + "00070:delete ", inUse = tag + "00072:in use ";
  Log log;
  uint64_t lastTick = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    LoggedStage stage;
    if (line.rfind(tag, 0) != 0) {
      log.other.push_back(line);
    } else if (line.rfind(undeleted, 0) == 0) {
      std::string rest = line.substr(undeleted.size());
      EXPECT_TRUE(rest.size() > 5 && rest.substr(rest.size() - 5) == " FAIL") << line;
      log.stages.push_back(LINE_UNDELETED);
      log.undeleted.push_back(rest.substr(0, rest.size() < 5 ? 0 : rest.size() - 5));
    } else if (line.rfind(inUse, 0) == 0) {
      log.stages.push_back(LINE_IN_USE);
      log.inUse.push_back(line.substr(inUse.size()));
    } else if (ParseStageLine(line, &stage)) {
      EXPECT_LE(stage.tick, UINT32_MAX) << line;
      EXPECT_GE(stage.tick, lastTick) << line;
      lastTick = stage.tick;
      auto message = kStageMessages.find(stage.line);
      EXPECT_TRUE(message != kStageMessages.end() && message->second == stage.message) << line;
      log.stages.push_back(stage.line);
    } else {
      ADD_FAILURE() << "malformed: " << line;
    }
  }
  EXPECT_TRUE(!text.empty() && text.back() == '\n') << "unfinished last line";
  return log;
}

// The run went through the given stages and ended as told, in its verdict and both statuses.
Log ExpectOutcome(const Outcome& run, const std::vector<int>& stages, bool succeeded) {
  Log log = ParseLog(run.log);
  EXPECT_EQ(log.stages, stages) << run.log;
  EXPECT_EQ(log.other.empty() ? "" : log.other.back(), succeeded ? "success" : "failure");
  EXPECT_EQ(run.waitExit, succeeded ? 0 : 1) << run.errors;
  EXPECT_EQ(run.updaterExit, succeeded ? 0 : kUpdaterFailed) << run.errors;
  return log;
}

// The extractor printed every item of the package between the copy and "main:ExtractFile OK".
void ExpectExtracted(const Outcome& run, const Log& log, const Files& package) {
  for (auto& [name, bytes] : package) {
    EXPECT_NE(std::find(log.other.begin(), log.other.end(), name), log.other.end()) << name;
  }
  size_t copied = run.log.find(LineTag(LINE_COPY_OK));
  size_t done = run.log.find("\nEverything is Ok\n", copied);
  EXPECT_NE(done, std::string::npos);
  EXPECT_LT(done, run.log.find(LineTag(LINE_EXTRACT_OK)));
}

Files Union(Files files, const Files& more) {
  files.insert(more.begin(), more.end());
  return files;
}

const Files kInstalled = {
    {"EMMC_Check_File.txt", "top marker"},
    {"app.exe", "old app"},
    {"ceusbkwrapperdrv.dll", "old driver"},
    {"bin/app.exe", "old app in bin"},
    {"data/EMMC_Check_File.txt", "data marker"},
    {"data/a/b/EMMC_Check_File.txt", "deep marker"},
    {"data/a/b/old.bin", "old"},
    {"logs/emmc_check_file.txt", "case variant"},
    {"nested/one/two/three/f.txt", "deep file"},
    {"nested/one/g.txt", "file"},
    {"empty/", ""},
};

const Files kMarkers = {
    {"EMMC_Check_File.txt", "top marker"},
    {"data/EMMC_Check_File.txt", "data marker"},
    {"data/a/b/EMMC_Check_File.txt", "deep marker"},
};

TEST(UpdateTest, ReplacesInstallSparingMarkerFiles) {
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), kInstalled));
  Outcome run = RunWaited(Updater(root.path()));
  Log log = ExpectOutcome(run, kSuccessStages, true);
  ExpectExtracted(run, log, UpdateFiles());
  // The package copy is gone, the markers and their folders stay, the rest is the package.
  ExpectTree(root.path() / "Zeltrovan", Union(UpdateFiles(), kMarkers));
  EXPECT_TRUE(fs::exists(PackagePath(root.path())));
}

TEST(UpdateTest, DriverInUseIsToleratedAndKept) {
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {{"ceusbkwrapperdrv.dll", "loaded driver"},
                                                   {"app.exe", "old app"}}));
  Outcome run;
  {
    HeldByOtherProcess driver(root.path(), "\\Zeltrovan\\ceusbkwrapperdrv.dll");
    run = RunWaited(Updater(root.path()));
  }
  Log log = ExpectOutcome(run,
                          AfterBanner({LINE_BEGIN_REMOVE, LINE_UNDELETED, LINE_REMOVE_OK,
                                       LINE_OPEN_FROMFILE_OK, LINE_OPEN_TOFILE_OK, LINE_BEGIN_COPY,
                                       LINE_COPY_OK, LINE_EXTRACT_OK, LINE_END}),
                          true);
  const std::string undeleted =
      "\n[ZELT_UPDATE] Line: 00070:delete \\Zeltrovan\\ceusbkwrapperdrv.dll FAIL\n";
  EXPECT_NE(run.log.find(undeleted), std::string::npos);
  EXPECT_NE(run.log.find("ceusbkwrapperdrv.dll\n [ZELT_UPDATE]  ERROR: can not open output file\n"),
            std::string::npos);
  ExpectExtracted(run, log, UpdateFiles());
  Files expected = UpdateFiles();
  expected["ceusbkwrapperdrv.dll"] = "loaded driver";
  ExpectTree(root.path() / "Zeltrovan", expected);
}

// A file in use would stop the clean half way; it is found before anything is deleted, wherever
// the walk would meet it.
TEST(UpdateTest, FileInUseRefusesTheRunBeforeAnythingIsDeleted) {
  const Files installed = {{"a.cfg", "a"}, {"b.cfg", "b"},          {"c.cfg", "c"},
                           {"d.cfg", "d"}, {"sub/deep/e.cfg", "e"}, {"sub/f.cfg", "f"}};
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), installed));
  // The last file of the walk, in the file system's order: every other one comes before it.
  fs::path last;
  for (auto& entry : fs::directory_iterator(root.path() / "Zeltrovan")) {
    if (entry.is_regular_file()) last = entry.path();
  }
  for (const fs::path& held : {last, root.path() / "Zeltrovan/sub/deep/e.cfg"}) {
    SCOPED_TRACE(held);
    Outcome run;
    std::string device = "\\" + fs::relative(held, root.path()).string();
    std::replace(device.begin(), device.end(), '/', '\\');
    {
      HeldByOtherProcess holder(root.path(), device);
      run = RunWaited(Updater(root.path()));
    }
    Log log = ExpectOutcome(run, AfterBanner({LINE_IN_USE, LINE_FILE_IN_USE}), false);
    EXPECT_EQ(log.inUse, std::vector<std::string>{device});
    ExpectTree(root.path() / "Zeltrovan", installed);
  }
}

TEST(UpdateTest, PackageFailingItsTestDeletesNothing) {
  auto replaceBy = [](const std::string& name) {
    return [name](const fs::path& package) {
      fs::copy_file(PremadePackage(name), package, fs::copy_options::overwrite_existing);
    };
  };
  // Each refusal says why on the updater's standard error, which the waiting side passes on.
  struct Damage {
    const char* name;
    std::function<void(const fs::path&)> damage;
    const char* reason;
  };
  const Damage damages[] = {
      {"empty file", [](const fs::path& package) { WriteFile(package, ""); }, "zelt: not a 7z package"},
      {"not an archive", [](const fs::path& package) { WriteFile(package, "Zeltrovan 2.0\n"); },
       "zelt: not a 7z package"},
      {"truncated",
       [](const fs::path& package) {
         std::string bytes = ReadFile(package);
         WriteFile(package, bytes.substr(0, bytes.size() / 2));
       },
       "zelt: the package is truncated"},
      {"first volume of several", replaceBy("volumes-001"), "zelt: the package is truncated"},
      {"second volume of several", replaceBy("volumes-002"), "zelt: not a 7z package"},
      // Stored without compression, so the flipped byte is file data caught by its checksum.
      {"corrupt data",
       [](const fs::path& package) {
         std::string bytes = ReadFile(package);
         bytes[100] = static_cast<char>(bytes[100] ^ 0x55);
         WriteFile(package, bytes);
       },
       ": checksum mismatch (the package is damaged)\n"},
      {"Deflate", replaceBy("deflate"), "zelt: a.txt: unsupported coder Deflate: repack with -m0=LZMA2\n"},
      {"BZip2", replaceBy("bzip2"), ": unsupported coder BZip2: repack with -m0=LZMA2\n"},
      {"encrypted items", replaceBy("encrypted"), "zelt: a.txt: unsupported coder 7zAES (encrypted"},
      {"encrypted header", replaceBy("encrypted-header"), "zelt: encrypted header (7zAES)"},
      {"PPMd model of 300 MB", replaceBy("ppmd-300m"),
       "zelt: a.txt: not enough memory (314572800 bytes asked): a dictionary or model that large needs a repack"},
      // readme.txt, and an item that would land beside the install directory as zelt-escaped.txt.
      {"item escaping the install directory", replaceBy("escaping"),
       "zelt: ../zelt-escaped.txt: unsafe item path"},
      {"a file named a/.., the folder that holds a", replaceBy("dot-dot-last"), "zelt: a/..: unsafe item path"},
      // Paths one unit over what the device can create or list again (\Zeltrovan\ is 11 units).
      {"folder item of 256 units, too long to list", replaceBy("path-over-folder"), ": item path too long"},
      {"file of 260 units", replaceBy("path-over-file"), ": item path too long"},
      {"file in a folder of 256 units", replaceBy("path-over-file-folder"), ": item path too long"},
      // The copy is read while the items are written: an item of its name could neither replace
      // it nor stay once it is deleted, and a folder of its name could not be made beside it.
      {"item named like the copy", replaceBy("self-named"), "ZELTROVAN.7Z: named as the package's own copy"},
      {"the same, as bsdtar names it", replaceBy("bsdtar-self-named"), ": named as the package's own copy"},
      {"folder named like the copy", replaceBy("self-named-folder"), ": named as the package's own copy"},
      // Empty items under a header coded with PPMd, which no packer writes: decoding it would
      // take a stack frame larger than the device program's whole budget.
      {"header coded with PPMd", replaceBy("ppmd-header"),
       "zelt: the package header is coded with an unsupported coder"},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    ScratchDir root;
    ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), kInstalled, "update-stored"));
    d.damage(PackagePath(root.path()));
    Outcome run = RunWaited(Updater(root.path()));
    ExpectOutcome(run, AfterBanner({LINE_CHECK_PACKAGE_FAIL}), false);
    EXPECT_NE(run.errors.find(d.reason), std::string::npos) << run.errors;
    // The technician who pulls the card finds the reason too, and that nothing was changed.
    EXPECT_NE(ReadFile(root.path() / "SDMMC" / "zelt-update.log").find(d.reason), std::string::npos);
    EXPECT_EQ(LastLogFileLine(root.path()).rfind(kRefusedOutcome, 0), 0u) << LastLogFileLine(root.path());
    ExpectTree(root.path() / "Zeltrovan", kInstalled);
    EXPECT_FALSE(fs::exists(root.path().parent_path() / "zelt-escaped.txt"));
  }
}

// What the device's FAT volume makes of the package's names: every package the package test
// passes installs each item as zelt-check said, and every one it refuses is refused before the
// clean, for the reason zelt-check gives too. A row per rule; the platform's contract suite has
// one per character.
TEST(UpdateTest, PackagesAreTakenAsTheDeviceHoldsTheirNames) {
  const char* const kNotHeld = ": a name the device cannot hold (one of : * ? \" < > | or a control";
  struct Row {
    std::string package;  // premade, or a fixture's path
    std::string reason;   // on the updater's standard error; empty where the package installs
    std::string check;    // in zelt-check's output
    Files installed;
  };
  const Row rows[] = {
      {"name-backslash", "zelt: a\\b.txt: a \\ inside the name", "error: a\\b.txt: a \\ inside", {}},
      {"name-question", kNotHeld, "error: what?.txt: a name the device cannot hold", {}},
      {"name-tab", kNotHeld, "error: a\tb.txt: a name the device", {}},
      {"name-in-folder", "zelt: bin?: a name the device cannot hold", "error: bin?/app.exe: a name", {}},
      {"name-trailing-dot", ": a name ending in a dot or a space", "error: notes.: a name ending", {}},
      {"clash-file-then-folder", "zelt: DATA/x.txt: needs a folder where an earlier item is a file",
       "error: DATA/x.txt: needs a folder where an earlier item is a file (case ignored, as on the device): data", {}},
      {"clash-file-then-same-folder", "zelt: data/x.txt: needs a folder where", "device): data", {}},
      {"clash-folder-over-file", "zelt: LOGS: a folder where an earlier item is a file (case ignored, as on "
       "the device): logs\n", "error: LOGS: a folder where", {}},
      {"clash-file-over-folder", "zelt: BIN: a file where an earlier item is a folder (case ignored, as on "
       "the device): bin\n", "error: BIN: a file where", {}},
      {"full-folder", ": its folder would hold more than the 65,536 entries of a FAT folder", ": its folder would", {}},
      {std::string(ZELT_FIXTURES_DIR) + "/huge_block.7z", "zelt: big.bin: 4 GiB or more: a file of the device",
       "error: big.bin: 4 GiB or more", {}},
      // The later item's bytes under the earlier item's name, as the device's one file holds them.
      {"case-twins", "", "warning: FOO.TXT: a file of the same name (case ignored, as on the device) comes "
       "earlier: the device keeps one file, under the earlier name, with this item's bytes: foo.txt",
       {{"foo.txt", "second"}, {"readme.txt", "readme"}}},
      // Its item release.7z is no clash: the copy on the device is Zeltrovan.7z.
      {"release", "", "the device will take it", Snapshot(PackedTree("release"))},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.package);
    const fs::path package = row.package.find('/') == std::string::npos ? PremadePackage(row.package)
                                                                        : fs::path(row.package);
    ScratchDir root, check;
    int checked = RunProgram({ZELT_CHECK_EXE, package.string()}, check.path() / "out", check.path() / "errors");
    EXPECT_EQ(checked, row.reason.empty() ? 0 : 1);
    const std::string said = ReadFile(check.path() / "out");
    EXPECT_NE(said.find(row.check), std::string::npos) << said;
    ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), kInstalled));
    fs::copy_file(package, PackagePath(root.path()), fs::copy_options::overwrite_existing);
    Outcome run = RunWaited(Updater(root.path()));
    if (row.reason.empty()) {
      ExpectOutcome(run, kSuccessStages, true);
      ExpectTree(root.path() / "Zeltrovan", Union(row.installed, kMarkers));
    } else {
      ExpectOutcome(run, AfterBanner({LINE_CHECK_PACKAGE_FAIL}), false);
      EXPECT_NE(run.errors.find(row.reason), std::string::npos) << run.errors;
      ExpectTree(root.path() / "Zeltrovan", kInstalled);
    }
  }
}

// A folder of 255 units is the longest the device lists again ("\*.*" behind it), and a file of
// 259 units the longest it creates: the next update walks and replaces them all.
TEST(UpdateTest, PackageAtThePathLimitInstallsAndUpdatesAgain) {
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), kInstalled, "path-at-limit"));
  const std::string a(120, 'a');
  const Files atLimit = {{a + "/" + std::string(123, 'b') + "/x", "x"},
                         {a + "/" + std::string(127, 'c'), "c"}};
  for (int run = 1; run <= 2; run++) {
    SCOPED_TRACE(run);
    ExpectOutcome(RunWaited(Updater(root.path())), kSuccessStages, true);
    EXPECT_EQ(DeviceTree(ZT("\\Zeltrovan")), Union(atLimit, kMarkers));
  }
}

// What the application made beyond the device's reach cannot be listed, proved or deleted; it
// stays, as a folder with a kept file stays, and every update goes on around it.
TEST(UpdateTest, EntriesTheDeviceCannotReachStay) {
  const std::string unlisted(245, 'u');  // "\Zeltrovan\" and 245 units: 256, 260 with "\*.*"
  const std::string tooLong = "data/" + std::string(120, 'd') + "/" + std::string(123, 'f');
  const Files unreachable = {
      {unlisted + "/x", "old"},        // made on the device
      {tooLong, "260 units"},          // by a PC
      {std::string(245, 'e') + "/", ""},
  };
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), Union(kInstalled, unreachable)));
  ExpectOutcome(RunWaited(Updater(root.path())), kSuccessStages, true);
  // The empty folder is gone; the device sees the others as it saw them before.
  const Files left = {{unlisted + "/", Failure(PLAT_ERR_INVALID)},
                      {tooLong, Failure(PLAT_ERR_INVALID)}};
  EXPECT_EQ(DeviceTree(ZT("\\Zeltrovan")), Union(Union(UpdateFiles(), kMarkers), left));
  const std::string old = "\\Zeltrovan\\" + unlisted + "\\x";
  EXPECT_EQ(DeviceContents(ZString(old.begin(), old.end())), "old");
}

TEST(UpdateTest, CopiesPackageWithShortLastChunk) {
  ScratchDir root;
  // firmware.bin of 5000 bytes, stored.
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {}, "firmware"));
  uintmax_t size = fs::file_size(PackagePath(root.path()));
  ASSERT_GT(size, 4096u);
  ASSERT_NE(size % 1024, 0u);
  Outcome run = RunWaited(Updater(root.path()));
  ExpectOutcome(run, kSuccessStages, true);
  ExpectTree(root.path() / "Zeltrovan", Snapshot(PackedTree("firmware")));
}

// What the clean leaves (a marker file, a driver in use, and the folders that hold them) must not
// stand where an item goes: the unpacking would fail with the install emptied. Such a package is
// refused before the clean; a file item named as a kept file replaces it.
TEST(UpdateTest, ItemsInTheWayOfWhatTheCleanKeepsAreRefusedBeforeTheClean) {
  const std::string kLeft = " a file that the update leaves in place (case ignored, as on the device): ";
  const Files kTopMarker = {{"EMMC_Check_File.txt", "marker"}};
  struct Row {
    Files installed;
    std::string held;     // a device path held by another process, or empty
    std::string package;
    std::string reason;   // on standard error; empty where the update succeeds
    Files after;          // the install after a successful update
  };
  const Row rows[] = {
      {kTopMarker, "", "blocked-item-alone", "zelt: EMMC_Check_File.txt/notes.txt: needs a folder where the device "
       "has" + kLeft + "\\Zeltrovan\\EMMC_Check_File.txt; rename that folder in the package\n", {}},
      {kTopMarker, "", "blocked-item", "zelt: EMMC_Check_File.txt: a folder where the device has" + kLeft +
       "\\Zeltrovan\\EMMC_Check_File.txt; rename the folder in the package\n", {}},
      {{{"README.TXT/sub/EMMC_Check_File.txt", "marker"}}, "", "update", "zelt: readme.txt: a file where the device "
       "has a folder that the update leaves in place, for a file in it (case ignored, as on the device): "
       "\\Zeltrovan\\README.TXT\\sub\\EMMC_Check_File.txt; rename the file in the package\n", {}},
      {{{"Bin/App.exe/ceusbkwrapperdrv.dll", "driver"}}, "\\Zeltrovan\\Bin\\App.exe\\ceusbkwrapperdrv.dll",
       "update", "zelt: bin/app.exe: a file where the device has a folder", {}},
      // The clean's own comparison stays exact: the marker's name in another case is deleted.
      {{{"emmc_check_file.txt", "no marker"}}, "", "blocked-item", "", Snapshot(PackedTree("blocked-item"))},
      {Union(kTopMarker, {{"app.exe", "old"}}), "", "marker-file", "", Snapshot(PackedTree("marker-file"))},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.package + " over " + row.installed.begin()->first);
    ScratchDir root;
    ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), row.installed, row.package));
    Outcome run;
    {
      std::unique_ptr<HeldByOtherProcess> holder;
      if (!row.held.empty()) holder = std::make_unique<HeldByOtherProcess>(root.path(), row.held);
      run = RunWaited(Updater(root.path()));
    }
    bool succeeds = row.reason.empty();
    ExpectOutcome(run, succeeds ? kSuccessStages : AfterBanner({LINE_CHECK_PACKAGE_FAIL}), succeeds);
    EXPECT_NE(run.errors.find(row.reason), std::string::npos) << run.errors;
    ExpectTree(root.path() / "Zeltrovan", succeeds ? row.after : row.installed);
  }
}

TEST(UpdateTest, UpdaterAtDeviceRoot) {
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), kInstalled, "update", ""));
  ExpectOutcome(RunWaited(Updater(root.path(), "")), kSuccessStages, true);
  ExpectTree(root.path() / "Zeltrovan", Union(UpdateFiles(), kMarkers));
}

// A device thread has 64 KB of stack, and an overflow ends the update with no event set. With
// the deepest install tree a device path allows and a package as deep, two updates in a row
// (the second cleans what the first unpacked) succeed within it. A POSIX host holds the whole
// updater process to it, start-up and host backend included; Windows gives a main thread more
// whatever the program asks, so there the run goes on a thread of that stack.
TEST(UpdateTest, DeepestTreesUpdateWithinTheDeviceStack) {
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {}, "deep"));
  // "\Zeltrovan" and one-letter folders below it while room more units still fit 259. The trees
  // go in and are read as the device sees them: a Windows host cannot list one this deep.
  auto deepest = [](ZChar letter, size_t room) {
    ZString path = ZT("\\Zeltrovan");
    while (path.size() + 2 + room <= 259) path += {ZT('\\'), letter};
    return path;
  };
  ZString old = ZT("\\Zeltrovan");
  while (old.size() + 2 + strlen("\\*.*") <= 259) {
    old += ZT("\\o");
    ASSERT_EQ(PlatCreateDirectory(old.c_str()), PLAT_OK);
  }
  ASSERT_EQ(WriteDeviceFile(old + ZT("\\f"), "old"), PLAT_OK);
  fs::path updater = Updater(root.path());
  if (kWin32Backend) {
    updater = root.path() / "SDMMC" / fs::path(ZELT_STACK_UPDATER_EXE).filename();
    fs::copy_file(ZELT_STACK_UPDATER_EXE, updater);
  } else {
    ASSERT_EQ(PlatTestLimitChildStack(PLAT_DEVICE_STACK), PLAT_OK);
  }
  Outcome first = RunWaited(updater);
  Outcome second = RunWaited(updater);
  if (!kWin32Backend) PlatTestLimitChildStack(0);
  ExpectOutcome(first, kSuccessStages, true);
  ExpectOutcome(second, kSuccessStages, true);
  // The package's tree (tests/make_packages.py): its deepest folder, and a file as deep as its
  // name lets it be; nothing of the old one.
  ZUInt32 attributes = 0;
  EXPECT_EQ(PlatGetFileAttributes(deepest(ZT('d'), strlen("\\*.*")).c_str(), &attributes), PLAT_OK);
  EXPECT_EQ(attributes & PLAT_ATTR_DIRECTORY, PLAT_ATTR_DIRECTORY);
  EXPECT_EQ(DeviceContents(deepest(ZT('d'), strlen("\\deep.txt")) + ZT("\\deep.txt")), "deep\n");
  EXPECT_EQ(DeviceContents(ZT("\\Zeltrovan\\o")), NotFound());
}

TEST(UpdateTest, SymbolicLinksAreRemovedNotFollowed) {
  SKIP_ON_WIN32("the device has no symbolic links, and deleting one under Wine deletes its target");
  ScratchDir root;
  ScratchDir outside;
  WriteFile(outside.path() / "dir/inner.txt", "outside folder");
  WriteFile(outside.path() / "file.txt", "outside file");
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {{"app.exe", "old app"}, {"sub/", ""}}));
  fs::path install = root.path() / "Zeltrovan";
  fs::create_directory_symlink(outside.path() / "dir", install / "linkdir");
  fs::create_symlink(outside.path() / "file.txt", install / "sub/linkfile");
  fs::create_symlink("../SDMMC/Zeltrovan.7z", install / "package-link");
  std::string package = ReadFile(PackagePath(root.path()));

  ExpectOutcome(RunWaited(Updater(root.path())), kSuccessStages, true);
  ExpectTree(install, UpdateFiles());
  ExpectTree(outside.path(), {{"dir/inner.txt", "outside folder"}, {"file.txt", "outside file"}});
  EXPECT_EQ(ReadFile(PackagePath(root.path())), package);
}

TEST(UpdateTest, MissingInstallDirectoryFailsAtTarget) {
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {}));
  fs::remove(root.path() / "Zeltrovan");
  ExpectOutcome(RunWaited(Updater(root.path())),
                AfterBanner({LINE_BEGIN_REMOVE, LINE_REMOVE_OK, LINE_OPEN_FROMFILE_OK, LINE_OPEN_TOFILE_FAIL}),
                false);
  EXPECT_FALSE(fs::exists(root.path() / "Zeltrovan"));
}

TEST(UpdateTest, ExecutableOutsideDeviceRootFindsNoPackage) {
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), kInstalled));
  Outcome run = RunWaited(ZELT_UPDATE_EXE);
  ExpectOutcome(run, AfterBanner({LINE_OPEN_FROMFILE_FAIL}), false);
  EXPECT_NE(run.errors.find("zelt-update: the executable has no path on the device"),
            std::string::npos)
      << run.errors;
  ExpectTree(root.path() / "Zeltrovan", kInstalled);
}

// A missing package deletes nothing. Before it, a run nobody waited for leaves its success event
// set where events outlive their last handle (POSIX): the waiter clears it before it starts.
TEST(UpdateTest, MissingPackageDeletesNothingWhateverAnEarlierRunSignalled) {
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), kInstalled));
  ScratchDir alone;
  EXPECT_EQ(RunProgram({Updater(root.path()).string()}, alone.path() / "log", alone.path() / "errors"), 0);
  EXPECT_EQ(ParseLog(ReadFile(alone.path() / "log")).stages, kSuccessStages);
  fs::remove(PackagePath(root.path()));
  const Files before = Snapshot(root.path() / "Zeltrovan");
  Outcome run = RunWaited(Updater(root.path()));
  ExpectOutcome(run, AfterBanner({LINE_OPEN_FROMFILE_FAIL}), false);
  EXPECT_NE(run.errors.find("zelt: Zeltrovan.7z: cannot open the package: not found\n"), std::string::npos)
      << run.errors;
  EXPECT_EQ(Snapshot(root.path() / "Zeltrovan"), before);
}

// A package that brings read-only files and folders leaves them for the next update, which must
// replace them like any other file, and so must every update after it.
TEST(UpdateTest, ReadOnlyFilesOfAnEarlierPackageAreReplaced) {
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {{"old.txt", "old"}}, "read-only"));
  for (int run = 1; run <= 3; run++) {
    SCOPED_TRACE("update " + std::to_string(run));
    ExpectOutcome(RunWaited(Updater(root.path())), kSuccessStages, true);
    std::string difference;
    EXPECT_TRUE(SameTree(PackedTree("read-only"), root.path() / "Zeltrovan", &difference)) << difference;
    EXPECT_TRUE(IsReadOnly(root.path() / "Zeltrovan/readme.txt"));
  }
}

// Two runs on one device: a run started while another holds the run lock changes nothing and
// sets no event, and a run after the holder was killed goes ahead.
TEST(UpdateTest, OneRunAtATime) {
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), kInstalled));
  {
    const ZString lock = kRunLockName;
    HeldByOtherProcess first(root.path(), std::string(lock.begin(), lock.end()), "lock");
    Outcome second = RunWaited(Updater(root.path()));
    EXPECT_EQ(ParseLog(second.log).stages, AfterBanner({LINE_RUN_LOCK_FAIL}));
    EXPECT_EQ(second.updaterExit, kUpdaterFailed);
    EXPECT_EQ(second.waitExit, 2);
    EXPECT_NE(second.errors.find("without setting an event"), std::string::npos)
        << second.errors;
    ExpectTree(root.path() / "Zeltrovan", kInstalled);
    EXPECT_EQ(LastLogFileLine(root.path()).rfind(kLockedOutcome, 0), 0u) << LastLogFileLine(root.path());
    first.Kill();
  }
  ExpectOutcome(RunWaited(Updater(root.path())), kSuccessStages, true);
  ExpectTree(root.path() / "Zeltrovan", Union(UpdateFiles(), kMarkers));
}

// A whole run that meets a failed OS call (tests/cut_updater.cpp), at each stage: what it does is
// pinned by its stages, its reason, its outcome and the files it leaves. The run writes nine log
// lines before the copy; the copy of the small package is one write, at its close.
TEST(UpdateTest, WholeRunsMeetingAFailedCall) {
  const Files& package = UpdateFiles();
  auto names = [](const Files& files) {
    std::set<std::string> kept;
    for (auto& [name, bytes] : files) {
      if (name.back() != '/') kept.insert(name);
    }
    return kept;
  };
  struct Row {
    std::vector<std::string> plan;  // call, nth, fault
    std::vector<int> stages;
    std::string reason;  // on standard error; empty for a run that succeeds
    Files left;          // the files the install then holds, by name
  };
  std::vector<Row> rows = {
      // The free space cannot be known: nothing is deleted on a guess.
      {{"statvfs", "1", "error"}, AfterBanner({LINE_FREE_SPACE_FAIL}),
       "zelt: cannot learn the free space of \\Zeltrovan's volume: the medium failed", kInstalled},
      // Ten log lines come before the copy's one write (the run's line, the banner, the package's
      // identity, five stages); the unpacking's first file is the sixteenth write.
      {{"write", "11", "error"}, AfterCopyBegan({LINE_COPY_FAIL, LINE_END}),
       "zelt: the package copy is incomplete: ", Union(kMarkers, {{"Zeltrovan.7z", ""}})},
      // A write that moves part of its bytes is carried on, not taken for a full volume.
      {{"write", "11", "short"}, kSuccessStages, "", Union(kMarkers, package)},
      {{"write", "16", "error"}, AfterCopyBegan({LINE_COPY_OK, LINE_EXTRACT_FAIL, LINE_END}),
       "zelt: ZELTROVAN\\bin\\app.exe: cannot close the file",
       Union(kMarkers, {{"Zeltrovan.7z", ""}, {"bin/app.exe", ""}})},
      // What was written may not be on the medium: no success. The volume is flushed once, at the
      // end (the host's syncfs, the device's FSCTL_FLUSH_BUFFERS).
      {{kWin32Backend ? "fsctl" : "flush", "1", "error"},
       AfterCopyBegan({LINE_COPY_OK, LINE_EXTRACT_OK, LINE_FLUSH_FAIL, LINE_END}),
       "zelt: the install volume cannot be flushed", Union(kMarkers, package)},
  };
  // The PC flushes each file it wrote as well, the package copy first after the log lines.
  if (kWin32Backend) {
    rows.push_back({{"flush", "11", "error"}, AfterCopyBegan({LINE_COPY_FAIL, LINE_END}),
                    "zelt: the package copy is incomplete: ", Union(kMarkers, {{"Zeltrovan.7z", ""}})});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.plan));
    ScratchDir root;
    ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), kInstalled));
    const fs::path faulty = root.path() / "SDMMC" / fs::path(ZELT_CUT_UPDATER_EXE).filename();
    fs::copy_file(ZELT_CUT_UPDATER_EXE, faulty);
    Outcome run = RunWaited(faulty, row.plan);
    ExpectOutcome(run, row.stages, row.reason.empty());
    EXPECT_NE(run.errors.find(row.reason), std::string::npos) << run.errors;
    EXPECT_EQ(names(Snapshot(root.path() / "Zeltrovan")), names(row.left));
    const char* outcome = row.reason.empty()      ? kInstalledOutcome
                          : row.left == kInstalled ? kRefusedOutcome
                                                   : kIncompleteOutcome;
    EXPECT_EQ(LastLogFileLine(root.path()).rfind(outcome, 0), 0u) << LastLogFileLine(root.path());
  }
}

// An updater started from the install directory or below it would delete itself and its package
// with the application; it refuses, however the device spells the folder.
TEST(UpdateTest, UpdaterInsideTheInstallDirectoryDeletesNothing) {
  struct Place {
    std::string install;  // the install directory as spelt on disk
    std::string exeDir;   // the updater's folder inside it
  };
  for (const Place& place : {Place{"Zeltrovan", ""}, Place{"Zeltrovan", "upd"}, Place{"zeltrovan", "Upd"}}) {
    SCOPED_TRACE(place.install + "/" + place.exeDir);
    ScratchDir root;
    ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), kInstalled, "update", "Zeltrovan/" + place.exeDir));
    fs::rename(root.path() / "Zeltrovan", root.path() / place.install);
    fs::path install = root.path() / place.install;
    Files before = Snapshot(install);
    Outcome run = RunWaited(install / place.exeDir / fs::path(ZELT_UPDATE_EXE).filename());
    ExpectOutcome(run, AfterBanner({LINE_UPDATER_INSIDE}), false);
    EXPECT_NE(run.errors.find("zelt: the updater lies inside \\Zeltrovan"), std::string::npos) << run.errors;
    EXPECT_EQ(Snapshot(install), before);
  }
}

// A folder that cannot be read (here: no descriptor left in a deep tree) may hold old files that
// would stay beside the new install: the run refuses before anything is deleted.
TEST(UpdateTest, FolderThatCannotBeReadRefusesTheRun) {
  SKIP_ON_WIN32("limits the updater's descriptors through a POSIX shell");
  ScratchDir root;
  std::string deep = "Zeltrovan";
  for (int level = 0; level < 200; level++) deep += "/d";
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {{"app.exe", "old app"}}));
  WriteFile(root.path() / deep / "old.txt", "old");
  fs::path limited = root.path() / "SDMMC/limited.sh";
  WriteFile(limited, "#!/bin/sh\nulimit -n 64 && exec $ZELT_CHILD_RUNNER \"$(dirname \"$0\")/zelt-update\"\n");
  fs::permissions(limited, fs::perms::owner_exec, fs::perm_options::add);
  Files before = Snapshot(root.path() / "Zeltrovan");
  ExpectOutcome(RunWaited(limited), AfterBanner({LINE_READ_INSTALL_FAIL}), false);
  EXPECT_EQ(Snapshot(root.path() / "Zeltrovan"), before);
}

// The copy's bytes reach the medium as it is closed: a close that cannot write them (here: past
// the updater's file size limit, 2 KiB under sh) fails the run at the copy, not the unpacking.
TEST(UpdateTest, CopyWhoseCloseFailsFailsTheRun) {
  SKIP_ON_WIN32("limits the updater's file size through a POSIX shell");
  ScratchDir root;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {{"app.exe", "old app"}}));
  ASSERT_GT(fs::file_size(root.path() / "SDMMC/Zeltrovan.7z"), 2048u);
  fs::path limited = root.path() / "SDMMC/limited.sh";
  WriteFile(limited,
            "#!/bin/sh\ntrap '' XFSZ && ulimit -f 4 && exec $ZELT_CHILD_RUNNER \"$(dirname \"$0\")/zelt-update\"\n");
  fs::permissions(limited, fs::perms::owner_exec, fs::perm_options::add);
  Outcome run = RunWaited(limited);
  ExpectOutcome(run, AfterCopyBegan({LINE_COPY_FAIL, LINE_END}), false);
  EXPECT_NE(run.errors.find("and its close failed"), std::string::npos) << run.errors;
}

// Host only: text quoted for a POSIX shell.
std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs the device's updater under the waiting side with the install directory on a volume of
// its own of volumeKiB, holding installed: a mount of a small memory volume, in a user and mount
// namespace of the run's own. *after receives the install directory as the run left it.
Outcome RunOnSmallVolume(const fs::path& root, int volumeKiB, const Files& installed, Files* after) {
  ScratchDir staged, output;
  WriteFiles(staged.path() / "install", installed);
  fs::create_directories(output.path() / "after");
  fs::path out = output.path(), install = root / "Zeltrovan";
  std::string script =
      "mount -t tmpfs -o size=" + std::to_string(volumeKiB) + "k zelt " + Quote(install.string()) +
      " && cp -a " + Quote((staged.path() / "install").string() + "/.") + " " +
      Quote(install.string()) + " && $ZELT_CHILD_RUNNER " + Quote(ZELT_WAIT_EXE) +
      " --timeout 60 /bin/sh -c " +
      Quote("$ZELT_CHILD_RUNNER " + Quote(Updater(root).string()) + "; echo $? > " + Quote((out / "status").string())) +
      " > " + Quote((out / "log").string()) + " 2> " + Quote((out / "errors").string()) +
      "; echo $? > " + Quote((out / "wait").string()) + "; cp -a " + Quote(install.string() + "/.") +
      " " + Quote((out / "after").string());
  EXPECT_EQ(RunProgram({"unshare", "-rm", "sh", "-c", script}, out / "shell", out / "shell"), 0)
      << script << "\n" << ReadFile(out / "shell");
  Outcome run;
  run.log = ReadFile(out / "log");
  run.errors = ReadFile(out / "errors");
  std::string wait = ReadFile(out / "wait"), status = ReadFile(out / "status");
  if (!wait.empty()) run.waitExit = std::stoi(wait);
  if (!status.empty()) run.updaterExit = std::stoi(status);
  *after = Snapshot(out / "after");
  return run;
}

// Free space plus what the clean frees must hold the package copy and every unpacked item, in
// the volume's whole clusters, or a full medium would fail the extraction with the old install
// already gone. The small volume has 4 KiB clusters.
TEST(UpdateTest, RunRefusesWhenTheVolumeCannotHoldTheResult) {
  SKIP_ON_WIN32("mounts a small volume in a user namespace");
  {
    ScratchDir probe;
    if (RunProgram({"unshare", "-rm", "true"}, probe.path() / "out", probe.path() / "out") != 0) {
      GTEST_SKIP() << "needs a user and mount namespace (unshare -rm) for a small volume";
    }
  }
  // Text packs to a few KiB, so the package itself is small.
  const Files installed = {{"old.bin", SampleBytes(300 * 1024, 5)}, {"EMMC_Check_File.txt", "m"}};
  struct Row {
    std::string why;
    std::string package;
    int volumeKiB;
    bool fits;
  };
  const Row rows[] = {
      {"the files the clean deletes make the room", "table", 512, true},
      {"too large even so", "three-tables", 512, false},
      {"3,000 small files: 300 KB of bytes, 12 MB of clusters", "small-files", 8 * 1024, false},
      {"3,000 small files on a volume that holds them", "small-files", 16 * 1024, true},
      {"room for the items, not for the package copy", "incompressible", 700, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    ScratchDir root;
    ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {}, row.package));
    Files after;
    Outcome run = RunOnSmallVolume(root.path(), row.volumeKiB, installed, &after);
    if (row.fits) {
      ExpectOutcome(run, kSuccessStages, true);
      Files expected = Snapshot(PackedTree(row.package));
      expected["EMMC_Check_File.txt"] = "m";
      EXPECT_EQ(after, expected);
    } else {
      ExpectOutcome(run, AfterBanner({LINE_FREE_SPACE_FAIL}), false);
      EXPECT_NE(run.errors.find("zelt: the volume is too small: the update needs "), std::string::npos)
          << run.errors;
      EXPECT_NE(run.errors.find(" more on the volume; nothing was changed\n"), std::string::npos)
          << run.errors;
      EXPECT_EQ(after, installed);
    }
  }
}

// An earlier run in the log file, blank line included, of kOldRunBytes.
const size_t kOldRunBytes = 10000;
std::string OldRun(int number) {
  std::string run = "\n[ZELT_UPDATE] New run: Time: " + std::to_string(number) + "\n";
  run.resize(kOldRunBytes - 1, 'x');
  return run + "\n";
}

// The updater keeps its log in "zelt-update.log" beside it as well, after a line that opens the
// run: bounded, and never in the way of the run, whose outcome stays the same whatever the file.
TEST(UpdateTest, LogFileBesideTheUpdaterKeepsTheLastRuns) {
  std::string longLog;  // 600 KB: over the bound; the 13 runs that start in its last 128 KB stay
  for (int i = 0; i < 60; i++) longLog += OldRun(i);
  const std::string shortLog = OldRun(1).substr(1);
  struct Row {
    const char* why;
    const char* state;  // the log file before the run: "none", "written", "held", "read-only"
    std::string before;
    std::string kept;   // what the log file holds in front of this run's lines
    bool written;       // whether the run's lines are in it
    bool unfinished;    // whether they name the earlier run as cut short
  };
  const std::string endedLog = shortLog + kInstalledOutcome + "\n";
  const std::string longLastRun = "\n[ZELT_UPDATE] New run: Time: 99\n" + std::string(200 * 1024, 'y') + "\n";
  const Row rows[] = {
      {"the first run makes the log", "none", "", "", true, false},
      {"a run goes after the earlier ones, the last cut short", "written", shortLog, shortLog + "\n", true,
       true},
      {"a run goes after one that ended", "written", endedLog, endedLog + "\n", true, false},
      {"over the bound the runs of the last 128 KB stay", "written", longLog,
       longLog.substr(longLog.size() - 13 * kOldRunBytes + 1) + "\n", true, true},
      {"a last run longer than 128 KB stays whole", "written", longLog + longLastRun, longLastRun.substr(1) + "\n",
       true, true},
      {"a log another program holds stays as it was", "held", shortLog, shortLog, false, false},
      {"a read-only log stays as it was", "read-only", shortLog, shortLog, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    ScratchDir root;
    ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {}));
    const fs::path file = root.path() / "SDMMC" / "zelt-update.log";
    if (std::string(row.state) != "none") WriteFile(file, row.before);
    if (std::string(row.state) == "read-only") fs::permissions(file, kWriteBits, fs::perm_options::remove);
    std::unique_ptr<HeldByOtherProcess> holder;
    if (std::string(row.state) == "held")
      holder = std::make_unique<HeldByOtherProcess>(root.path(), "\\SDMMC\\zelt-update.log");
    Outcome run = RunWaited(Updater(root.path()));
    ExpectOutcome(run, kSuccessStages, true);
    ExpectTree(root.path() / "Zeltrovan", UpdateFiles());
    if (holder) {
      EXPECT_EQ(holder->Release(), 0);
    }
    std::string text = ReadFile(file);
    if (!row.written) {
      EXPECT_TRUE(text == row.kept) << text.size() << " bytes";
      continue;
    }
    // The updater's standard output, byte for byte: all of the run's output but the verdict.
    const std::string output = run.log.substr(0, run.log.rfind("success\n"));
    const std::string head = row.kept + "[ZELT_UPDATE] New run: Time: ";
    size_t tickEnd = text.find_first_not_of("0123456789", head.size());
    ASSERT_TRUE(text.compare(0, head.size(), head) == 0) << text.size() << " bytes";
    EXPECT_GT(tickEnd, head.size());
    const std::string lines = text.substr(tickEnd);
    EXPECT_EQ(SharedWithOutput(lines), "\n" + output);
    EXPECT_EQ(lines.find(kUnfinishedLine) != std::string::npos, row.unfinished) << lines;
    const std::string package = ReadFile(PackagePath(root.path()));
    CrcGenerateTable();
    char identity[80];
    std::snprintf(identity, sizeof identity, "\n[ZELT_UPDATE] Package: %zu bytes, CRC-32 %08X\n",
                  package.size(), static_cast<unsigned>(CrcCalc(package.data(), package.size())));
    EXPECT_NE(lines.find(identity), std::string::npos) << lines;
    EXPECT_EQ(LastLogFileLine(root.path()), kInstalledOutcome);
  }
}

// Item names reach the log as each item begins, so a run cut short (power, a kill) leaves a log
// up to the item it was working on. Here the run is killed once an item half way through a large
// package is on disk: its name must be in the log already.
TEST(UpdateTest, ItemNamesReachTheLogAsTheRunGoes) {
  ScratchDir root, output;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {}, "large"));
  const std::string updater = Updater(root.path()).string();
  const char* argv[] = {updater.c_str(), nullptr};
  const std::string log = (output.path() / "log").string(), errors = log + ".errors";
  PlatProcess* run = nullptr;
  ASSERT_EQ(PlatProcessStartRedirected(argv, log.c_str(), errors.c_str(), &run), PLAT_OK);
  const fs::path item = root.path() / "Zeltrovan/mod24/f2.dat";
  for (int i = 0; i < 120000 && !fs::exists(item); i++)
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  EXPECT_EQ(PlatProcessKill(run), PLAT_OK);
  int exitCode = 0;
  EXPECT_EQ(PlatProcessWait(run, 20000, &exitCode), PLAT_OK);
  EXPECT_EQ(exitCode, -1) << "the run was not cut before its end";
  std::string text = ReadFile(log);
  // A name goes out whole, its line ending with the next name.
  EXPECT_NE(text.find("\nmod24/f2.dat"), std::string::npos) << text;
  EXPECT_LT(text.find("\nmod1/f0.dat\n"), text.find("\nmod24/f2.dat"));
  // The log file beside the updater holds what standard output did, stage lines at once.
  std::string file = ReadFile(root.path() / "SDMMC" / "zelt-update.log");
  EXPECT_NE(file.find("\nmod24/f2.dat"), std::string::npos) << "the name of the item being unpacked";
  file = SharedWithOutput(file.erase(0, file.find('\n') + 1));
  EXPECT_EQ(text.compare(0, file.size(), file), 0) << file;
  EXPECT_GE(file.size(), text.find("main:copy data success\n")) << file;
}

// A waiter that gives up leaves the events in place and says which updater is still running, so
// that the outcome it sets later is not lost. The waiter gives up at once; the updater has a
// large package to install.
TEST(UpdateTest, WaiterTimeoutLeavesTheEventsForALateOutcome) {
  ScratchDir root, output;
  ASSERT_NO_FATAL_FAILURE(MakeDevice(root.path(), {}, "large"));
  fs::path log = output.path() / "log", errors = output.path() / "errors";
  EXPECT_EQ(RunProgram({ZELT_WAIT_EXE, "--timeout", "0", Updater(root.path()).string()}, log, errors), 2);
  // Held from here on, the events outlive the updater on every backend.
  PlatEvent* events[2] = {nullptr, nullptr};
  ASSERT_EQ(PlatEventOpen(kSuccessEventName, &events[0]), PLAT_OK);
  ASSERT_EQ(PlatEventOpen(kFailEventName, &events[1]), PLAT_OK);
  const std::string said =
      "zelt-wait: no outcome within the timeout; the updater is still running (process id ";
  std::string message = ReadFile(errors);
  size_t at = message.find(said);
  EXPECT_NE(at, std::string::npos) << message;
  if (at != std::string::npos && !kWin32Backend) {
    std::string pid = message.substr(at + said.size());
    pid = pid.substr(0, pid.find(')'));
    // Under an emulator the process is the emulator running the updater.
    const std::string program = ChildRunner().empty() ? "zelt-update" : ChildRunner();
    EXPECT_EQ(ReadFile("/proc/" + pid + "/comm"), fs::path(program).filename().string() + "\n")
        << "process " << pid;
  }

  for (int i = 0; i < 1200 && ReadFile(log).find("main:UPDATE END") == std::string::npos; i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_NE(ReadFile(log).find("main:UPDATE END"), std::string::npos) << ReadFile(log);
  ExpectTree(root.path() / "Zeltrovan", Snapshot(PackedTree("large")));
  int signalled = -1;
  EXPECT_EQ(PlatEventWaitAny(events, 2, 0, &signalled), PLAT_OK);
  EXPECT_EQ(signalled, 0);
  for (int i = 0; i < 2; i++) PlatEventClose(events[i]);
  PlatEventDelete(kSuccessEventName);
  PlatEventDelete(kFailEventName);
}

}  // namespace
