// Contract suite of the platform seam: every backend must pass it unchanged, so it speaks only
// through platform.h (and the fault seam). The name rules all backends share are checked directly.
#include "platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "device_rules.h"
#include "device_test.h"
#include "platform_testing.h"

namespace {

ZString Wide(const std::string& ascii) { return ZString(ascii.begin(), ascii.end()); }
ZString ZText(const fs::path& path) {
  const std::u16string units = path.u16string();
  return ZString(units.begin(), units.end());
}

std::vector<std::string> HostNames(const fs::path& directory) {
  std::vector<std::string> names;
  for (auto& entry : fs::directory_iterator(directory))
    names.push_back(entry.path().filename().u8string());
  std::sort(names.begin(), names.end());
  return names;
}


// ---- Shared name rules -------------------------------------------------------------------------

// Latin-1, Greek and Cyrillic small letters fold to their capitals; every other unit is itself.
TEST(DeviceNameTest, FoldsLatinGreekAndCyrillicLettersToUpperCaseOnly) {
  const std::pair<ZChar, ZChar> folded[] = {
      {ZT('a'), ZT('A')},           {ZT('z'), ZT('Z')},           {ZT('\u00E9'), ZT('\u00C9')},
      {ZT('\u00E0'), ZT('\u00C0')}, {ZT('\u00FE'), ZT('\u00DE')}, {ZT('\u03B1'), ZT('\u0391')},
      {ZT('\u03C9'), ZT('\u03A9')}, {ZT('\u03C3'), ZT('\u03A3')}, {ZT('\u0430'), ZT('\u0410')},
      {ZT('\u044F'), ZT('\u042F')}, {ZT('\u0451'), ZT('\u0401')}, {ZT('\u045F'), ZT('\u040F')}};
  for (const auto& [small, capital] : folded) {
    EXPECT_EQ(FoldCase(small), capital) << std::hex << static_cast<unsigned>(small);
  }
  for (ZChar c :
       {ZT('A'),      ZT('Z'),      ZT('0'),      ZT('_'),      ZT('.'),      ZT('@'),
        ZT('['),      ZT('`'),      ZT('{'),      ZT('\u00C9'), ZT('\u00D7'), ZT('\u00DF'),
        ZT('\u00F7'), ZT('\u00FF'), ZT('\u0391'), ZT('\u03C2'), ZT('\u0410'), ZT('\u0401'),
        ZT('\u4E2D'), ZT('\xD83D'), ZT('\uFFFF')}) {
    EXPECT_EQ(FoldCase(c), c) << std::hex << static_cast<unsigned>(c);
  }
}

TEST(DeviceNameTest, ComparesNamesIgnoringCaseOnly) {
  const ZString a = ZT("Zeltrovan.7z");
  const ZString b = ZT("ZELTROVAN.7Z");
  EXPECT_TRUE(NamesEqualIgnoringCase(a.data(), a.size(), b.data(), b.size()));
  const ZString greek = ZT("\u03B1\u03B2\u03B3"), greekUpper = ZT("\u0391\u0392\u0393");
  EXPECT_TRUE(NamesEqualIgnoringCase(greek.data(), 3, greekUpper.data(), 3));
  const ZString other = ZT("Zeltrovan.7x");
  EXPECT_FALSE(NamesEqualIgnoringCase(a.data(), a.size(), other.data(), other.size()));
  EXPECT_FALSE(NamesEqualIgnoringCase(a.data(), a.size(), b.data(), b.size() - 1));
  EXPECT_TRUE(NamesEqualIgnoringCase(a.data(), 0, b.data(), 0));
}

std::vector<ZString> Components(const ZChar* path) {
  std::vector<ZString> parts;
  const ZChar* cursor = path;
  size_t length = 0;
  while (const ZChar* start = NextPathComponent(&cursor, &length))
    parts.emplace_back(start, length);
  EXPECT_EQ(*cursor, 0) << "the cursor stops at the terminator";
  const ZChar* last = LastPathComponent(path, &length);
  EXPECT_EQ(last == NULL ? ZString() : ZString(last, length),
            parts.empty() ? ZString() : parts.back());
  return parts;
}

TEST(DeviceNameTest, SplitsOnEitherSeparatorAndSkipsEmptyComponents) {
  using Parts = std::vector<ZString>;
  EXPECT_EQ(Components(ZT("\\Zeltrovan\\Zeltrovan.7z")),
            (Parts{ZT("Zeltrovan"), ZT("Zeltrovan.7z")}));
  EXPECT_EQ(Components(ZT("ZELTROVAN//Zeltrovan.7z")),
            (Parts{ZT("ZELTROVAN"), ZT("Zeltrovan.7z")}));
  EXPECT_EQ(Components(ZT("/a\\/b\\\\c/")), (Parts{ZT("a"), ZT("b"), ZT("c")}));
  EXPECT_EQ(Components(ZT("name")), (Parts{ZT("name")}));
  EXPECT_EQ(Components(ZT("\\/\\")), Parts{});
  EXPECT_EQ(Components(ZT("")), Parts{});
}

// ---- Paths -------------------------------------------------------------------------------------

class PlatformPathTest : public DeviceTest {};

TEST_F(PlatformPathTest, PathsAreRootRelativeWithEitherSeparatorAndEmptyComponents) {
  WriteFile(Host("Zeltrovan/Zeltrovan.7z"), "package");
  for (const ZChar* path : {ZT("\\Zeltrovan\\Zeltrovan.7z"), ZT("Zeltrovan/Zeltrovan.7z"),
                            ZT("ZELTROVAN//Zeltrovan.7z"), ZT("\\\\Zeltrovan\\/\\Zeltrovan.7z")}) {
    EXPECT_EQ(DeviceContents(path), "package") << fs::path(path);
  }
  ASSERT_EQ(WriteDeviceFile(ZT("ZELTROVAN//Copy.7z"), "copy"), PLAT_OK);
  EXPECT_EQ(ReadFile(Host("Zeltrovan/Copy.7z")), "copy");
  EXPECT_EQ(HostNames(device_.path()), std::vector<std::string>{"Zeltrovan"});
}

TEST_F(PlatformPathTest, DotDotIsRefused) {
  WriteFile(Host("a/b.txt"), "b");
  // Names beside the device folder that nothing else uses.
  const std::string escaped = device_.path().filename().string() + "-escaped";
  std::string contents;
  EXPECT_EQ(ReadDeviceFile(ZT("a\\..\\a\\b.txt"), &contents), PLAT_ERR_INVALID);
  PlatFile* file = nullptr;
  EXPECT_EQ(PlatFileCreate((ZT("..\\") + Wide(escaped) + ZT(".txt")).c_str(), &file),
            PLAT_ERR_INVALID);
  EXPECT_EQ(PlatCreateDirectory((ZT("a\\..\\..\\") + Wide(escaped)).c_str()), PLAT_ERR_INVALID);
  EXPECT_EQ(PlatDeleteFile(ZT("a\\..\\a\\b.txt")), PLAT_ERR_INVALID);
  EXPECT_FALSE(fs::exists(device_.path().parent_path() / (escaped + ".txt")));
  EXPECT_FALSE(fs::exists(device_.path().parent_path() / escaped));
  EXPECT_TRUE(fs::exists(Host("a/b.txt")));
}

// The device's file calls take 259 units of path with what they append ("\*.*" to list),
// counted from the root, and refuse a longer one as invalid, never as missing.
TEST_F(PlatformPathTest, PathsOverTheDeviceLimitAreRefused) {
  const std::string folder(120, 'f');  // "\" + folder + "\" is 122 units
  fs::create_directories(LongPath(Host(folder)));
  using Call = std::function<int(const ZString&)>;
  const std::vector<Call> calls = {
      [](const ZString& path) { return WriteDeviceFile(path, "x"); },
      [](const ZString& path) { std::string contents; return ReadDeviceFile(path, &contents); },
      [](const ZString& path) {
        ZUInt32 attributes;
        return PlatGetFileAttributes(path.c_str(), &attributes);
      },
      [](const ZString& path) { return PlatSetFileAttributes(path.c_str(), 0); },
      [](const ZString& path) { ZUInt64 size; return PlatFileProbe(path.c_str(), &size); },
      [](const ZString& path) {
        ZUInt64 bytes;
        ZUInt32 cluster;
        return PlatVolumeFreeSpace(path.c_str(), &bytes, &cluster);
      },
      [](const ZString& path) { return PlatFlushVolume(path.c_str()); },
      [](const ZString& path) { return PlatDeleteFile(path.c_str()); },
      [](const ZString& path) { return PlatCreateDirectory(path.c_str()); },
      [](const ZString& path) { return PlatRemoveDirectory(path.c_str()); },
  };
  struct Row {
    ZString path;
    int result;  // of every call
    const char* why;
  };
  const Row rows[] = {
      {Wide("\\" + folder + "\\" + std::string(137, 'a')), PLAT_OK, "259 units"},
      {Wide("\\" + folder + "\\" + std::string(138, 'b')), PLAT_ERR_INVALID, "260 units"},
      {Wide(folder + "\\" + std::string(137, 'c')), PLAT_OK, "258, 259 from the root"},
      {Wide(folder + "\\" + std::string(138, 'd')), PLAT_ERR_INVALID, "259, 260 from the root"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    for (size_t i = 0; i < calls.size(); i++) {
      EXPECT_EQ(calls[i](row.path), row.result) << "call " << i;
    }
  }
  // A folder of 256 units can be made and removed, but its pattern is 260 units.
  const ZString listed = Wide("\\" + folder + "\\" + std::string(133, 'g'));
  const ZString unlisted = Wide("\\" + folder + "\\" + std::string(134, 'h'));
  for (const ZString& made : {listed, unlisted}) {
    ASSERT_EQ(PlatCreateDirectory(made.c_str()), PLAT_OK);
  }
  ASSERT_EQ(WriteDeviceFile(listed + ZT("\\x"), "x"), PLAT_OK);
  ASSERT_EQ(WriteDeviceFile(unlisted + ZT("\\x"), "x"), PLAT_OK);
  EXPECT_EQ(DeviceEntries(listed).size(), 1u);
  int ended = PLAT_OK;
  EXPECT_TRUE(DeviceEntries(unlisted, &ended).empty());
  EXPECT_EQ(ended, PLAT_ERR_INVALID);
  EXPECT_EQ(PlatDeleteFile((unlisted + ZT("\\x")).c_str()), PLAT_OK);
  EXPECT_EQ(PlatRemoveDirectory(unlisted.c_str()), PLAT_OK);
}

// Names the device's FAT volume cannot hold are refused on every backend, by each call that
// creates, before the host sees them; names that only look odd are made.
TEST_F(PlatformPathTest, NamesTheDeviceCannotHoldAreNotCreated) {
  struct Row {
    ZString name;
    int rule;
    const char* why;
  };
  const Row rows[] = {
      {ZT("a.txt"), NAME_FITS, "plain"},
      {ZT(".profile"), NAME_FITS, "a leading dot"},
      {ZT("a b.c d"), NAME_FITS, "inner blanks and dots"},
      {ZT("\u8BF4\u660E"), NAME_FITS, "Chinese"},
      {ZString(255, ZT('n')), NAME_FITS, "255 units"},
      {ZString(256, ZT('n')), NAME_TOO_LONG, "256 units"},
      {ZT("a?b"), NAME_FORBIDDEN_CHARACTER, "?"},
      {ZT("a*"), NAME_FORBIDDEN_CHARACTER, "*"},
      {ZT("a:b"), NAME_FORBIDDEN_CHARACTER, ":"},
      {ZT("a\"b"), NAME_FORBIDDEN_CHARACTER, "quote"},
      {ZT("<a>"), NAME_FORBIDDEN_CHARACTER, "< >"},
      {ZT("a|b"), NAME_FORBIDDEN_CHARACTER, "|"},
      {ZT("a\tb"), NAME_FORBIDDEN_CHARACTER, "tab"},
      {ZString(1, ZChar(0x1F)), NAME_FORBIDDEN_CHARACTER, "unit 0x1F"},
      {ZT("a."), NAME_ENDS_IN_DOT_OR_SPACE, "trailing dot"},
      {ZT("..."), NAME_ENDS_IN_DOT_OR_SPACE, "dots only"},
      {ZT("a "), NAME_ENDS_IN_DOT_OR_SPACE, "trailing space"},
  };
  // One-letter folders, so that a name of 256 units is still within the device's path limit.
  for (const char* folder : {"c", "a", "m"}) fs::create_directories(Host(folder));
  size_t made = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(DeviceNameRuleBroken(row.name.data(), row.name.size()), row.rule);
    const int expected = row.rule == NAME_FITS ? PLAT_OK : PLAT_ERR_INVALID;
    made += row.rule == NAME_FITS ? 1 : 0;
    PlatFile* created = nullptr;
    EXPECT_EQ(PlatFileCreate((ZT("c\\") + row.name).c_str(), &created), expected);
    PlatFile* appended = nullptr;
    EXPECT_EQ(PlatFileOpenAppend((ZT("a\\") + row.name).c_str(), &appended), expected);
    for (PlatFile* file : {created, appended}) {
      if (file != nullptr) {
        EXPECT_EQ(PlatFileClose(file), PLAT_OK);
      }
    }
    EXPECT_EQ(PlatCreateDirectory((ZT("m\\") + row.name).c_str()), expected);
  }
  // Nothing of a refused name reached the host.
  for (const char* folder : {"c", "a", "m"}) {
    EXPECT_EQ(HostNames(Host(folder)).size(), made) << folder;
  }
}

TEST_F(PlatformPathTest, LinksLeavingTheRootAreRefused) {
  SKIP_ON_WIN32("the device has no symbolic links, and deleting one under Wine deletes its target");
  ScratchDir outside;
  WriteFile(outside.path() / "secret.txt", "secret");
  fs::create_symlink(outside.path() / "secret.txt", Host("file_link"));
  fs::create_directory_symlink(outside.path(), Host("dir_link"));

  EXPECT_NE(DeviceContents(ZT("file_link")), "secret");
  EXPECT_NE(DeviceContents(ZT("dir_link\\secret.txt")), "secret");
  PlatFile* file = nullptr;
  EXPECT_NE(PlatFileCreate(ZT("FILE_LINK"), &file), PLAT_OK);
  EXPECT_NE(PlatFileCreate(ZT("dir_link\\new.txt"), &file), PLAT_OK);
  EXPECT_NE(PlatCreateDirectory(ZT("dir_link\\new")), PLAT_OK);
  EXPECT_NE(PlatDeleteFile(ZT("dir_link\\secret.txt")), PLAT_OK);
  PlatSetFileAttributes(ZT("file_link"), PLAT_ATTR_READONLY);
  PlatFind* find = nullptr;
  PlatFindData data;
  int found = PlatFindFirst(ZT("dir_link\\*.*"), &find, &data);
  if (found == PLAT_OK) PlatFindClose(find);
  EXPECT_NE(found, PLAT_OK);
  EXPECT_EQ(HostNames(outside.path()), std::vector<std::string>{"secret.txt"});
  EXPECT_EQ(ReadFile(outside.path() / "secret.txt"), "secret");
  EXPECT_FALSE(IsReadOnly(outside.path() / "secret.txt"));

  // Deleting a link removes the link alone.
  EXPECT_EQ(PlatDeleteFile(ZT("file_link")), PLAT_OK);
  EXPECT_EQ(PlatDeleteFile(ZT("Dir_Link")), PLAT_OK);
  EXPECT_TRUE(HostNames(device_.path()).empty());
  EXPECT_EQ(ReadFile(outside.path() / "secret.txt"), "secret");
}

TEST_F(PlatformPathTest, LinksInsideTheRootAreFollowedForOpeningOnly) {
  SKIP_ON_WIN32("the device has no symbolic links, and deleting one under Wine deletes its target");
  WriteFile(Host("real/data.txt"), "data");
  fs::create_symlink(Host("real/data.txt"), Host("link.txt"));
  fs::create_directory_symlink("real", Host("dir_link"));

  EXPECT_EQ(DeviceContents(ZT("LINK.TXT")), "data");
  EXPECT_EQ(DeviceContents(ZT("dir_link\\DATA.txt")), "data");
  ASSERT_EQ(WriteDeviceFile(ZT("link.txt"), "written through the link"), PLAT_OK);
  EXPECT_EQ(ReadFile(Host("real/data.txt")), "written through the link");
  EXPECT_TRUE(fs::is_symlink(Host("link.txt")));

  EXPECT_EQ(DeviceEntries(ZT("")), (std::map<ZString, ZUInt32>{
                                      {ZT("dir_link"), 0}, {ZT("link.txt"), 0}, {ZT("real"), PLAT_ATTR_DIRECTORY}}));
  ZUInt32 attributes = 0xFF;
  EXPECT_EQ(PlatGetFileAttributes(ZT("dir_link"), &attributes), PLAT_OK);
  EXPECT_EQ(attributes & PLAT_ATTR_DIRECTORY, 0u);

  EXPECT_EQ(PlatDeleteFile(ZT("link.txt")), PLAT_OK);
  EXPECT_EQ(PlatDeleteFile(ZT("dir_link")), PLAT_OK);
  EXPECT_EQ(HostNames(device_.path()), std::vector<std::string>{"real"});
  EXPECT_EQ(ReadFile(Host("real/data.txt")), "written through the link");
}

TEST_F(PlatformPathTest, NamesMatchIgnoringCaseAndNewNamesKeepTheCaseGiven) {
  WriteFile(Host("Zeltrovan/Config/Settings.ini"), "old");
  EXPECT_EQ(DeviceContents(ZT("ZELTROVAN\\config\\SETTINGS.INI")), "old");
  ASSERT_EQ(WriteDeviceFile(ZT("zeltrovan\\CONFIG\\settings.INI"), "new"), PLAT_OK);
  EXPECT_EQ(HostNames(Host("Zeltrovan/Config")), std::vector<std::string>{"Settings.ini"});
  EXPECT_EQ(ReadFile(Host("Zeltrovan/Config/Settings.ini")), "new");

  ASSERT_EQ(WriteDeviceFile(ZT("ZELTROVAN\\New.Txt"), "n"), PLAT_OK);
  EXPECT_EQ(PlatCreateDirectory(ZT("zeltrovan\\config")), PLAT_ERR_EXISTS);
  EXPECT_EQ(PlatCreateDirectory(ZT("ZELTROVAN\\Logs")), PLAT_OK);
  EXPECT_EQ(HostNames(Host("Zeltrovan")), (std::vector<std::string>{"Config", "Logs", "New.Txt"}));
  EXPECT_EQ(PlatDeleteFile(ZT("zeltrovan\\NEW.TXT")), PLAT_OK);
  EXPECT_EQ(PlatRemoveDirectory(ZT("zeltrovan\\LOGS")), PLAT_OK);
  EXPECT_EQ(HostNames(Host("Zeltrovan")), std::vector<std::string>{"Config"});
  ASSERT_EQ(WriteDeviceFile(ZT("zeltrovan\\new.txt"), "again"), PLAT_OK);
  EXPECT_EQ(PlatCreateDirectory(ZT("ZELTROVAN\\LOGS")), PLAT_OK);
  EXPECT_EQ(HostNames(Host("Zeltrovan")), (std::vector<std::string>{"Config", "LOGS", "new.txt"}))
      << "a name deleted is made again as now given";
}

TEST_F(PlatformPathTest, GreekCyrillicAndLatin1LettersMatchIgnoringCase) {
  WriteFile(Host("caf\u00e9.txt"), "latin");
  WriteFile(
      Host("\u03c9\u03bc\u03b5\u03b3\u03b1/\u043f\u0440\u0438\u0432\u0435\u0442 \u0451\u0436.txt"),
      "cyrillic");
  EXPECT_EQ(DeviceContents(ZT("CAF\u00C9.TXT")), "latin");
  EXPECT_EQ(
      DeviceContents(ZT("\u03A9\u039C\u0395\u0393\u0391\\\u041F\u0420\u0418\u0412\u0415\u0422 ")
                         ZT("\u0401\u0416.TXT")),
      "cyrillic");
  // Letters that only look alike stay apart.
  EXPECT_EQ(DeviceContents(ZT("CAFE.TXT")), NotFound());
}

ZString ToDevice(const std::string& hostPath, int* result) {
  ZChar buffer[PLAT_MAX_PATH];
  *result = PlatHostPathToDevicePath(hostPath.c_str(), buffer, PLAT_MAX_PATH);
  return buffer;
}

TEST_F(PlatformPathTest, HostPathsBecomeDevicePathsUnderTheRoot) {
  int result = -1;
  const std::string root = device_.path().string();
  EXPECT_EQ(ToDevice(root, &result), ZT("\\"));
  EXPECT_EQ(result, PLAT_OK);
  EXPECT_EQ(ToDevice(root + "/Zeltrovan/a/./b/../Zeltrovan.7z", &result),
            ZT("\\Zeltrovan\\a\\Zeltrovan.7z"));
  EXPECT_EQ(result, PLAT_OK);
  // Host paths are in the locale's encoding: UTF-8 on a POSIX host, the ANSI code page on
  // Windows, which the Wine run sets to 936 (GBK has no emoji).
  const std::string names = kWin32Backend ? "/\xA8\xB9" "ber/\xCB\xB5\xC3\xF7.txt"
                                          : "/\u00fcber/\u8bf4\u660e \U0001F600.txt";
  EXPECT_EQ(ToDevice(root + names, &result),
            kWin32Backend ? ZT("\\\u00FCber\\\u8BF4\u660E.txt")
                          : ZT("\\\u00FCber\\\u8BF4\u660E \U0001F600.txt"));
  EXPECT_EQ(result, PLAT_OK);

  for (const std::string& outside :
       {std::string("/etc/passwd"), root + "/../x", root + "x/y", root + "/a/../../x"}) {
    EXPECT_EQ(ToDevice(outside, &result), ZT("")) << outside;
    EXPECT_EQ(result, PLAT_ERR_INVALID) << outside;
  }
}

// Root "/" is the whole host: on Windows its top-level folders are the drives.
TEST_F(PlatformPathTest, RelativeHostPathsStartAtTheCurrentDirectory) {
  UseDeviceRoot("/");
  const fs::path current = fs::current_path();
  ZString cwd;
  if (current.has_root_name()) cwd += ZT("\\") + ZText(current.root_name());
  for (const fs::path& name : current.relative_path()) cwd += ZT("\\") + ZText(name);
  int result = -1;
  EXPECT_EQ(ToDevice("rel/./x/../y", &result), cwd + ZT("\\rel\\y"));
  EXPECT_EQ(result, PLAT_OK);
  ZString parent = cwd.substr(0, cwd.rfind(ZT('\\')));
  EXPECT_EQ(ToDevice("../sibling", &result), parent + ZT("\\sibling"));
  EXPECT_EQ(result, PLAT_OK);
}

TEST_F(PlatformPathTest, HostPathConversionNeverWritesPastTheBuffer) {
  const std::string host = device_.path().string() + "/Zeltrovan/a.txt";
  const ZString expected = ZT("\\Zeltrovan\\a.txt");
  std::vector<ZChar> exact(expected.size() + 1, ZT('x'));
  EXPECT_EQ(PlatHostPathToDevicePath(host.c_str(), exact.data(), exact.size()), PLAT_OK);
  EXPECT_EQ(ZString(exact.data()), expected);
  std::vector<ZChar> tooSmall(expected.size(), ZT('x'));
  EXPECT_EQ(PlatHostPathToDevicePath(host.c_str(), tooSmall.data(), tooSmall.size()),
            PLAT_ERR_INVALID);
  EXPECT_EQ(tooSmall[0], 0);
}

// ---- Files -------------------------------------------------------------------------------------

class PlatformFileTest : public DeviceTest {};

TEST_F(PlatformFileTest, ReadSeekAndSizeAgree) {
  WriteFile(Host("data.bin"), "0123456789abcdef");
  PlatFile* file = nullptr;
  ASSERT_EQ(PlatFileOpenRead(ZT("DATA.BIN"), &file), PLAT_OK);
  ZUInt64 size = 0;
  EXPECT_EQ(PlatFileSize(file, &size), PLAT_OK);
  EXPECT_EQ(size, 16u);
  char buffer[32] = {};
  size_t got = 4;
  EXPECT_EQ(PlatFileRead(file, buffer, &got), PLAT_OK);
  EXPECT_EQ(std::string(buffer, got), "0123");
  ZInt64 position = 2;
  EXPECT_EQ(PlatFileSeek(file, &position, PLAT_SEEK_CUR), PLAT_OK);
  EXPECT_EQ(position, 6);
  got = 4;
  EXPECT_EQ(PlatFileRead(file, buffer, &got), PLAT_OK);
  EXPECT_EQ(std::string(buffer, got), "6789");
  position = -3;
  EXPECT_EQ(PlatFileSeek(file, &position, PLAT_SEEK_END), PLAT_OK);
  EXPECT_EQ(position, 13);
  got = sizeof buffer;
  EXPECT_EQ(PlatFileRead(file, buffer, &got), PLAT_OK);
  EXPECT_EQ(std::string(buffer, got), "def");
  got = sizeof buffer;
  EXPECT_EQ(PlatFileRead(file, buffer, &got), PLAT_OK);
  EXPECT_EQ(got, 0u) << "the end of the file reads as nothing";
  position = 0;
  EXPECT_EQ(PlatFileSeek(file, &position, PLAT_SEEK_SET), PLAT_OK);
  got = 1;
  EXPECT_EQ(PlatFileRead(file, buffer, &got), PLAT_OK);
  EXPECT_EQ(std::string(buffer, got), "0");
  EXPECT_EQ(PlatFileClose(file), PLAT_OK);
}

TEST_F(PlatformFileTest, SmallAndLargeWritesLandInOrder) {
  PlatFile* file = nullptr;
  ASSERT_EQ(PlatFileCreate(ZT("out.bin"), &file), PLAT_OK);
  std::string expected;
  auto put = [&](const std::string& bytes) {
    size_t written = 99;
    EXPECT_EQ(PlatFileWrite(file, bytes.data(), bytes.size(), &written), PLAT_OK);
    EXPECT_EQ(written, bytes.size());
    expected += bytes;
  };
  // Small writes, a large one behind them, then more small ones than a buffer holds.
  for (int i = 0; i < 1000; i++) put(std::string(7, static_cast<char>('a' + i % 26)));
  put(SampleBytes(100000, 1));
  for (int i = 0; i < 100; i++) put(SampleBytes(1000, static_cast<unsigned>(i)));
  put("");
  ZUInt64 size = 0;
  EXPECT_EQ(PlatFileSize(file, &size), PLAT_OK);
  EXPECT_EQ(size, expected.size());
  put("tail");
  ZInt64 position = 0;
  EXPECT_EQ(PlatFileSeek(file, &position, PLAT_SEEK_CUR), PLAT_OK);
  EXPECT_EQ(position, static_cast<ZInt64>(expected.size()));
  EXPECT_EQ(PlatFileClose(file), PLAT_OK);
  EXPECT_TRUE(ReadFile(Host("out.bin")) == expected);
}

// A FAT file ends at 4 GiB - 1 bytes: a small or a large write past it fails whole, on a file
// written there (sparse on the host) or appended to from there.
TEST_F(PlatformFileTest, WritesEndWhereAFatFileEnds) {
  const ZInt64 kLast = 0xFFFFFFFFll;
  const std::string large(100000, 'x');
  for (bool append : {false, true}) {
    SCOPED_TRACE(append);
    PlatFile* file = nullptr;
    ZInt64 position = kLast - 4;
    size_t written = 99;
    if (append) {
      WriteFile(Host("big.bin"), "");
      fs::resize_file(Host("big.bin"), static_cast<uintmax_t>(position));
      ASSERT_EQ(PlatFileOpenAppend(ZT("big.bin"), &file), PLAT_OK);
    } else {
      ASSERT_EQ(PlatFileCreate(ZT("big.bin"), &file), PLAT_OK);
      ASSERT_EQ(PlatFileSeek(file, &position, PLAT_SEEK_SET), PLAT_OK);
    }
    EXPECT_EQ(PlatFileWrite(file, "abcd", 4, &written), PLAT_OK);
    EXPECT_EQ(PlatFileWrite(file, "e", 1, &written), PLAT_ERR_IO);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(PlatFileWrite(file, large.data(), large.size(), &written), PLAT_ERR_IO);
    EXPECT_EQ(PlatFileClose(file), PLAT_OK);
    EXPECT_EQ(fs::file_size(Host("big.bin")), static_cast<uintmax_t>(kLast));
  }
}

// Appending keeps what a file holds, makes a missing one, and is refused where creating is,
// leaving the file as it was.
TEST_F(PlatformFileTest, AppendKeepsTheContentsAndIsRefusedAsCreateIs) {
  struct Row {
    std::string state;
    int result;
    std::string after;
  };
  const Row rows[] = {{"missing", PLAT_OK, "new"},
                      {"written", PLAT_OK, "old new"},
                      {"read-only", PLAT_ERR_ACCESS, "old "},
                      {"open for reading", PLAT_ERR_IN_USE, "old "}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.state);
    const std::string name = row.state.substr(0, 4) + ".log";
    const ZString path(name.begin(), name.end());
    if (row.state != "missing") WriteFile(Host(name), "old ");
    PlatFile* reader = nullptr;
    int prepared = PLAT_OK;
    if (row.state == "read-only") prepared = PlatSetFileAttributes(path.c_str(), PLAT_ATTR_READONLY);
    if (row.state == "open for reading") prepared = PlatFileOpenRead(path.c_str(), &reader);
    ASSERT_EQ(prepared, PLAT_OK);
    PlatFile* file = nullptr;
    EXPECT_EQ(PlatFileOpenAppend(path.c_str(), &file), row.result);
    size_t written = 0;
    if (row.result == PLAT_OK) {
      EXPECT_EQ(PlatFileWrite(file, "new", 3, &written), PLAT_OK);
      EXPECT_EQ(PlatFileFlush(file), PLAT_OK);
      EXPECT_EQ(PlatFileClose(file), PLAT_OK);
    }
    EXPECT_EQ(reader == nullptr ? PLAT_OK : PlatFileClose(reader), PLAT_OK);
    EXPECT_EQ(ReadFile(Host(name)), row.after);
  }
}

