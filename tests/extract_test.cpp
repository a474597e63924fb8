// Extraction into a scratch device of the packages made before the tests run, and of the few
// hand-made ones in fixtures/ that 7zz refuses to make: what is printed, what is left on disk,
// and the result.
#include "device_test.h"
#include "extractor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "failure_reason.h"
#include "item_path.h"
#include "package_check.h"
#include "platform.h"
#include "platform_testing.h"

namespace {

const std::string kEverythingOk = "\nEverything is Ok\n";

std::string Error(const std::string& message) { return "\n [ZELT_UPDATE]  ERROR: " + message + "\n"; }

struct Outcome {
  int result;
  std::string console;
  std::string reasons;  // standard error
};

Outcome Capture(const std::function<int()>& call) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int result = call();
  fflush(stdout);
  std::string console = testing::internal::GetCapturedStdout();
  return {result, console, testing::internal::GetCapturedStderr()};
}

// Every entry below root, relative, with "/" separators.
std::set<std::string> Entries(const fs::path& root) {
  std::set<std::string> names;
  for (auto& entry : fs::recursive_directory_iterator(root)) {
    names.insert(PathBelow(entry.path(), root).generic_u8string());
  }
  return names;
}

void MakeReadOnly(const fs::path& path) {
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

// Flips bytes in the middle of a package, inside the packed data of its middle item or block.
void CorruptMiddle(const fs::path& package) {
  std::string bytes = ReadFile(package);
  for (size_t i = bytes.size() / 2 - 8; i < bytes.size() / 2 + 8; i++)
    bytes[i] = static_cast<char>(~bytes[i]);
  WriteFile(package, bytes);
}

class ExtractTest : public PackageTest {
 protected:
  void UseFixture(const char* name) {
    fs::copy_file(fs::path(ZELT_FIXTURES_DIR) / name, Package());
  }
  Outcome Extract(const char* outDir = "out") {
    return Capture([&] { return ExtractFile("pkg\\p.7z", outDir); });
  }
};

TEST_F(ExtractTest, PrintsFoldersWithSlashAndFindsOutDirWithoutCase) {
  Use("app-in-bin");
  fs::create_directory(device_.path() / "Zeltrovan");
  Outcome run = Capture([] { return ExtractFile("PKG\\P.7Z", "ZELTROVAN"); });
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.console, "bin/\nbin/app.exe\n" + kEverythingOk);
  EXPECT_EQ(ReadFile(device_.path() / "Zeltrovan" / "bin" / "app.exe"), "app");
  EXPECT_EQ(Entries(device_.path()), (std::set<std::string>{"Zeltrovan", "Zeltrovan/bin",
                                                            "Zeltrovan/bin/app.exe", "out", "pkg",
                                                            "pkg/p.7z"}))
      << "no second folder in another case";
}

TEST_F(ExtractTest, EmptyPackagePrintsOnlyEverythingIsOk) {
  Use("empty");
  ASSERT_EQ(fs::file_size(Package()), 32u);
  Outcome run = Extract();
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.console, kEverythingOk);
  EXPECT_TRUE(fs::is_empty(Out()));
}

TEST_F(ExtractTest, CreatesEveryFolderOnAnItemsPath) {
  // Made from the items a/a.txt, a/b/c.txt and d/e, with no items for the folders on the way.
  Use("named-items");
  Outcome run = Extract();
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.console, "d/e/\na/a.txt\na/b/c.txt\n" + kEverythingOk);
  EXPECT_EQ(Entries(Out()), (std::set<std::string>{"a", "a/a.txt", "a/b", "a/b/c.txt", "d", "d/e"}));
  EXPECT_EQ(ReadFile(Out() / "a" / "b" / "c.txt"), "c");
}

// The console takes names in its own code page: UTF-8 on a POSIX host, the OEM code page on
// Windows, which the Wine run sets to the device's 936.
TEST_F(ExtractTest, ChineseNamesPrintInTheConsoleCodePageAndNarrowOutDirIsCodePage936) {
  Use("chinese");
  fs::create_directory(device_.path() / fs::u8path("中文"));
  Outcome run = Extract("\xD6\xD0\xCE\xC4");
  EXPECT_EQ(run.result, 0);
  const std::string name = kWin32Backend ? "\xCB\xB5\xC3\xF7.txt" : "说明.txt";
  EXPECT_EQ(run.console, name + "\n" + kEverythingOk);
  EXPECT_EQ(ReadFile(device_.path() / fs::u8path("中文/说明.txt")), "text");
}

TEST_F(ExtractTest, RefusesItemsThatWouldLandOutsideOutDir) {
  UseFixture("unsafe_names.7z");
  Outcome run = Extract();
  EXPECT_EQ(run.result, 1);
  std::string console = "first.txt\n";
  for (const char* name :
       {"../evil.txt", "a/../../up.txt", "a\\..\\..\\back.txt", "/abs.txt", "\\root.txt", "C:drive.txt"}) {
    console += name + Error("unsafe item path, item skipped");
  }
  EXPECT_EQ(run.console, console + "dots..txt\nlast.txt\n");
  EXPECT_EQ(Entries(device_.path()), (std::set<std::string>{"out", "out/first.txt", "out/dots..txt",
                                                            "out/last.txt", "pkg", "pkg/p.7z"}));
}

