// Extraction into a scratch device of packages made by the host's 7zz at test time, and of the
// few hand-made ones in fixtures/ that 7zz refuses to make: what is printed, what is left on
// disk, and the result.
#include "extractor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "package_check.h"
#include "platform.h"
#include "platform_testing.h"
#include "test_support.h"

namespace {

const std::string kEverythingOk = "\nEverything is Ok\n";

std::string Error(const std::string& message) { return "\n [ZELT_UPDATE]  ERROR: " + message + "\n"; }

struct Outcome {
  int result;
  std::string console;
};

Outcome Capture(const std::function<int()>& call) {
  testing::internal::CaptureStdout();
  int result = call();
  fflush(stdout);
  return {result, testing::internal::GetCapturedStdout()};
}

// Every entry below root, relative, with "/" separators.
std::set<std::string> Entries(const fs::path& root) {
  std::set<std::string> names;
  for (auto& entry : fs::recursive_directory_iterator(root)) {
    names.insert(fs::relative(entry.path(), root).generic_string());
  }
  return names;
}

// x86 calls and jumps (E8, E9, 0F 8x) with near targets: work for BCJ and all BCJ2 streams.
std::string X86Like(size_t size, unsigned seed) {
  std::string bytes = SampleBytes(size, seed);
  for (size_t i = 0; i + 6 <= size; i += 16) {
    size_t at = i;
    if ((i / 16) % 3 == 2) bytes[at++] = '\x0F';
    bytes[at++] = "\xE8\xE9\x85"[(i / 16) % 3];
    uint32_t target = static_cast<uint32_t>(i * 31 % 0x10000);
    for (int k = 0; k < 4; k++) bytes[at + k] = static_cast<char>(target >> (8 * k));
  }
  return bytes;
}

// ARM BL instructions (condition "always", top byte EB) between other words.
std::string ArmLike(size_t size, unsigned seed) {
  std::string bytes = SampleBytes(size, seed);
  for (size_t i = 0; i + 4 <= size; i += 8) {
    uint32_t word = 0xEB000000u | static_cast<uint32_t>(i * 13 % 0x10000);
    for (int k = 0; k < 4; k++) bytes[i + k] = static_cast<char>(word >> (8 * k));
  }
  return bytes;
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

// A device with an empty "out" folder and a "pkg" folder for the package pkg\p.7z.
class ExtractTest : public testing::Test {
 protected:
  void SetUp() override {
    UseDeviceRoot(device_.path());
    fs::create_directories(Out());
    fs::create_directories(device_.path() / "pkg");
  }
  void TearDown() override { PlatTestClearFaults(); }

  fs::path Out() const { return device_.path() / "out"; }
  fs::path Package() const { return device_.path() / "pkg" / "p.7z"; }

  void Pack(const std::map<std::string, std::string>& files, const std::string& switches) {
    for (auto& [name, bytes] : files) WriteFile(source_.path() / name, bytes);
    MakePackage(source_.path(), Package(), switches);
  }
  void UseFixture(const char* name) { fs::copy_file(fs::path(ZELT_FIXTURES_DIR) / name, Package()); }
  // A folder item "sub" first, then a.bin (too large for the write buffer), b.txt, sub/x.txt.
  void PackThreeFiles() {
    Pack({{"a.bin", SampleBytes(100000, 1)}, {"b.txt", "bee\n"}, {"sub/x.txt", "x\n"}}, "-m0=LZMA");
  }
  Outcome Extract(const char* outDir = "out") {
    return Capture([&] { return ExtractFile("pkg\\p.7z", outDir); });
  }

  ScratchDir device_;
  ScratchDir source_;
};

TEST_F(ExtractTest, PrintsFoldersWithSlashAndFindsOutDirWithoutCase) {
  Pack({{"bin/app.exe", "app"}}, "-m0=LZMA");
  fs::create_directory(device_.path() / "Zeltrovan");
  Outcome run = Capture([] { return ExtractFile("PKG\\P.7Z", "ZELTROVAN"); });
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.console, "bin/\nbin/app.exe\n" + kEverythingOk);
  EXPECT_EQ(ReadFile(device_.path() / "Zeltrovan" / "bin" / "app.exe"), "app");
  EXPECT_FALSE(fs::exists(device_.path() / "ZELTROVAN"));
}

TEST_F(ExtractTest, EmptyPackagePrintsOnlyEverythingIsOk) {
  Pack({}, "");
  ASSERT_EQ(fs::file_size(Package()), 32u);
  Outcome run = Extract();
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.console, kEverythingOk);
  EXPECT_TRUE(fs::is_empty(Out()));
}