TEST_F(PlatformFileTest, MissingFilesAndFoldersAreNotFound) {
  fs::create_directory(Host("dir"));
  PlatFile* file = nullptr;
  EXPECT_EQ(PlatFileOpenRead(ZT("missing.txt"), &file), PLAT_ERR_NOT_FOUND);
  EXPECT_EQ(PlatFileOpenRead(ZT("nodir\\file.txt"), &file), PLAT_ERR_NOT_FOUND);
  EXPECT_EQ(PlatFileCreate(ZT("nodir\\file.txt"), &file), PLAT_ERR_NOT_FOUND);
  EXPECT_NE(PlatFileOpenRead(ZT("dir"), &file), PLAT_OK);
  EXPECT_NE(PlatFileCreate(ZT("dir"), &file), PLAT_OK);
  EXPECT_TRUE(fs::is_directory(Host("dir")));
}

// The OS may take less than asked (Linux moves at most 0x7ffff000 bytes per call): the rest
// follows. Only a write that moves nothing means the medium is full.
TEST_F(PlatformFileTest, ShortWriteGoesOnAndAWriteWithoutProgressFails) {
  const std::string bytes = SampleBytes(256 * 1024, 2);
  PlatFile* file = nullptr;
  ASSERT_EQ(PlatFileCreate(ZT("short.bin"), &file), PLAT_OK);
  ASSERT_EQ(PlatTestInjectFault("write", 1, PLAT_FAULT_SHORT), 0);
  size_t written = 0;
  EXPECT_EQ(PlatFileWrite(file, bytes.data(), bytes.size(), &written), PLAT_OK);
  EXPECT_EQ(written, bytes.size());
  EXPECT_EQ(PlatFileClose(file), PLAT_OK);
  EXPECT_TRUE(ReadFile(Host("short.bin")) == bytes);

  ASSERT_EQ(PlatFileCreate(ZT("full.bin"), &file), PLAT_OK);
  ASSERT_EQ(PlatTestInjectFault("write", 1, PLAT_FAULT_NO_PROGRESS), 0);
  written = 99;
  EXPECT_EQ(PlatFileWrite(file, bytes.data(), bytes.size(), &written), PLAT_ERR_IO);
  EXPECT_EQ(written, 0u) << "the count tells what the file took";
  PlatTestClearFaults();
  EXPECT_EQ(PlatFileClose(file), PLAT_OK);
  EXPECT_EQ(ReadFile(Host("full.bin")), "");
}