TEST_F(ExtractTest, EmptyItemNameStopsTheWalk) {
  UseFixture("empty_name.7z");
  Outcome run = Extract();
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.console, "first.txt\n");
  EXPECT_EQ(Entries(Out()), std::set<std::string>{"first.txt"});
}

TEST_F(ExtractTest, RefusesOutDirAndPackagePathsOver259Units) {
  // "\" + 199 + "\" + 58 = 259 units: the longest path that fits.
  const std::string folder(199, 'd');
  const std::string longOut = "\\" + folder + "\\" + std::string(58, 'e');
  const std::string longPackage = "\\" + folder + "\\" + std::string(55, 'p') + ".7z";
  const fs::path device = LongPath(device_.path());
  fs::create_directories(device / folder / std::string(58, 'e'));
  fs::copy_file(PremadePackage("empty"), device / folder / (std::string(55, 'p') + ".7z"));
  Outcome fits = Capture([&] { return ExtractFile(longPackage.c_str(), longOut.c_str()); });
  EXPECT_EQ(fits.result, 0);
  EXPECT_EQ(fits.console, kEverythingOk);

  Outcome outTooLong = Capture([&] { return ExtractFile(longPackage.c_str(), (longOut + "e").c_str()); });
  EXPECT_EQ(outTooLong.result, 1);
  EXPECT_EQ(outTooLong.console, Error("output directory path too long"));
  ZString wideOut(260, ZT('o'));
  Outcome wideTooLong = Capture([&] { return ExtractPackage(ZT("pkg\\p.7z"), wideOut.c_str()); });
  EXPECT_EQ(wideTooLong.result, 1);
  EXPECT_EQ(wideTooLong.console, Error("output directory path too long"));
  Outcome packageTooLong = Capture([&] { return ExtractFile(("d" + longPackage).c_str(), "out"); });
  EXPECT_EQ(packageTooLong.result, 1);
  EXPECT_EQ(packageTooLong.console, Error("package path too long"));
}

// An item is written only where the device could create its path and list every folder on its
// way again ("\*.*" behind it), each path counted from the root: the next update must walk it.
TEST_F(ExtractTest, SkipsItemWhosePathTheDeviceCannotTake) {
  using Files = std::map<std::string, std::string>;
  const std::string a(120, 'a');
  struct Row {
    const char* package;
    std::string outDir;  // "ZELTROVA?": 11 units with the root and separator, as "\ZELTROVAN\"
    Files written;
    const char* why;
  };
  const Row rows[] = {
      {"long-names", std::string(199, 'o'), {{std::string(54, 'x') + ".txt", "fits"}},
       "files of 259 and 260 units from the root"},
      {"path-at-limit", "ZELTROVA1",
       {{a + "/" + std::string(123, 'b') + "/x", "x"}, {a + "/" + std::string(127, 'c'), "c"}},
       "a folder of 255 units, files of 257 and 259"},
      {"bsdtar-path-at-limit", "ZELTROVA5",
       {{a + "/" + std::string(123, 'b') + "/x", "x"}, {a + "/" + std::string(127, 'c'), "c"}},
       "the same items named \"./\" and on, and the folder \".\""},
      {"path-over-folder", "ZELTROVA2", {{a + "/", ""}}, "a folder of 256 units"},
      {"path-over-file", "ZELTROVA3", {{a + "/", ""}}, "a file of 260 units"},
      {"path-over-file-folder", "ZELTROVA4", {}, "a file in a folder of 256 units"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    fs::remove(Package());
    Use(row.package);
    const ZString outDir(row.outDir.begin(), row.outDir.end());
    ASSERT_EQ(PlatCreateDirectory(outDir.c_str()), PLAT_OK);
    bool fits = std::string(row.package).find("path-at-limit") != std::string::npos;
    EXPECT_EQ(TestPackage(ZT("pkg\\p.7z"), outDir.c_str(), ZT("p.7z")), fits ? 0 : 1);
    Outcome run = Extract(row.outDir.c_str());
    EXPECT_EQ(run.result, fits ? 0 : 1);
    bool refused = run.console.find(Error("item path too long, item skipped")) != std::string::npos;
    EXPECT_EQ(refused, !fits) << run.console;
    EXPECT_EQ(DeviceTree(outDir), row.written);
  }
}

TEST_F(ExtractTest, FileThatCannotBeCreatedAndLeavesNoneFailsTheRun) {
  Use("three-files");
  struct Case {
    const char* obstacle;
    const char* console;
  };
  const Case cases[] = {
      {"a.bin", "sub/\na.bin\n [ZELT_UPDATE]  ERROR: can not open output file\nb.txt\nsub/x.txt\n"},
      {"sub",
       "sub/\n [ZELT_UPDATE]  ERROR: can not create output directory\n"
       "a.bin\nb.txt\nsub/x.txt\n [ZELT_UPDATE]  ERROR: can not open output file\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.obstacle);
    fs::remove_all(Out());
    // A folder where a file goes, or a file where a folder must be.
    if (std::string(c.obstacle) == "sub") {
      WriteFile(Out() / "sub", "in the way");
    } else {
      fs::create_directories(Out() / c.obstacle);
    }
    Outcome run = Extract();
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.console, c.console);
    EXPECT_EQ(ReadFile(Out() / "b.txt"), "bee\n");
  }
}

TEST_F(ExtractTest, EmptyFolderThatCannotBeCreatedFailsTheRun) {
  Use("empty-folder");
  WriteFile(Out() / "logs", "a file in the way");
  Outcome run = Extract();
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.console, "logs/" + Error("can not create output directory") + "app.exe\n");
  EXPECT_EQ(ReadFile(Out() / "app.exe"), "app");
}