TEST_F(ExtractTest, CreatesEveryFolderOnAnItemsPath) {
  fs::create_directories(source_.path() / "d" / "e");
  WriteFile(source_.path() / "a" / "b" / "c.txt", "c");
  // Named one by one, 7zz stores no items for the folders on the way.
  ASSERT_EQ(RunShell("cd '" + source_.path().string() + "' && 7zz a -bso0 -bsp0 '" + Package().string() +
                     "' a/b/c.txt d/e"),
            0);
  Outcome run = Extract();
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.console, "d/e/\na/b/c.txt\n" + kEverythingOk);
  EXPECT_EQ(Entries(Out()), (std::set<std::string>{"a", "a/b", "a/b/c.txt", "d", "d/e"}));
  EXPECT_EQ(ReadFile(Out() / "a" / "b" / "c.txt"), "c");
}

TEST_F(ExtractTest, ChineseNamesPrintAsUtf8AndNarrowOutDirIsCodePage936) {
  Pack({{"说明.txt", "text"}}, "-m0=LZMA2");
  fs::create_directory(device_.path() / "中文");
  Outcome run = Extract("\xD6\xD0\xCE\xC4");
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.console, "说明.txt\n" + kEverythingOk);
  EXPECT_EQ(ReadFile(device_.path() / "中文" / "说明.txt"), "text");
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
  // 200 + "\" + 58 = 259 units: the longest path that fits.
  const std::string folder(200, 'd');
  const std::string longOut = folder + "\\" + std::string(58, 'e');
  const std::string longPackage = folder + "\\" + std::string(55, 'p') + ".7z";
  fs::create_directories(device_.path() / folder / std::string(58, 'e'));
  MakePackage(source_.path(), device_.path() / folder / (std::string(55, 'p') + ".7z"), "");
  Outcome fits = Capture([&] { return ExtractFile(longPackage.c_str(), longOut.c_str()); });
  EXPECT_EQ(fits.result, 0);
  EXPECT_EQ(fits.console, kEverythingOk);

  Outcome outTooLong = Capture([&] { return ExtractFile(longPackage.c_str(), (longOut + "e").c_str()); });
  EXPECT_EQ(outTooLong.result, 1);
  EXPECT_EQ(outTooLong.console, Error("output directory path too long"));
  std::u16string wideOut(260, u'o');
  Outcome wideTooLong = Capture([&] { return ExtractPackage(u"pkg\\p.7z", wideOut.c_str()); });
  EXPECT_EQ(wideTooLong.result, 1);
  EXPECT_EQ(wideTooLong.console, Error("output directory path too long"));
  Outcome packageTooLong = Capture([&] { return ExtractFile(("d" + longPackage).c_str(), "out"); });
  EXPECT_EQ(packageTooLong.result, 1);
  EXPECT_EQ(packageTooLong.console, Error("package path too long"));
}

TEST_F(ExtractTest, SkipsItemWhosePathDoesNotFit) {
  const std::string outDir(200, 'o');
  const std::string fits = std::string(54, 'x') + ".txt";  // 200 + "\" + 58 = 259 units
  const std::string tooLong = std::string(55, 'y') + ".txt";
  Pack({{fits, "fits"}, {tooLong, "too long"}}, "-m0=LZMA");
  fs::create_directory(device_.path() / outDir);
  Outcome run = Extract(outDir.c_str());
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.console, fits + "\n" + tooLong + Error("item path too long, item skipped"));
  EXPECT_EQ(Entries(device_.path() / outDir), std::set<std::string>{fits});
}

TEST_F(ExtractTest, FileThatCannotBeCreatedAndLeavesNoneFailsTheRun) {
  PackThreeFiles();
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
  fs::create_directories(source_.path() / "logs");
  Pack({{"app.exe", "app"}}, "-m0=LZMA");
  WriteFile(Out() / "logs", "a file in the way");
  Outcome run = Extract();
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.console, "logs/" + Error("can not create output directory") + "app.exe\n");
  EXPECT_EQ(ReadFile(Out() / "app.exe"), "app");
}