// A short read is no failure: it hands out what it got, small reads and large alike, and the rest
// follows. The extractor's tests lean on this seam to feed the decoder in small pieces.
TEST_F(PlatformFileTest, LimitedReadsHandOutWhatTheyGot) {
  const std::string bytes = SampleBytes(200 * 1024, 3);
  WriteFile(Host("in.bin"), bytes);
  PlatFile* file = nullptr;
  ASSERT_EQ(PlatFileOpenRead(ZT("in.bin"), &file), PLAT_OK);
  PlatTestLimitReads(7);
  std::string got;
  for (size_t ask : {size_t(3), size_t(100), size_t(128 * 1024)}) {
    std::string buffer(ask, '\0');
    size_t size = ask;
    EXPECT_EQ(PlatFileRead(file, buffer.data(), &size), PLAT_OK);
    EXPECT_GE(size, 1u) << "asked " << ask;
    EXPECT_LE(size, 7u) << "asked " << ask;
    got += buffer.substr(0, size);
  }
  PlatTestLimitReads(0);
  std::string rest(bytes.size(), '\0');
  size_t size = rest.size();
  EXPECT_EQ(PlatFileRead(file, rest.data(), &size), PLAT_OK);
  EXPECT_GT(size, 7u);
  EXPECT_EQ(PlatFileClose(file), PLAT_OK);
  EXPECT_TRUE(got + rest.substr(0, size) == bytes.substr(0, got.size() + size));
}