TEST_F(ExtractTest, OlderFileLeftInPlaceIsReportedAndTheRunSucceeds) {
  Use("three-files");
  const std::string console =
      "sub/\na.bin" + Error("can not open output file") + "b.txt\nsub/x.txt\n" + kEverythingOk;
  WriteFile(Out() / "a.bin", "read-only");
  MakeReadOnly(Out() / "a.bin");
  Outcome readOnly = Extract();
  EXPECT_EQ(readOnly.result, 0);
  EXPECT_EQ(readOnly.console, console);
  EXPECT_EQ(ReadFile(Out() / "a.bin"), "read-only");
  EXPECT_TRUE(IsReadOnly(Out() / "a.bin"));

  // Windows deletes no read-only file, whoever asks.
  fs::permissions(Out() / "a.bin", fs::perms::owner_write, fs::perm_options::add);
  fs::remove_all(Out());
  fs::create_directory(Out());
  PlatFile* held = nullptr;
  ASSERT_EQ(PlatFileCreate(ZT("out\\a.bin"), &held), PLAT_OK);
  Outcome locked = Extract();
  EXPECT_EQ(PlatFileClose(held), PLAT_OK);
  EXPECT_EQ(locked.result, 0);
  EXPECT_EQ(locked.console, console);
  EXPECT_EQ(ReadFile(Out() / "sub" / "x.txt"), "x\n");
}

// a.bin is written straight through, b.txt is buffered until its close.
TEST_F(ExtractTest, WriteOrCloseFailureStopsTheWalk) {
  Use("three-files");
  struct Case {
    const char* call;
    int nth;
    PlatFault fault;
    const char* console;
    const char* reason;  // on standard error
  };
  const char* const kWriteFailed =
      "zelt: out\\a.bin: cannot write the file: the medium failed (the volume may be full)\n";
  const char* const kClosed = "zelt: out\\b.txt: cannot close the file (its last bytes did not reach the "
                              "medium): the medium failed (the volume may be full)\n";
  std::vector<Case> cases = {
      {"write", 1, PLAT_FAULT_NO_PROGRESS, "sub/\na.bin\n [ZELT_UPDATE]  ERROR: can not write output file\n",
       kWriteFailed},
      {"write", 1, PLAT_FAULT_ERROR, "sub/\na.bin\n [ZELT_UPDATE]  ERROR: can not write output file\n",
       kWriteFailed},
      {"close", 2, PLAT_FAULT_ERROR,
       "sub/\na.bin\nb.txt\n [ZELT_UPDATE]  ERROR: can not close output file\n", kClosed},
      {"write", 2, PLAT_FAULT_ERROR,
       "sub/\na.bin\nb.txt\n [ZELT_UPDATE]  ERROR: can not close output file\n", kClosed},
  };
  // The Win32 backend puts each written file on the medium as it closes it.
  if (kWin32Backend) {
    cases.push_back({"flush", 2, PLAT_FAULT_ERROR,
                     "sub/\na.bin\nb.txt\n [ZELT_UPDATE]  ERROR: can not close output file\n", kClosed});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.nth) + " " + std::to_string(c.fault));
    fs::remove_all(Out());
    fs::create_directory(Out());
    ASSERT_EQ(PlatTestInjectFault(c.call, c.nth, c.fault), 0);
    Outcome run = Extract();
    PlatTestClearFaults();
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.console, c.console);
    EXPECT_EQ(run.reasons, c.reason);
    EXPECT_FALSE(fs::exists(Out() / "sub" / "x.txt"));
  }
}