TEST_F(ExtractTest, OlderFileLeftInPlaceIsReportedAndTheRunSucceeds) {
  PackThreeFiles();
  const std::string console =
      "sub/\na.bin" + Error("can not open output file") + "b.txt\nsub/x.txt\n" + kEverythingOk;
  WriteFile(Out() / "a.bin", "read-only");
  MakeReadOnly(Out() / "a.bin");
  Outcome readOnly = Extract();
  EXPECT_EQ(readOnly.result, 0);
  EXPECT_EQ(readOnly.console, console);
  EXPECT_EQ(ReadFile(Out() / "a.bin"), "read-only");
  EXPECT_TRUE(IsReadOnly(Out() / "a.bin"));

  fs::remove_all(Out());
  fs::create_directory(Out());
  PlatFile* held = nullptr;
  ASSERT_EQ(PlatFileCreate(u"out\\a.bin", &held), PLAT_OK);
  Outcome locked = Extract();
  EXPECT_EQ(PlatFileClose(held), PLAT_OK);
  EXPECT_EQ(locked.result, 0);
  EXPECT_EQ(locked.console, console);
  EXPECT_EQ(ReadFile(Out() / "sub" / "x.txt"), "x\n");
}

// a.bin is written straight through, b.txt is buffered until its close.
TEST_F(ExtractTest, WriteOrCloseFailureStopsTheWalk) {
  PackThreeFiles();
  struct Case {
    const char* call;
    int nth;
    PlatFault fault;
    const char* console;
  };
  const Case cases[] = {
      {"write", 1, PLAT_FAULT_SHORT, "sub/\na.bin\n [ZELT_UPDATE]  ERROR: can not write output file\n"},
      {"write", 1, PLAT_FAULT_ERROR, "sub/\na.bin\n [ZELT_UPDATE]  ERROR: can not write output file\n"},
      {"close", 2, PLAT_FAULT_ERROR,
       "sub/\na.bin\nb.txt\n [ZELT_UPDATE]  ERROR: can not close output file\n"},
      {"write", 2, PLAT_FAULT_ERROR,
       "sub/\na.bin\nb.txt\n [ZELT_UPDATE]  ERROR: can not close output file\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + std::to_string(c.nth) + " " + std::to_string(c.fault));
    fs::remove_all(Out());
    fs::create_directory(Out());
    ASSERT_EQ(PlatTestInjectFault(c.call, c.nth, c.fault), 0);
    Outcome run = Extract();
    PlatTestClearFaults();
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.console, c.console);
    EXPECT_FALSE(fs::exists(Out() / "sub" / "x.txt"));
  }
}