// Bytes still buffered that cannot be written, or a close the OS refuses, fail the close.
TEST_F(PlatformFileTest, FailedCloseIsReported) {
  const std::pair<const char*, PlatFault> faults[] = {
      {"write", PLAT_FAULT_ERROR}, {"write", PLAT_FAULT_NO_PROGRESS}, {"close", PLAT_FAULT_ERROR}};
  for (const auto& [call, fault] : faults) {
    PlatFile* file = nullptr;
    ASSERT_EQ(PlatFileCreate(ZT("out.bin"), &file), PLAT_OK);
    size_t written = 0;
    EXPECT_EQ(PlatFileWrite(file, "buffered", 8, &written), PLAT_OK);
    ASSERT_EQ(PlatTestInjectFault(call, 1, fault), 0);
    EXPECT_NE(PlatFileClose(file), PLAT_OK) << call << " " << fault;
    PlatTestClearFaults();
  }
}

TEST_F(PlatformFileTest, FlushVolumeNeedsAnExistingPath) {
  WriteFile(Host("Zeltrovan/a.txt"), "a");
  EXPECT_EQ(PlatFlushVolume(ZT("\\Zeltrovan")), PLAT_OK);
  EXPECT_EQ(PlatFlushVolume(ZT("zeltrovan\\A.TXT")), PLAT_OK);
  EXPECT_EQ(PlatFlushVolume(ZT("\\Missing")), PLAT_ERR_NOT_FOUND);
  EXPECT_EQ(PlatFlushVolume(ZT("Missing\\deeper")), PLAT_ERR_NOT_FOUND);
}