TEST_F(ExtractTest, StopsAtTheFirstItemThatCannotBeDecoded) {
  // Items f1.bin, f2.bin, ... of 30000 bytes each.
  struct Case {
    const char* package;
    const char* tree;
    bool corrupt;
    int written;  // the items before the failing one
  };
  const Case cases[] = {
      {"lzma-per-item", "three-blocks", true, 1},     // the middle item's own stream
      {"lzma2-three-blocks", "six-blocks", true, 2},  // the middle one of three solid blocks
      {"ppmd-one-block", "three-blocks", true, 0},    // one solid block
      {"bzip2", "three-blocks", false, 0},            // a method the decoder does not have
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.package);
    fs::remove_all(Out());
    fs::create_directory(Out());
    fs::remove(Package());
    Use(c.package);
    if (c.corrupt) CorruptMiddle(Package());
    Outcome run = Extract();
    EXPECT_EQ(run.result, 1);
    std::string console;
    std::set<std::string> written;
    for (int i = 1; i <= c.written; i++) {
      std::string name = "f" + std::to_string(i) + ".bin";
      console += name + "\n";
      written.insert(name);
      EXPECT_EQ(ReadFile(Out() / name), ReadFile(PackedTree(c.tree) / name));
    }
    EXPECT_EQ(run.console, console + "f" + std::to_string(c.written + 1) + ".bin");
    EXPECT_EQ(Entries(Out()), written);
  }
}

TEST_F(ExtractTest, UnusableInputsFailBeforeTheWalk) {
  Outcome missing = Extract();
  EXPECT_EQ(missing.result, 1);
  EXPECT_EQ(missing.console, Error("can not open input file"));
  Outcome folder = Capture([] { return ExtractFile("pkg", "out"); });
  EXPECT_EQ(folder.result, 1);
  EXPECT_EQ(folder.console, Error("can not open input file"));

  Use("one-file");
  const std::string archive = ReadFile(Package());
  for (const std::string& bytes :
       {std::string(), SampleBytes(1000, 4), archive.substr(0, archive.size() - 10)}) {
    WriteFile(Package(), bytes);
    Outcome run = Extract();
    EXPECT_EQ(run.result, 1) << bytes.size();
    EXPECT_EQ(run.console, "") << bytes.size();
  }
  WriteFile(Package(), archive);
  const std::function<int()> calls[] = {
      [] { return ExtractFile(nullptr, "out"); },
      [] { return ExtractFile("pkg\\p.7z", nullptr); },
      [] { return ExtractToDirectory(nullptr, ZT("out")); },
      [] { return ExtractToDirectory("pkg\\p.7z", nullptr); },
  };
  for (const auto& call : calls) {
    Outcome run = Capture(call);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.console, "");
  }
  EXPECT_TRUE(fs::is_empty(Out()));
}

// The block cache shows in the reads of the package: one decoding of a solid block takes a
// handful of reads, one per item would take forty.
TEST_F(ExtractTest, SolidBlockIsDecodedOnce) {
  Use("forty-small-solid");
  ASSERT_EQ(PlatTestInjectFault("read", 10, PLAT_FAULT_ERROR), 0);
  Outcome run = Extract();
  EXPECT_EQ(run.result, 0);
  std::string difference;
  EXPECT_TRUE(SameTree(PackedTree("forty-small"), Out(), &difference)) << difference;
}

// An output folder that is not there yet is made, parents and all, as a packer's -o makes it.
TEST(ExtractToolTest, MakesTheOutputFolderWithItsParents) {
  ScratchDir scratch;
  fs::path out = scratch.path() / "new" / "deeper" / "out";
  int status = RunProgram({ZELT_EXTRACT_EXE, PremadePackage("forty-small-solid").string(), out.string()},
                          scratch.path() / "log", scratch.path() / "errors");
  EXPECT_EQ(status, 0) << ReadFile(scratch.path() / "errors");
  std::string difference;
  EXPECT_TRUE(SameTree(PackedTree("forty-small"), out, &difference)) << difference;
}