TEST_F(ExtractTest, StopsAtTheFirstItemThatCannotBeDecoded) {
  struct Case {
    const char* switches;
    int files;
    bool corrupt;
    int written;  // the items before the failing one
  };
  const Case cases[] = {
      {"-m0=LZMA -ms=off", 3, true, 1},  // the middle item's own stream
      {"-m0=LZMA2 -ms=2f", 6, true, 2},  // the middle one of three solid blocks
      {"-m0=PPMd -mf=BCJ", 3, true, 0},  // one solid block
      {"-m0=BZip2", 3, false, 0},        // a method the decoder does not have
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.switches);
    fs::remove_all(Out());
    fs::create_directory(Out());
    for (auto& entry : fs::directory_iterator(source_.path())) fs::remove_all(entry.path());
    fs::remove(Package());
    std::map<std::string, std::string> files;
    for (int i = 1; i <= c.files; i++) files["f" + std::to_string(i) + ".bin"] = SampleBytes(30000, i);
    Pack(files, c.switches);
    if (c.corrupt) CorruptMiddle(Package());
    Outcome run = Extract();
    EXPECT_EQ(run.result, 1);
    std::string console;
    std::set<std::string> written;
    for (int i = 1; i <= c.written; i++) {
      std::string name = "f" + std::to_string(i) + ".bin";
      console += name + "\n";
      written.insert(name);
      EXPECT_EQ(ReadFile(Out() / name), files[name]);
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

  Pack({{"a.txt", SampleBytes(5000, 3)}}, "-m0=LZMA");
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
      [] { return ExtractToDirectory(nullptr, u"out"); },
      [] { return ExtractToDirectory("pkg\\p.7z", nullptr); },
      [] { return ExtractPackage(nullptr, u"out"); },
      [] { return ExtractPackage(u"pkg\\p.7z", nullptr); },
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
  std::map<std::string, std::string> files;
  for (int i = 0; i < 40; i++) files["many/f" + std::to_string(i) + ".txt"] = SampleBytes(300, i);
  Pack(files, "-m0=LZMA -ms=on");
  ASSERT_EQ(PlatTestInjectFault("read", 10, PLAT_FAULT_ERROR), 0);
  Outcome run = Extract();
  EXPECT_EQ(run.result, 0);
  std::string difference;
  EXPECT_TRUE(SameTree(source_.path(), Out(), &difference)) << difference;
}

TEST_F(ExtractTest, PackageCheckWritesAndPrintsNothing) {
  Pack({{"a.txt", SampleBytes(40000, 5)}, {"b.txt", "b"}}, "-m0=LZMA -ms=off");
  fs::copy_file(Package(), device_.path() / "pkg" / "corrupt.7z");
  CorruptMiddle(device_.path() / "pkg" / "corrupt.7z");
  WriteFile(device_.path() / "pkg" / "garbage.7z", SampleBytes(1000, 6));
  for (const char* fixture : {"unsafe_names.7z", "empty_name.7z"}) {
    fs::copy_file(fs::path(ZELT_FIXTURES_DIR) / fixture, device_.path() / "pkg" / fixture);
  }
  const std::u16string outDirLeavingNoRoom(255, u'o');  // 255 + "\" + "a.txt" + terminator: 262
  struct Case {
    const char16_t* package;
    const char16_t* outDir;
    int result;
  };
  const Case cases[] = {
      {u"pkg\\p.7z", u"out", 0},          {u"pkg\\p.7z", outDirLeavingNoRoom.c_str(), 1},
      {u"pkg\\corrupt.7z", u"out", 1},    {u"pkg\\garbage.7z", u"out", 1},
      {u"pkg\\missing.7z", u"out", 1},    {u"pkg\\unsafe_names.7z", u"out", 1},
      {u"pkg\\empty_name.7z", u"out", 1},
  };
  for (const Case& c : cases) {
    std::u16string package(c.package);
    SCOPED_TRACE(std::string(package.begin(), package.end()));
    Outcome run = Capture([&] { return TestPackage(c.package, c.outDir); });
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.console, "");
  }
  EXPECT_TRUE(fs::is_empty(Out()));
}

// ---- Folder layouts the decoder must take ------------------------------------------------------

struct Layout {
  const char* switches;
  const char* coders;  // as 7zz lists the folder, options left out
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.switches; }

class ExtractLayoutTest : public ExtractTest, public testing::WithParamInterface<Layout> {
 protected:
  // One tree for every layout: code for both branch filters, a read-only file, a read-only
  // empty file, nested and empty folders, and many small files to share a solid block.
  static void SetUpTestSuite() {
    tree_ = new ScratchDir;
    const fs::path& root = tree_->path();
    WriteFile(root / "bin" / "app.exe", X86Like(150000, 1));
    WriteFile(root / "bin" / "arm.dll", ArmLike(80000, 2));
    WriteFile(root / "data" / "mixed.bin", SampleBytes(70000, 3));
    WriteFile(root / "a" / "b" / "c" / "deep.txt", "deep\n");
    WriteFile(root / "readonly.txt", SampleBytes(5000, 4));
    WriteFile(root / "zero.dat", "");
    MakeReadOnly(root / "readonly.txt");
    MakeReadOnly(root / "zero.dat");
    fs::create_directories(root / "empty");
    for (int i = 0; i < 30; i++)
      WriteFile(root / "many" / ("f" + std::to_string(i) + ".txt"), SampleBytes(200, i));
  }
  static void TearDownTestSuite() {
    delete tree_;
    tree_ = nullptr;
  }

  // The coders of the package's last folder, e.g. "BCJ2 LZMA2 LZMA LZMA".
  std::string Coders() {
    fs::path listing = device_.path() / "listing.txt";
    EXPECT_EQ(RunShell("7zz l -slt '" + Package().string() + "' > '" + listing.string() + "'"), 0);
    std::istringstream lines(ReadFile(listing));
    std::string line, method;
    while (std::getline(lines, line)) {
      if (line.rfind("Method = ", 0) == 0) method = line.substr(9);
    }
    std::istringstream words(method);
    std::string word, coders;
    while (words >> word) coders += (coders.empty() ? "" : " ") + word.substr(0, word.find(':'));
    return coders;
  }