// ---- Read-only, in use, removal ----------------------------------------------------------------

class PlatformProtectionTest : public DeviceTest {};

TEST_F(PlatformProtectionTest, ReadOnlyAttributeIsTheHostWriteBits) {
  WriteFile(Host("dir/f.txt"), "f");
  ZUInt32 attributes = 0xFF;
  EXPECT_EQ(PlatGetFileAttributes(ZT("DIR\\F.TXT"), &attributes), PLAT_OK);
  EXPECT_EQ(attributes, 0u);
  EXPECT_EQ(PlatSetFileAttributes(ZT("DIR\\F.TXT"), PLAT_ATTR_READONLY | PLAT_ATTR_DIRECTORY),
            PLAT_OK);
  EXPECT_TRUE(IsReadOnly(Host("dir/f.txt")));
  EXPECT_EQ(PlatGetFileAttributes(ZT("dir\\f.txt"), &attributes), PLAT_OK);
  EXPECT_EQ(attributes, PLAT_ATTR_READONLY);
  EXPECT_EQ(PlatSetFileAttributes(ZT("dir\\f.txt"), 0), PLAT_OK);
  EXPECT_FALSE(IsReadOnly(Host("dir/f.txt")));
  EXPECT_EQ(PlatGetFileAttributes(ZT("dir\\f.txt"), &attributes), PLAT_OK);
  EXPECT_EQ(attributes, 0u);

  fs::permissions(Host("dir/f.txt"), fs::perms::owner_read | fs::perms::group_read);
  EXPECT_EQ(PlatGetFileAttributes(ZT("dir\\f.txt"), &attributes), PLAT_OK);
  EXPECT_EQ(attributes, PLAT_ATTR_READONLY);
  EXPECT_EQ(PlatGetFileAttributes(ZT("Dir"), &attributes), PLAT_OK);
  EXPECT_EQ(attributes & PLAT_ATTR_DIRECTORY, PLAT_ATTR_DIRECTORY);
  EXPECT_EQ(PlatGetFileAttributes(ZT("dir\\missing"), &attributes), PLAT_ERR_NOT_FOUND);
  EXPECT_EQ(PlatSetFileAttributes(ZT("dir\\missing"), 0), PLAT_ERR_NOT_FOUND);
}

TEST_F(PlatformProtectionTest, ReadOnlyFileRefusesDeletionAndCreateWhoeverAsks) {
  WriteFile(Host("f.txt"), "kept");
  ASSERT_EQ(PlatSetFileAttributes(ZT("f.txt"), PLAT_ATTR_READONLY), PLAT_OK);
  EXPECT_EQ(PlatDeleteFile(ZT("F.txt")), PLAT_ERR_ACCESS);
  PlatFile* file = nullptr;
  EXPECT_EQ(PlatFileCreate(ZT("f.TXT"), &file), PLAT_ERR_ACCESS);
  EXPECT_EQ(ReadFile(Host("f.txt")), "kept");
  EXPECT_EQ(DeviceContents(ZT("f.txt")), "kept") << "reading is allowed";
  ASSERT_EQ(PlatSetFileAttributes(ZT("f.txt"), 0), PLAT_OK);
  EXPECT_EQ(PlatDeleteFile(ZT("f.txt")), PLAT_OK);
  EXPECT_FALSE(fs::exists(Host("f.txt")));
}