// zelt-check: each reason the device refuses a package or treats an item specially, with the
// exit status (0 taken, 1 refused, 2 a usage error or no package) and the line that says why.
TEST(CheckToolTest, SaysWhetherTheDeviceTakesThePackageAndWhy) {
  ScratchDir scratch;
  const fs::path corrupt = scratch.path() / "corrupt.7z";
  fs::copy_file(PremadePackage("two-files-not-solid"), corrupt);
  CorruptMiddle(corrupt);
  // Under the name the device gives it, the updater's own test sees the clash with its copy.
  const fs::path asOnTheDevice = scratch.path() / "Zeltrovan.7z";
  fs::copy_file(PremadePackage("self-named-folder"), asOnTheDevice);
  auto premade = [](const char* name) { return PremadePackage(name).string(); };
  struct Row {
    std::string package;
    std::vector<std::string> options;
    int status;
    std::string says;
  };
  const Row rows[] = {
      {premade("update"), {}, 0, "note: ceusbkwrapperdrv.dll: the driver the clean leaves when it is in use"},
      {premade("anti-items"), {}, 0, "note: sub/gone.txt: anti-item"},
      {premade("read-only"), {}, 0, "note: bin/fonts: read-only"},
      {premade("blocked-item"), {}, 0, "warning: EMMC_Check_File.txt: a folder named like the marker file"},
      {premade("self-named"), {}, 1, "error: ZELTROVAN.7Z: named as the package's own copy"},
      {premade("self-named-folder"), {}, 1, "error: Zeltrovan.7z/notes.txt: named as the package's own copy"},
      {asOnTheDevice.string(), {}, 1, "error: Zeltrovan.7z/notes.txt: named as the package's own copy"},
      {corrupt.string(), {}, 1, "error: a.txt: data error (the package is damaged) [data-error]"},
      {premade("path-over-folder"), {}, 1, ": item path too long"},
      {premade("path-over-file-folder"), {}, 1, ": item path too long"},
      {premade("escaping"), {}, 1, "error: ../zelt-escaped.txt: unsafe item path"},
      {premade("bzip2"), {}, 1,
       "error: block 1: packed with BZip2, which the device cannot unpack: repack with -m0=LZMA2"},
      {premade("bzip2"), {}, 1, ": repack it as the device takes it: cd FOLDER && 7zz a -m0=LZMA2 -md=16m"},
      {premade("encrypted"), {}, 1,
       "error: block 1: encrypted (LZMA 7zAES): the device has no password: pack without -p"},
      {premade("encrypted-header"), {}, 1,
       "error: encrypted header (7zAES): the package needs a password, which the device does not have: pack "
       "without -p [encrypted-header]"},
      {premade("volumes-001"), {}, 2,
       "error: the package is truncated (it ends too early; the first volume of a split package ends so "
       "too: pack it as one file, without -v)"},
      {premade("ppmd-one-block"), {}, 0, "the device will take it: 0 errors"},
      {premade("ppmd-one-block"), {"--ram", "2"}, 1,
       "error: block 1: needs 2.5 MB to unpack (a 2.0 MB PPMd model); the device has 2.0 MB: repack with "
       "-m0=PPMd:mem=1m"},
      {premade("ppmd-one-block"), {"--ram", "3"}, 0,
       "0 errors, 0 warnings, 0 notes; largest block 2.5 MB of 3.0 MB"},
      {premade("three-tables"), {"--ram", "1"}, 1,
       "needs 1.2 MB to unpack (a 0.9 MB dictionary); the device has 1.0 MB: repack with -md=512k"},
      {std::string(ZELT_FIXTURES_DIR) + "/huge_model.7z", {}, 1,
       "needs over 4096.3 MB to unpack (a 4096.0 MB PPMd model); the device has 32.0 MB: repack with "
       "-m0=PPMd:mem=16m"},
      {premade("small-files"), {"--free", "90"}, 1,
       "error: needs 95.0 MB in whole 32 KB clusters (its copy and its items), more than the 90.0 MB free: "
       "free 5.0 MB more"},
      {premade("small-files"), {"--free", "90", "--cluster", "4"}, 0,
       "largest block 0.6 MB of 32.0 MB, 12.3 MB"},
      {premade("one-file"), {"--json"}, 0, "\"verdict\": \"take\", \"exit\": 0, "},
      {premade("self-named"), {"--json"}, 1, "\"verdict\": \"refuse\""},
      {premade("self-named"), {"--json"}, 1,
       "{\"severity\": \"error\", \"code\": \"name-package-copy\", \"item\": \"ZELTROVAN.7Z\""},
      {PremadeListing("one-file").string(), {}, 2,
       "error: not a 7z package (no 7z header; for a self-extracting .exe, ship the plain .7z, packed "
       "without -sfx) [not-7z]"},
      {(scratch.path() / "missing.7z").string(), {}, 2,
       "error: cannot open the package: not found [cannot-open]"},
      {premade("one-file"), {"--cluster", "3"}, 2, "--cluster must be a power of two"},
      {premade("one-file"), {"--ram"}, 2, "usage: zelt-check"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.package + " " + testing::PrintToString(row.options));
    std::vector<std::string> argv = {ZELT_CHECK_EXE};
    argv.insert(argv.end(), row.options.begin(), row.options.end());
    argv.push_back(row.package);
    int status = RunProgram(argv, scratch.path() / "log", scratch.path() / "errors");
    std::string said = ReadFile(scratch.path() / "log") + ReadFile(scratch.path() / "errors");
    EXPECT_EQ(status, row.status) << said;
    EXPECT_NE(said.find(row.says), std::string::npos) << said;
  }
}