  static ScratchDir* tree_;
};

ScratchDir* ExtractLayoutTest::tree_ = nullptr;

TEST_P(ExtractLayoutTest, UnpacksTheSameTree) {
  MakePackage(tree_->path(), Package(), GetParam().switches);
  ASSERT_EQ(Coders(), GetParam().coders);
  Outcome run = Extract();
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.console.substr(run.console.size() - kEverythingOk.size()), kEverythingOk);
  std::string difference;
  EXPECT_TRUE(SameTree(tree_->path(), Out(), &difference)) << difference;
}

INSTANTIATE_TEST_SUITE_P(
    ExtractCoders, ExtractLayoutTest,
    testing::Values(Layout{"-m0=Copy", "Copy"}, Layout{"-m0=LZMA", "LZMA"}, Layout{"-m0=LZMA2", "LZMA2"},
                    Layout{"-m0=PPMd", "PPMD"}, Layout{"-m0=LZMA -ms=off", "LZMA"},
                    Layout{"-m0=Copy -mf=BCJ", "BCJ Copy"}, Layout{"-m0=LZMA -mf=BCJ", "BCJ LZMA"},
                    Layout{"-m0=LZMA2 -mf=BCJ", "BCJ LZMA2"}, Layout{"-m0=PPMd -mf=BCJ", "BCJ PPMD"},
                    Layout{"-m0=Copy -mf=ARM", "ARM Copy"}, Layout{"-m0=LZMA -mf=ARM", "ARM LZMA"},
                    Layout{"-m0=LZMA2 -mf=ARM", "ARM LZMA2"}, Layout{"-m0=PPMd -mf=ARM", "ARM PPMD"},
                    Layout{"-m0=LZMA -mf=BCJ2", "BCJ2 LZMA LZMA LZMA"},
                    Layout{"-m0=LZMA2 -mf=BCJ2", "BCJ2 LZMA2 LZMA LZMA"},
                    Layout{"-m0=PPMd -mf=BCJ2", "BCJ2 PPMD LZMA LZMA"}));

// A differential package marks what it deletes with anti-items (7zz makes them with the update
// action w2): their names print as any item's, and nothing is created for them, whether the
// package's header is packed or plain.
TEST_F(ExtractTest, AntiItemsPrintTheirNamesAndCreateNothing) {
  for (const char* headerSwitch : {"", "-mhc=off"}) {
    SCOPED_TRACE(headerSwitch);
    ScratchDir older, newer, packages;
    WriteFile(older.path() / "keep.txt", "old");
    WriteFile(older.path() / "sub/gone.txt", "gone");
    WriteFile(older.path() / "dir/x.txt", "x");
    WriteFile(newer.path() / "keep.txt", "new");
    // Newer beyond doubt, however coarse the clock: the update action compares times.
    fs::last_write_time(newer.path() / "keep.txt",
                        fs::last_write_time(older.path() / "keep.txt") + std::chrono::hours(1));
    ASSERT_NO_FATAL_FAILURE(MakePackage(older.path(), packages.path() / "base.7z", ""));
    fs::path differential = packages.path() / "diff.7z";
    std::string command = "cd '" + newer.path().string() + "' && 7zz u -bd -bso0 -bsp0 " +
                          headerSwitch + " '" + (packages.path() / "base.7z").string() +
                          "' -u- '-up0q3r2x2y2z0w2!" + differential.string() + "' . > /dev/null";
    ASSERT_EQ(RunShell(command), 0) << command;
    fs::remove(Package());
    fs::copy_file(differential, Package());
    fs::remove_all(Out());
    fs::create_directories(Out());

    EXPECT_EQ(TestPackage(ZT("pkg\\p.7z"), ZT("out")), 0);
    Outcome run = Extract();
    EXPECT_EQ(run.result, 0);
    std::multiset<std::string> lines;
    std::istringstream console(run.console);
    for (std::string line; std::getline(console, line);) {
      if (!line.empty()) lines.insert(line);
    }
    EXPECT_EQ(lines, (std::multiset<std::string>{"sub/", "dir/x.txt", "sub/gone.txt", "dir/",
                                                 "keep.txt", "Everything is Ok"}))
        << run.console;
    EXPECT_EQ(Entries(Out()), (std::set<std::string>{"keep.txt"}));
    EXPECT_EQ(ReadFile(Out() / "keep.txt"), "new");
  }
}

}  // namespace