TEST_F(PlatformProtectionTest, FileHeldByACreateHandleIsInUse) {
  const std::string bytes = SampleBytes(100000, 3);
  PlatFile* holder = nullptr;
  ASSERT_EQ(PlatFileCreate(ZT("held.bin"), &holder), PLAT_OK);
  size_t written = 0;
  ASSERT_EQ(PlatFileWrite(holder, bytes.data(), bytes.size(), &written), PLAT_OK);
  ZUInt64 size = 0;
  ASSERT_EQ(PlatFileSize(holder, &size), PLAT_OK);

  PlatFile* second = nullptr;
  EXPECT_EQ(PlatFileCreate(ZT("HELD.BIN"), &second), PLAT_ERR_IN_USE);
  EXPECT_EQ(PlatDeleteFile(ZT("held.bin")), PLAT_ERR_IN_USE);
  EXPECT_EQ(fs::file_size(Host("held.bin")), bytes.size());
  EXPECT_EQ(PlatFileClose(holder), PLAT_OK);
  EXPECT_TRUE(ReadFile(Host("held.bin")) == bytes);
  EXPECT_EQ(PlatDeleteFile(ZT("held.bin")), PLAT_OK);
  EXPECT_FALSE(fs::exists(Host("held.bin")));
}

TEST_F(PlatformProtectionTest, FileHeldByAnotherProcessIsInUse) {
  WriteFile(Host("held.dll"), "driver");
  HeldByOtherProcess holder(device_.path(), "\\held.dll");
  PlatFile* file = nullptr;
  EXPECT_EQ(PlatFileCreate(ZT("HELD.DLL"), &file), PLAT_ERR_IN_USE);
  EXPECT_EQ(PlatDeleteFile(ZT("held.dll")), PLAT_ERR_IN_USE);
  EXPECT_EQ(holder.Release(), 0);
  EXPECT_EQ(ReadFile(Host("held.dll")), "driver");
  EXPECT_EQ(PlatDeleteFile(ZT("held.dll")), PLAT_OK);
  EXPECT_FALSE(fs::exists(Host("held.dll")));
}

// Another process holds the lock until the release file appears (or a few seconds pass, so that
// a failed test leaves nothing behind); it says it holds the lock by creating the ready file.
TEST_F(PlatformProtectionTest, FileLockedWithFlockIsInUse) {
  SKIP_ON_WIN32("flock is a POSIX lock, which Windows programs do not see");
  WriteFile(Host("locked.dll"), "driver");
  const std::string locked = Host("locked.dll").string(), ready = Host("ready").string(),
                    release = Host("release").string();
  const char* script =
      ": > \"$1\"; i=0; while [ ! -e \"$2\" ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i+1)); done";
  const char* argv[] = {"flock", "-x",          locked.c_str(),  "sh",   "-c", script,
                        "sh",    ready.c_str(), release.c_str(), nullptr};
  PlatProcess* holder = nullptr;
  ASSERT_EQ(PlatProcessStart(argv, &holder), PLAT_OK);
  for (int i = 0; i < 500 && !fs::exists(ready); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(fs::exists(ready));

  PlatFile* file = nullptr;
  EXPECT_EQ(PlatFileCreate(ZT("LOCKED.DLL"), &file), PLAT_ERR_IN_USE);
  EXPECT_EQ(PlatDeleteFile(ZT("locked.dll")), PLAT_ERR_IN_USE);
  EXPECT_EQ(ReadFile(Host("locked.dll")), "driver");

  WriteFile(release, "");
  int exitCode = -1;
  ASSERT_EQ(PlatProcessWait(holder, 10000, &exitCode), PLAT_OK);
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(PlatDeleteFile(ZT("locked.dll")), PLAT_OK);
  EXPECT_FALSE(fs::exists(Host("locked.dll")));
}

TEST_F(PlatformProtectionTest, OnlyEmptyDirectoriesAreRemoved) {
  WriteFile(Host("dir/f.txt"), "f");
  EXPECT_EQ(PlatRemoveDirectory(ZT("DIR")), PLAT_ERR_NOT_EMPTY);
  EXPECT_NE(PlatRemoveDirectory(ZT("dir\\f.txt")), PLAT_OK);
  EXPECT_NE(PlatDeleteFile(ZT("dir")), PLAT_OK);
  EXPECT_EQ(PlatRemoveDirectory(ZT("missing")), PLAT_ERR_NOT_FOUND);
  EXPECT_EQ(PlatDeleteFile(ZT("missing")), PLAT_ERR_NOT_FOUND);
  EXPECT_EQ(ReadFile(Host("dir/f.txt")), "f");
  EXPECT_EQ(PlatDeleteFile(ZT("dir\\f.txt")), PLAT_OK);
  EXPECT_EQ(PlatRemoveDirectory(ZT("DIR")), PLAT_OK);
  EXPECT_FALSE(fs::exists(Host("dir")));
}

// ---- Enumeration -------------------------------------------------------------------------------

class PlatformFindTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    for (const char* dir : {"tree/one", "tree/two/deeper", "tree/Three"})
      fs::create_directories(Host(dir));
    for (int i = 0; i < 300; i++) WriteFile(Host("tree/file" + std::to_string(i)), "");
  }
};

TEST_F(PlatformFindTest, EveryEntryOnceWithItsDirectoryBit) {
  std::vector<ZString> repeated;
  const std::map<ZString, ZUInt32> entries = DeviceEntries(ZT("\\TREE"), nullptr, &repeated);
  EXPECT_TRUE(repeated.empty());
  std::map<ZString, ZUInt32> expected;
  for (const std::string& name : HostNames(Host("tree"))) {
    expected[Wide(name)] = fs::is_directory(Host("tree/" + name)) ? PLAT_ATTR_DIRECTORY : 0;
  }
  EXPECT_EQ(expected.size(), 303u);
  EXPECT_EQ(entries, expected);
}

TEST_F(PlatformFindTest, DeletingDuringTheWalkSkipsNothing) {
  PlatFind* find = nullptr;
  PlatFindData data;
  std::map<ZString, int> seen;
  ASSERT_EQ(PlatFindFirst(ZT("tree/*.*"), &find, &data), PLAT_OK);
  do {
    seen[data.name]++;
    if ((data.attributes & PLAT_ATTR_DIRECTORY) == 0) {
      EXPECT_EQ(PlatDeleteFile((ZT("tree\\") + ZString(data.name)).c_str()), PLAT_OK);
    }
  } while (PlatFindNext(find, &data) == PLAT_OK);
  EXPECT_EQ(PlatFindNext(find, &data), PLAT_ERR_NOT_FOUND) << "the end stays the end";
  PlatFindClose(find);
  seen.erase(ZT("."));
  seen.erase(ZT(".."));
  EXPECT_EQ(seen.size(), 303u);
  EXPECT_TRUE(
      std::all_of(seen.begin(), seen.end(), [](const auto& entry) { return entry.second == 1; }));
  EXPECT_EQ(HostNames(Host("tree")), (std::vector<std::string>{"Three", "one", "two"}));
}