TEST_F(ExtractTest, PackageCheckWritesNothingAndSaysWhyItRefuses) {
  Use("two-files-not-solid");
  fs::copy_file(Package(), device_.path() / "pkg" / "corrupt.7z");
  CorruptMiddle(device_.path() / "pkg" / "corrupt.7z");
  WriteFile(device_.path() / "pkg" / "garbage.7z", SampleBytes(1000, 6));
  for (const char* fixture : {"unsafe_names.7z", "empty_name.7z"}) {
    fs::copy_file(fs::path(ZELT_FIXTURES_DIR) / fixture, device_.path() / "pkg" / fixture);
  }
  // Past its header, which the package test reads, a package is only its size: sparse here.
  fs::copy_file(Package(), device_.path() / "pkg" / "huge.7z");
  fs::resize_file(device_.path() / "pkg" / "huge.7z", 4ull << 30);
  const ZString outDirLeavingNoRoom(255, ZT('o'));  // 255 + "\" + "a.txt" + terminator: 262
  // Standard output stays silent; why a package is refused goes to standard error.
  struct Case {
    const ZChar* package;
    const ZChar* outDir;
    int result;
    const char* reason;  // the whole of standard error
  };
  const Case cases[] = {
      {ZT("pkg\\p.7z"), ZT("out"), 0, ""},
      {ZT("pkg\\p.7z"), outDirLeavingNoRoom.c_str(), 1, "zelt: a.txt: item path too long, item skipped\n"},
      {ZT("pkg\\corrupt.7z"), ZT("out"), 1, "zelt: a.txt: data error (the package is damaged)\n"},
      {ZT("pkg\\garbage.7z"), ZT("out"), 1,
       "zelt: not a 7z package (no 7z header; for a self-extracting .exe, ship the plain .7z, packed without -sfx)\n"},
      {ZT("pkg\\missing.7z"), ZT("out"), 1, "zelt: cannot open the package: not found\n"},
      {ZT("pkg\\unsafe_names.7z"), ZT("out"), 1, "unsafe item path, item skipped\n"},
      {ZT("pkg\\huge.7z"), ZT("out"), 1, "zelt: the package is 4 GiB or more: its copy, a file of the device's"
       " FAT volume, can hold at most 4 GiB - 1 bytes; make the package smaller\n"},
      {ZT("pkg\\empty_name.7z"), ZT("out"), 1, "zelt: (an item with no name): the name is empty (item 2 of the package's list)\n"},
  };
  for (const Case& c : cases) {
    ZString package(c.package);
    SCOPED_TRACE(std::string(package.begin(), package.end()));
    Outcome run = Capture([&] { return TestPackage(c.package, c.outDir, ZT("p.7z")); });
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.console, "");
    std::string reason = c.reason;
    EXPECT_EQ(run.reasons.substr(run.reasons.size() - std::min(run.reasons.size(), reason.size())), reason);
    EXPECT_EQ(std::count(run.reasons.begin(), run.reasons.end(), '\n'), c.result) << run.reasons;
  }
  EXPECT_TRUE(fs::is_empty(Out()));
}

// Each platform failure says its own cause, as the technician reads it in the log.
TEST(FailureReasonTest, EachPlatformFailureNamesItsCause) {
  const std::pair<int, const char*> rows[] = {
      {PLAT_ERR_NOT_FOUND, "not found"},
      {PLAT_ERR_EXISTS, "already exists"},
      {PLAT_ERR_ACCESS, "access denied (read-only)"},
      {PLAT_ERR_IN_USE, "in use by another program"},
      {PLAT_ERR_NOT_EMPTY, "folder not empty"},
      {PLAT_ERR_INVALID, "a path the device cannot take"},
      {PLAT_ERR_IO, "the medium failed (the volume may be full)"},
      {PLAT_ERR_NO_MEMORY, "not enough memory"},
      {PLAT_ERR_TIMEOUT, "timed out"},
  };
  for (const auto& [error, cause] : rows) {
    Outcome said = Capture([error = error] {
      ReportPlatformFailure(ZT("a.txt"), "cannot create the file", error);
      return 0;
    });
    EXPECT_EQ(said.reasons, std::string("zelt: a.txt: cannot create the file: ") + cause + "\n");
  }
}

// What a package takes on a FAT volume, in its clusters: each file whole ones (an empty one none, a
// file of exactly one cluster's bytes one), each folder its entries' whole clusters, whether an item names it
// or only lies in it (a, a\b, d and d\e of "a/a.txt", "a/b/c.txt" and "d/e"), and the install
// folder what its entries take beyond its first cluster; nothing for an anti-item. In 4 KiB
// clusters each of the 30 folders of small-files takes two: 100 files of 9-unit names and "." and
// "..", 202 entries of 32 bytes.
TEST_F(ExtractTest, MeasuresPackagesInWholeClusters) {
  struct Case {
    const char* package;
    ZUInt32 cluster;
    ZUInt64 packageClusters;
    ZUInt64 unpackedClusters;
  };
  const Case cases[] = {
      {"named-items", 512, 1, 6},       {"empty-folder", 4096, 1, 2},
      {"anti-items", 4096, 1, 7},       {"small-files", 4096, 77, 3060},
      {"small-files", 32768, 10, 3030}, {"window-lzma", 65536, 5, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.package) + " " + std::to_string(c.cluster));
    fs::remove(Package());
    Use(c.package);
    PackageSpace space = {c.cluster, false, 0, 0};
    EXPECT_EQ(TestPackage(ZT("pkg\\p.7z"), ZT("out"), ZT("p.7z"), &space), 0);
    EXPECT_TRUE(space.measured);
    EXPECT_EQ(space.packageClusters, c.packageClusters);
    EXPECT_EQ(space.unpackedClusters, c.unpackedClusters);
  }
}