TEST_F(PlatformFindTest, OnlyTheEveryEntryPatternOfAnExistingDirectory) {
  PlatFind* find = nullptr;
  PlatFindData data;
  EXPECT_EQ(PlatFindFirst(ZT("missing\\*.*"), &find, &data), PLAT_ERR_NOT_FOUND);
  EXPECT_EQ(PlatFindFirst(ZT("tree\\missing\\*.*"), &find, &data), PLAT_ERR_NOT_FOUND);
  EXPECT_EQ(PlatFindFirst(ZT("tree\\file1\\*.*"), &find, &data), PLAT_ERR_NOT_FOUND);
  for (const ZChar* pattern : {ZT("tree\\*.txt"), ZT("tree\\*"), ZT("tree\\file*.*"), ZT("tree*.*"), ZT("tree"),
                              ZT("tree\\*.*x"), ZT("*.*"), ZT("")}) {
    int result = PlatFindFirst(pattern, &find, &data);
    if (result == PLAT_OK) PlatFindClose(find);
    EXPECT_EQ(result, PLAT_ERR_INVALID) << fs::path(pattern);
  }
  ASSERT_EQ(PlatFindFirst(ZT("\\*.*"), &find, &data), PLAT_OK) << "the root can be walked";
  PlatFindClose(find);
}

// ---- Named events ------------------------------------------------------------------------------

// Every event a test opens is closed and deleted afterwards, under the root it was opened in.
class PlatformEventTest : public DeviceTest {
 protected:
  void TearDown() override {
    for (PlatEvent* event : opened_) PlatEventClose(event);
    for (const auto& [root, name] : names_) {
      UseDeviceRoot(root);
      EXPECT_EQ(PlatEventDelete(name.c_str()), PLAT_OK);
    }
    DeviceTest::TearDown();
  }
  PlatEvent* Open(const ZChar* name, const fs::path& root) {
    PlatEvent* event = nullptr;
    EXPECT_EQ(PlatEventOpen(name, &event), PLAT_OK);
    if (event != nullptr) opened_.push_back(event);
    names_.emplace_back(root, name);
    return event;
  }
  PlatEvent* Open(const ZChar* name) { return Open(name, device_.path()); }
  static int Poll(PlatEvent* event) {
    int signalled = -1;
    return PlatEventWaitAny(&event, 1, 0, &signalled);
  }

  ScratchDir otherDevice_;  // outlives TearDown, which deletes the events opened there
  std::vector<PlatEvent*> opened_;
  std::vector<std::pair<fs::path, ZString>> names_;
};

TEST_F(PlatformEventTest, OneNameIsOneAutoResetEvent) {
  PlatEvent* first = Open(ZT("Zeltrovan_Update_Success_20150408"));
  PlatEvent* second = Open(ZT("Zeltrovan_Update_Success_20150408"));
  ASSERT_TRUE(first != nullptr && second != nullptr);
  EXPECT_EQ(Poll(second), PLAT_ERR_TIMEOUT) << "a new event starts unsignalled";
  ASSERT_EQ(PlatEventSet(first), PLAT_OK);
  EXPECT_EQ(Poll(second), PLAT_OK);
  EXPECT_EQ(Poll(first), PLAT_ERR_TIMEOUT) << "one wait takes the signal";
  ASSERT_EQ(PlatEventSet(second), PLAT_OK);
  ASSERT_EQ(PlatEventSet(second), PLAT_OK);
  EXPECT_EQ(Poll(first), PLAT_OK);
  EXPECT_EQ(Poll(first), PLAT_ERR_TIMEOUT) << "setting twice leaves one signal";
}

TEST_F(PlatformEventTest, WaitAnyTellsWhichEventWasSignalled) {
  PlatEvent* events[] = {Open(ZT("Zeltrovan_Update_Success_20150408")),
                         Open(ZT("Zeltrovan_Update_Fail_20150408")), Open(ZT("Third"))};
  ASSERT_TRUE(events[0] != nullptr && events[1] != nullptr && events[2] != nullptr);
  int signalled = -1;
  EXPECT_EQ(PlatEventWaitAny(events, 3, 10, &signalled), PLAT_ERR_TIMEOUT);
  ASSERT_EQ(PlatEventSet(events[1]), PLAT_OK);
  EXPECT_EQ(PlatEventWaitAny(events, 3, 1000, &signalled), PLAT_OK);
  EXPECT_EQ(signalled, 1);
  ASSERT_EQ(PlatEventSet(events[2]), PLAT_OK);
  EXPECT_EQ(PlatEventWaitAny(events, 3, 0, &signalled), PLAT_OK);
  EXPECT_EQ(signalled, 2);
  EXPECT_EQ(PlatEventWaitAny(events, 3, 0, &signalled), PLAT_ERR_TIMEOUT);
}

TEST_F(PlatformEventTest, TwoDevicesNeverShareAnEvent) {
  PlatEvent* mine = Open(ZT("Shared_Name"));
  UseDeviceRoot(otherDevice_.path());
  PlatEvent* theirs = Open(ZT("Shared_Name"), otherDevice_.path());
  ASSERT_TRUE(mine != nullptr && theirs != nullptr);
  ASSERT_EQ(PlatEventSet(mine), PLAT_OK);
  EXPECT_EQ(Poll(theirs), PLAT_ERR_TIMEOUT);
  EXPECT_EQ(Poll(mine), PLAT_OK);
}

TEST_F(PlatformEventTest, DeletedNameOpensAFreshEvent) {
  PlatEvent* event = Open(ZT("Fresh"));
  ASSERT_TRUE(event != nullptr);
  ASSERT_EQ(PlatEventSet(event), PLAT_OK);
  PlatEventClose(event);
  opened_.clear();
  ASSERT_EQ(PlatEventDelete(ZT("Fresh")), PLAT_OK);
  PlatEvent* again = Open(ZT("Fresh"));
  ASSERT_TRUE(again != nullptr);
  EXPECT_EQ(Poll(again), PLAT_ERR_TIMEOUT);
  if (kWin32Backend) return;  // one call sets a Win32 event, which has no name to remove
  ASSERT_EQ(PlatTestInjectFault("event_value", 1, PLAT_FAULT_ERROR), 0);
  EXPECT_EQ(PlatEventSet(again), PLAT_ERR_IO);
  EXPECT_EQ(Poll(again), PLAT_ERR_TIMEOUT) << "a failed set signals nothing";
  ASSERT_EQ(PlatTestInjectFault("event_delete", 1, PLAT_FAULT_ERROR), 0);
  EXPECT_EQ(PlatEventDelete(ZT("Fresh")), PLAT_ERR_IO);
}

// ---- Time, the executable, console, processes --------------------------------------------------

class PlatformSystemTest : public DeviceTest {};

// The log's times are in milliseconds: a tick in other units would make them lie.
TEST_F(PlatformSystemTest, TickCountCountsMilliseconds) {
  const ZUInt32 first = PlatTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const ZUInt32 elapsed = PlatTickCount() - first;
  EXPECT_GE(elapsed, 40u);
  EXPECT_LT(elapsed, 10000u);
}

TEST_F(PlatformSystemTest, ModuleFileNameIsTheExecutableAsADevicePath) {
  // The tests run from the build tree, on the same file system as the executable.
  UseDeviceRoot(fs::current_path().root_path());
  ZChar path[PLAT_MAX_PATH];
  size_t length = PlatModuleFileName(path, PLAT_MAX_PATH);
  ASSERT_GT(length, 0u);
  ZString name(path);
  EXPECT_EQ(name.size(), length);
  EXPECT_EQ(name[0], ZT('\\'));
  EXPECT_EQ(name.find(ZT('/')), ZString::npos);
  EXPECT_EQ(name.substr(name.rfind(ZT('\\')) + 1, 10), ZT("zelt_tests"));
  ZUInt32 attributes = 0xFF;
  EXPECT_EQ(PlatGetFileAttributes(path, &attributes), PLAT_OK) << "the path names the executable";
  EXPECT_EQ(attributes & PLAT_ATTR_DIRECTORY, 0u);

  std::vector<ZChar> exact(length + 1, ZT('x'));
  EXPECT_EQ(PlatModuleFileName(exact.data(), exact.size()), length);
  EXPECT_EQ(ZString(exact.data()), name);
  for (size_t size : {size_t{1}, size_t{2}, length}) {
    std::vector<ZChar> small(size, ZT('x'));
    EXPECT_EQ(PlatModuleFileName(small.data(), small.size()), 0u) << size;
    EXPECT_EQ(small[0], 0) << size;
  }
}

TEST_F(PlatformSystemTest, ExecutableOutsideTheRootHasNoModuleFileName) {
  ZChar path[PLAT_MAX_PATH] = {ZT('x')};
  EXPECT_EQ(PlatModuleFileName(path, PLAT_MAX_PATH), 0u);
  EXPECT_EQ(path[0], 0);
}

// Converts into a buffer of exactly dstSize bytes followed by a guard byte.
std::string ToConsole(const ZString& text, int dstSize, int* result) {
  std::vector<char> dst(static_cast<size_t>(dstSize) + 1, '#');
  *result =
      PlatUtf16ToConsole(text.data(), static_cast<int>(text.size()), dst.data(), dstSize, '_');
  EXPECT_EQ(dst.back(), '#') << "written past the buffer";
  return std::string(dst.data(), static_cast<size_t>(std::max(*result, 0)));
}

// UTF-8 on a POSIX host. On Windows the OEM code page, which the Wine run sets to the device's
// 936: a character it lacks becomes the default character unit by unit.
TEST_F(PlatformSystemTest, ConsoleTextIsInTheConsoleCodePage) {
  int result = -1;
  const ZString text = ZT("A\u00E9\u4E2D\U0001F600");
  const std::string expected =
      kWin32Backend ? "A\xA8\xA6\xD6\xD0__" : "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";
  const int size = static_cast<int>(expected.size());
  EXPECT_EQ(ToConsole(text, size, &result), expected);
  EXPECT_EQ(result, size);
  EXPECT_EQ(ToConsole(text, size - 1, &result), "");
  EXPECT_EQ(result, 0) << "too small a buffer takes nothing";
  EXPECT_EQ(ToConsole(ZT(""), 4, &result), "");
  EXPECT_EQ(result, 0);
  if (kWin32Backend) {
    ASSERT_EQ(PlatTestInjectFault("console_text", 1, PLAT_FAULT_ERROR), 0);
    EXPECT_EQ(ToConsole(text, size, &result), "");
    EXPECT_EQ(result, 0) << "a failed conversion shows nothing";
  }
}

TEST_F(PlatformSystemTest, LoneSurrogatesBecomeTheDefaultCharacter) {
  int result = -1;
  EXPECT_EQ(ToConsole(ZT("a\xD800z"), 16, &result), "a_z");
  EXPECT_EQ(ToConsole(ZT("a\xDC00"), 16, &result), "a_");
  EXPECT_EQ(ToConsole(ZT("\xDC00\xD800"), 16, &result), "__");
  EXPECT_EQ(ToConsole(ZT("\xD800"), 16, &result), "_");
  // A pair cut by the count is a lone surrogate too.
  const ZString pair = ZT("\U0001F600");
  char dst[8] = {};
  EXPECT_EQ(PlatUtf16ToConsole(pair.data(), 1, dst, sizeof dst, '?'), 1);
  EXPECT_EQ(dst[0], '?');
}

// A program that cannot start, or whose output file cannot be opened, fails the start. Under
// qemu-user the start succeeds and the child exits with 127: the emulator runs the C library's
// vfork-like spawn as a fork, so the child's failure never reaches the parent's start.
void ExpectNotStarted(int started, PlatProcess* process) {
  if (ChildRunner().empty() || started != PLAT_OK) {
    EXPECT_NE(started, PLAT_OK);
    return;
  }
  int exitCode = -2;
  ASSERT_EQ(PlatProcessWait(process, 10000, &exitCode), PLAT_OK);
  EXPECT_EQ(exitCode, 127);
}

TEST_F(PlatformSystemTest, ProcessKilledBySignalReportsMinusOne) {
  SKIP_ON_WIN32("signals are POSIX");
  const char* killed[] = {"sh", "-c", "kill -9 $$", nullptr};
  PlatProcess* process = nullptr;
  ASSERT_EQ(PlatProcessStart(killed, &process), PLAT_OK);
  int exitCode = -2;
  ASSERT_EQ(PlatProcessWait(process, 10000, &exitCode), PLAT_OK);
  EXPECT_EQ(exitCode, -1);
}

TEST_F(PlatformSystemTest, RedirectedOutputGoesToItsFilesAndAFailedStartFails) {
  WriteFile(Host("out.txt"), "older and longer contents");
  const std::string output = Host("out.txt").string(), errors = Host("err.txt").string();
  const char* argv[] = {ZELT_TEST_CHILD_EXE, "exit", "5", nullptr};
  PlatProcess* process = nullptr;
  ASSERT_EQ(PlatProcessStartRedirected(argv, output.c_str(), errors.c_str(), &process), PLAT_OK);
  int exitCode = -2;
  ASSERT_EQ(PlatProcessWait(process, 10000, &exitCode), PLAT_OK);
  EXPECT_EQ(exitCode, 5);
  // Bytes as written ("\n", never "\r\n"), into files emptied first.
  EXPECT_EQ(ReadFile(output), "to standard output\n");
  EXPECT_EQ(ReadFile(errors), "to standard error\n");

  const std::string nowhere = Host("missing/out.txt").string();
  ExpectNotStarted(PlatProcessStartRedirected(argv, nowhere.c_str(), errors.c_str(), &process), process);
  ExpectNotStarted(PlatProcessStartRedirected(argv, output.c_str(), nowhere.c_str(), &process), process);
  EXPECT_FALSE(fs::exists(Host("missing")));
  const char* missing[] = {"zelt-no-such-program", nullptr};
  ExpectNotStarted(PlatProcessStart(missing, &process), process);
}

// The child runs until the release file appears (or a few seconds pass).
TEST_F(PlatformSystemTest, WaitTimeoutLeavesTheProcessRunning) {
  const char* argv[] = {ZELT_TEST_CHILD_EXE, "wait", "\\release", "7", nullptr};
  PlatProcess* process = nullptr;
  ASSERT_EQ(PlatProcessStart(argv, &process), PLAT_OK);
  int exitCode = -2;
  // Past a wait that ended it, the handle is gone: stop there.
  ASSERT_EQ(PlatProcessWait(process, 0, &exitCode), PLAT_ERR_TIMEOUT);
  ASSERT_EQ(PlatProcessWait(process, 20, &exitCode), PLAT_ERR_TIMEOUT);
  WriteFile(Host("release"), "");
  ASSERT_EQ(PlatProcessWait(process, 10000, &exitCode), PLAT_OK);
  EXPECT_EQ(exitCode, 7);
}

TEST_F(PlatformSystemTest, KillEndsTheProcessAtOnce) {
  const char* argv[] = {ZELT_TEST_CHILD_EXE, "wait", "\\release", "7", nullptr};
  PlatProcess* process = nullptr;
  ASSERT_EQ(PlatProcessStart(argv, &process), PLAT_OK);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(PlatProcessKill(process), PLAT_OK);
  int exitCode = 0;
  ASSERT_EQ(PlatProcessWait(process, 10000, &exitCode), PLAT_OK);
  EXPECT_EQ(exitCode, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // Ended but not yet waited for: the kill changes nothing, the exit status stays. The child holds
  // a file to its very end, so the file free again means the child is gone.
  const char* ending[] = {ZELT_TEST_CHILD_EXE, "end", "\\held", "\\holding", "7", nullptr};
  ASSERT_EQ(PlatProcessStart(ending, &process), PLAT_OK);
  bool ended = false;
  for (int i = 0; i < 1000 && !ended; i++) {
    ended = fs::exists(Host("holding")) && PlatDeleteFile(ZT("held")) == PLAT_OK;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(ended) << "the child never let its file go";
  EXPECT_EQ(PlatProcessKill(process), PLAT_OK);
  ASSERT_EQ(PlatProcessWait(process, 10000, &exitCode), PLAT_OK);
  EXPECT_EQ(exitCode, 7);
}

}  // namespace