// bsdtar names the items of a folder packed as "." "./bin/app.exe": the "." components go, and
// what the name reaches stays the same, an unsafe name included.
TEST(ItemNameTest, DropsCurrentFolderComponents) {
  struct Row {
    std::string name, dropped;
    const char* why;
  };
  const Row rows[] = {
      {"./bin/app.exe", "bin/app.exe", "packed as \".\""},
      {"a/./b/.", "a/b", "inside and at the end"},
      {".", ".", "the output folder itself"},
      {"././.", ".", "the same"},
      {".a/..b/c.", ".a/..b/c.", "names that only begin or end with dots"},
      {"./../x", "../x", "still outside"},
      {".//x", "/x", "still absolute"},
      {"a\\.\\b", "a\\b", "either separator"},
  };
  for (const Row& row : rows) {
    ZString name(row.name.begin(), row.name.end());
    DropCurrentFolderComponents(&name[0]);
    EXPECT_EQ(ZString(name.c_str()), ZString(row.dropped.begin(), row.dropped.end())) << row.why;
  }
  // What is left of "./." names the output folder: a folder item that creates nothing, no file.
  EXPECT_EQ(ItemPathProblem(ZT("out"), ZT("."), true), nullptr);
  EXPECT_STREQ(ItemPathProblem(ZT("out"), ZT("."), false), "unsafe item path, item skipped");
}

// ---- Folder layouts the decoder must take ------------------------------------------------------

// Every package holds the same tree: code for both branch filters, a read-only file, a read-only
// empty file, nested and empty folders, and many small files to share a solid block. Each is
// unpacked twice: as it comes, and with every read of the package handing out at most 61 bytes,
// so that each coder and every input of BCJ2 meets its input in pieces that end anywhere.
// Packages of other writers must unpack as 7zz unpacks them (py7zr, for one, stores no read-only
// attribute), or, where they use a coder the device does not have, be refused by the package test
// and stop the extraction.
enum Expected { SAME_TREE, AS_7ZZ, REFUSED };

struct Layout {
  const char* package;
  const char* coders;  // of the package's last item with data, as 7zz lists them, options left out
  Expected expected = SAME_TREE;
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.package; }

class ExtractLayoutTest : public ExtractTest, public testing::WithParamInterface<Layout> {
 protected:
  // From the listing made beside the package, e.g. "BCJ2 LZMA2 LZMA LZMA".
  static std::string Coders(const std::string& package) {
    std::istringstream words(PremadeMethod(package));
    std::string word, coders;
    while (words >> word) coders += (coders.empty() ? "" : " ") + word.substr(0, word.find(':'));
    return coders;
  }
};

TEST_P(ExtractLayoutTest, UnpacksTheSameTree) {
  const Layout& layout = GetParam();
  ASSERT_EQ(Coders(layout.package), layout.coders);
  Use(layout.package);
  const fs::path expected =
      layout.expected == AS_7ZZ ? UnpackedBy7zz(layout.package) : PackedTree("layouts");
  for (size_t readLimit : {0, 61}) {
    SCOPED_TRACE("reads of at most " + std::to_string(readLimit));
    const std::string outDir = "out" + std::to_string(readLimit);
    fs::create_directory(device_.path() / outDir);
    PlatTestLimitReads(readLimit);
    const ZString out(outDir.begin(), outDir.end());
    const bool accepted = layout.expected != REFUSED;
    EXPECT_EQ(TestPackage(ZT("pkg\\p.7z"), out.c_str(), ZT("p.7z")), accepted ? 0 : 1);
    Outcome run = Extract(outDir.c_str());
    EXPECT_EQ(run.result, accepted ? 0 : 1);
    EXPECT_EQ(run.console.find(kEverythingOk) != std::string::npos, accepted) << run.console;
    std::string difference;
    if (accepted) {
      EXPECT_TRUE(SameTree(expected, device_.path() / outDir, &difference)) << difference;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    ExtractCoders, ExtractLayoutTest,
    testing::Values(Layout{"layout-copy", "Copy"}, Layout{"layout-lzma", "LZMA"},
                    Layout{"layout-lzma2", "LZMA2"}, Layout{"layout-ppmd", "PPMD"},
                    Layout{"layout-lzma-not-solid", "LZMA"}, Layout{"layout-copy-bcj", "BCJ Copy"},
                    Layout{"layout-lzma-bcj", "BCJ LZMA"}, Layout{"layout-lzma2-bcj", "BCJ LZMA2"},
                    Layout{"layout-ppmd-bcj", "BCJ PPMD"}, Layout{"layout-copy-arm", "ARM Copy"},
                    Layout{"layout-lzma-arm", "ARM LZMA"}, Layout{"layout-lzma2-arm", "ARM LZMA2"},
                    Layout{"layout-ppmd-arm", "ARM PPMD"},
                    Layout{"layout-lzma-bcj2", "BCJ2 LZMA LZMA LZMA"},
                    Layout{"layout-lzma2-bcj2", "BCJ2 LZMA2 LZMA LZMA"},
                    Layout{"layout-ppmd-bcj2", "BCJ2 PPMD LZMA LZMA"},
                    Layout{"layout-copy-armt", "ARMT Copy"},
                    Layout{"layout-bcj2-copy", "BCJ2 LZMA Copy Copy"}));

// bsdtar packs "." with "./" names, a folder item "." and times of its own, one folder per item
// when it stores; py7zr writes an older format version and attributes without their Windows part.
INSTANTIATE_TEST_SUITE_P(
    OtherWriters, ExtractLayoutTest,
    testing::Values(Layout{"bsdtar-store", "Copy", AS_7ZZ}, Layout{"bsdtar-lzma1", "LZMA", AS_7ZZ},
                    Layout{"bsdtar-lzma2", "LZMA2", AS_7ZZ}, Layout{"bsdtar-ppmd", "PPMD", AS_7ZZ},
                    Layout{"bsdtar-deflate", "Deflate", REFUSED}, Layout{"bsdtar-bzip2", "BZip2", REFUSED},
                    Layout{"py7zr-copy", "Copy", AS_7ZZ}, Layout{"py7zr-lzma", "LZMA", AS_7ZZ},
                    Layout{"py7zr-lzma2", "LZMA2", AS_7ZZ},
                    Layout{"py7zr-bcj-lzma", "BCJ LZMA", AS_7ZZ},
                    Layout{"py7zr-bcj-lzma2", "BCJ LZMA2", AS_7ZZ},
                    Layout{"py7zr-arm-lzma", "ARM LZMA", AS_7ZZ},
                    Layout{"py7zr-arm-lzma2", "ARM LZMA2", AS_7ZZ},
                    Layout{"py7zr-ppmd", "PPMD", AS_7ZZ}, Layout{"py7zr-ppmd-level", "PPMD", AS_7ZZ},
                    Layout{"py7zr-bcj-ppmd", "BCJ PPMD", AS_7ZZ},
                    Layout{"py7zr-bzip2", "BZip2", REFUSED}, Layout{"py7zr-deflate", "Deflate", REFUSED}));

// A differential package marks what it deletes with anti-items (7zz makes them with the update
// action w2): their names print as any item's, and nothing is created for them, whether the
// package's header is packed or plain. An anti-item is told by its place among the items without
// data, which differs from its item number where an item with data comes first (anti-between).
TEST_F(ExtractTest, AntiItemsPrintTheirNamesAndCreateNothing) {
  using Lines = std::multiset<std::string>;
  using Names = std::set<std::string>;
  // Premade from a base package of keep.txt "old", sub/gone.txt and dir/x.txt, updated to keep.txt
  // "new", new0.txt to new4.txt and an empty sub/: the rest became anti-items.
  const Lines differential = {"sub/", "dir/x.txt", "sub/gone.txt", "dir/", "keep.txt", "new0.txt",
                              "new1.txt", "new2.txt", "new3.txt", "new4.txt", "Everything is Ok"};
  const Names made = {"keep.txt", "new0.txt", "new1.txt", "new2.txt", "new3.txt", "new4.txt", "sub"};
  struct Row {
    const char* package;
    Lines lines;
    Names made;
    const char* file;  // one of them, with its bytes
    const char* bytes;
  };
  const Row rows[] = {
      {"anti-items", differential, made, "keep.txt", "new"},
      {"anti-items-plain-header", differential, made, "keep.txt", "new"},
      {"anti-between", {"a.txt", "gone.txt", "dir/", "Everything is Ok"}, {"a.txt", "dir"}, "a.txt", "a"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.package);
    fs::remove(Package());
    fs::copy_file(PremadePackage(row.package), Package());
    fs::remove_all(Out());
    fs::create_directories(Out());

    EXPECT_EQ(TestPackage(ZT("pkg\\p.7z"), ZT("out"), ZT("p.7z")), 0);
    Outcome run = Extract();
    EXPECT_EQ(run.result, 0);
    Lines lines;
    std::istringstream console(run.console);
    for (std::string line; std::getline(console, line);) {
      if (!line.empty()) lines.insert(line);
    }
    EXPECT_EQ(lines, row.lines) << run.console;
    EXPECT_EQ(Entries(Out()), row.made);
    EXPECT_EQ(ReadFile(Out() / row.file), row.bytes);
  }
}

}  // namespace
