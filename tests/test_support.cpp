#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string_view>
#include <thread>

#include "platform.h"

static void MakeWritable(const fs::path& root) {
  std::error_code ignored;
  fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
  if (!fs::is_directory(fs::symlink_status(root))) return;
  for (auto& entry : fs::recursive_directory_iterator(root, ignored)) {
    if (!entry.is_symlink()) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
}

ScratchDir::ScratchDir(const fs::path& parent) {
  std::random_device random;
  for (;;) {
    path_ = parent / ("zelt-test-" + std::to_string(random()));
    if (fs::create_directory(path_)) break;
  }
}

ScratchDir::~ScratchDir() {
  const fs::path path = LongPath(path_);
  MakeWritable(path);
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

fs::path LongPath(const fs::path& path) {
  if (!kWin32Backend || path.native().rfind(fs::path("\\\\?\\").native(), 0) == 0) return path;
  return fs::path("\\\\?\\").concat(fs::absolute(path).make_preferred().native());
}

fs::path PathBelow(const fs::path& entry, const fs::path& root) {
  const fs::path::string_type& path = entry.native();
  size_t start = root.native().size();
  while (start < path.size() && (path[start] == '/' || path[start] == '\\')) start++;
  return fs::path(path.substr(start));
}

void UseDeviceRoot(const fs::path& dir) {
  const std::string root = dir.string();
  ASSERT_EQ(PlatSetDeviceRoot(root.c_str()), PLAT_OK);
#ifdef _WIN32
  ASSERT_EQ(_putenv_s("ZELT_DEVICE_ROOT", root.c_str()), 0);
#else
  ASSERT_EQ(setenv("ZELT_DEVICE_ROOT", root.c_str(), 1), 0);
#endif
}

void WriteFile(const fs::path& path, const std::string& contents) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  ASSERT_TRUE(out.good()) << path;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

std::string SampleBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; i++) {
    bool noisy = (i / 4096) % 2 == 0;
    bytes[i] = static_cast<char>(noisy ? random() : "MOV R0, #1; BL 0x8000\n"[i % 22]);
  }
  return bytes;
}

fs::path PremadePackage(const std::string& name) {
  return fs::path(ZELT_PACKAGES_DIR) / (name + ".7z");
}
fs::path UnpackedBy7zz(const std::string& name) {
  return fs::path(ZELT_PACKAGES_DIR) / "unpacked" / name;
}
fs::path PremadeListing(const std::string& name) {
  return fs::path(ZELT_PACKAGES_DIR) / (name + ".slt");
}
fs::path PackedTree(const std::string& tree) {
  return fs::path(ZELT_PACKAGES_DIR) / "trees" / tree;
}
std::string PremadeMethod(const std::string& name) {
  std::istringstream lines(ReadFile(PremadeListing(name)));
  std::string line, method;
  while (std::getline(lines, line)) {
    // Items without data (folders, empty files) list no method.
    if (line.rfind("Method = ", 0) == 0 && line.size() > 9) method = line.substr(9);
  }
  return method;
}

std::string ChildRunner() {
  const char* runner = std::getenv("ZELT_CHILD_RUNNER");
  return runner != nullptr ? runner : "";
}

int RunProgram(const std::vector<std::string>& argv, const fs::path& output,
               const fs::path& errors) {
  std::vector<const char*> args;
  for (const std::string& arg : argv) args.push_back(arg.c_str());
  args.push_back(nullptr);
  PlatProcess* process = nullptr;
  int started = PlatProcessStartRedirected(args.data(), output.string().c_str(),
                                           errors.string().c_str(), &process);
  EXPECT_EQ(started, PLAT_OK) << argv[0];
  if (started != PLAT_OK) return -1;
  int exitCode = -1;
  EXPECT_EQ(PlatProcessWait(process, 120000, &exitCode), PLAT_OK) << argv[0] << " did not end";
  return exitCode;
}

HeldByOtherProcess::HeldByOtherProcess(const fs::path& root, const std::string& devicePath,
                                       const char* what)
    : ready_(root / "zelt-holder-ready"), release_(root / "zelt-holder-release") {
  const char* argv[] = {ZELT_TEST_CHILD_EXE,     what, devicePath.c_str(), "\\zelt-holder-ready",
                        "\\zelt-holder-release", nullptr};
  const std::string output = (output_.path() / "output").string();
  const std::string errors = (output_.path() / "errors").string();
  int started = PlatProcessStartRedirected(argv, output.c_str(), errors.c_str(), &holder_);
  EXPECT_EQ(started, PLAT_OK);
  if (started != PLAT_OK) {
    holder_ = nullptr;
    return;
  }
  for (int i = 0; i < 1000 && !fs::exists(ready_); i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(fs::exists(ready_)) << devicePath
                                  << " was not taken: " << ReadFile(output_.path() / "errors");
}

HeldByOtherProcess::~HeldByOtherProcess() {
  if (holder_ != nullptr) {
    EXPECT_EQ(Release(), 0) << ReadFile(output_.path() / "errors");
  }
}

int HeldByOtherProcess::Release() {
  if (holder_ == nullptr) return -1;
  WriteFile(release_, "");
  int exitCode = -1;
  EXPECT_EQ(PlatProcessWait(holder_, 20000, &exitCode), PLAT_OK) << "the holder did not end";
  holder_ = nullptr;
  std::error_code ignored;
  fs::remove(ready_, ignored);
  fs::remove(release_, ignored);
  return exitCode;
}

void HeldByOtherProcess::Kill() {
  if (holder_ == nullptr) return;
  EXPECT_EQ(PlatProcessKill(holder_), PLAT_OK);
  int exitCode = 0;
  EXPECT_EQ(PlatProcessWait(holder_, 20000, &exitCode), PLAT_OK) << "the holder did not end";
  EXPECT_EQ(exitCode, -1);
  holder_ = nullptr;
}

bool IsReadOnly(const fs::path& path) {
  auto perms = fs::status(path).permissions();
  return (perms & (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write)) ==
         fs::perms::none;
}

bool SameTree(const fs::path& expected, const fs::path& actual, std::string* difference) {
  std::vector<fs::path> names;
  for (auto& entry : fs::recursive_directory_iterator(expected)) {
    names.push_back(PathBelow(entry.path(), expected));
  }
  for (auto& entry : fs::recursive_directory_iterator(actual)) {
    fs::path name = PathBelow(entry.path(), actual);
    if (!fs::exists(expected / name)) {
      *difference = "unexpected " + name.u8string();
      return false;
    }
  }
  for (const fs::path& name : names) {
    fs::path want = expected / name, got = actual / name;
    if (!fs::exists(got)) {
      *difference = "missing ";
    } else if (fs::is_directory(want) != fs::is_directory(got)) {
      *difference = "kind differs: ";
    } else if (!fs::is_directory(want) && ReadFile(want) != ReadFile(got)) {
      *difference = "bytes differ: ";
    } else if (!fs::is_directory(want) && IsReadOnly(want) != IsReadOnly(got)) {
      *difference = "read-only state differs: ";
    } else {
      continue;
    }
    *difference += name.u8string();
    return false;
  }
  return true;
}

// The whole file read through the platform into *contents.
int ReadDeviceFile(const ZString& path, std::string* contents) {
  PlatFile* file = nullptr;
  int result = PlatFileOpenRead(path.c_str(), &file);
  if (result != PLAT_OK) return result;
  contents->clear();
  char buffer[4096];
  for (;;) {
    size_t got = sizeof buffer;
    result = PlatFileRead(file, buffer, &got);
    if (result != PLAT_OK || got == 0) break;
    contents->append(buffer, got);
  }
  int closed = PlatFileClose(file);
  return result != PLAT_OK ? result : closed;
}

// The contents of a file, or a marker naming the failure, for one-line comparisons.
std::string Failure(int result) { return "<error " + std::to_string(result) + ">"; }
std::string NotFound() { return Failure(PLAT_ERR_NOT_FOUND); }
std::string DeviceContents(const ZString& path) {
  std::string contents;
  int result = ReadDeviceFile(path, &contents);
  return result == PLAT_OK ? contents : Failure(result);
}

// A name of the Basic Multilingual Plane in UTF-8.
static std::string Utf8(const ZChar* name) {
  std::string out;
  for (; *name != 0; name++) {
    unsigned c = *name;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += {static_cast<char>(0xC0 | c >> 6), static_cast<char>(0x80 | (c & 0x3F))};
    } else {
      out += {static_cast<char>(0xE0 | c >> 12), static_cast<char>(0x80 | (c >> 6 & 0x3F)),
              static_cast<char>(0x80 | (c & 0x3F))};
    }
  }
  return out;
}

std::map<ZString, ZUInt32> DeviceEntries(const ZString& folder, int* ended, std::vector<ZString>* repeated) {
  std::map<ZString, ZUInt32> entries;
  PlatFind* find = nullptr;
  PlatFindData data;
  int result = PlatFindFirst((folder + ZT("\\*.*")).c_str(), &find, &data);
  const bool opened = result == PLAT_OK;
  for (; result == PLAT_OK; result = PlatFindNext(find, &data)) {
    ZString name(data.name);
    if (name == ZT(".") || name == ZT("..")) continue;
    if (!entries.emplace(name, data.attributes).second && repeated != nullptr) repeated->push_back(name);
  }
  if (opened) PlatFindClose(find);
  if (ended != nullptr) *ended = result;
  return entries;
}

static void AddDeviceTree(const ZString& folder, const std::string& below,
                          std::map<std::string, std::string>* tree) {
  int ended = PLAT_OK;
  const std::map<ZString, ZUInt32> entries = DeviceEntries(folder, &ended);
  for (const auto& [name, attributes] : entries) {
    const ZString path = folder + ZT("\\") + name;
    const std::string relative = below + Utf8(name.c_str());
    if (attributes & PLAT_ATTR_DIRECTORY) {
      AddDeviceTree(path, relative + "/", tree);
    } else {
      (*tree)[relative] = DeviceContents(path);
    }
  }
  if (entries.empty() && !below.empty()) (*tree)[below] = ended == PLAT_ERR_NOT_FOUND ? "" : Failure(ended);
}

std::map<std::string, std::string> DeviceTree(const ZString& folder) {
  std::map<std::string, std::string> tree;
  AddDeviceTree(folder, "", &tree);
  return tree;
}

int WriteDeviceFile(const ZString& path, const std::string& contents) {
  PlatFile* file = nullptr;
  int result = PlatFileCreate(path.c_str(), &file);
  if (result != PLAT_OK) return result;
  size_t written = 0;
  result = PlatFileWrite(file, contents.data(), contents.size(), &written);
  if (result == PLAT_OK && written != contents.size()) result = PLAT_ERR_IO;
  int closed = PlatFileClose(file);
  return result != PLAT_OK ? result : closed;
}

// Consumes prefix from the front of *rest; false when *rest does not start with it.
static bool Take(std::string_view* rest, std::string_view prefix) {
  if (rest->substr(0, prefix.size()) != prefix) return false;
  rest->remove_prefix(prefix.size());
  return true;
}

// Consumes a decimal number of minDigits to maxDigits digits from the front of *rest.
static bool TakeNumber(std::string_view* rest, size_t minDigits, size_t maxDigits, uint64_t* value) {
  size_t digits = 0;
  *value = 0;
  while (digits < rest->size() && (*rest)[digits] >= '0' && (*rest)[digits] <= '9') {
    *value = *value * 10 + static_cast<uint64_t>((*rest)[digits] - '0');
    digits++;
  }
  if (digits < minDigits || digits > maxDigits) return false;
  rest->remove_prefix(digits);
  return true;
}

bool ParseStageLine(const std::string& text, LoggedStage* stage) {
  std::string_view rest = text;
  uint64_t number = 0;
  if (!Take(&rest, "[ZELT_UPDATE] Line: ") || !TakeNumber(&rest, 5, 5, &number) ||
      !Take(&rest, ": Time: ") || !TakeNumber(&rest, 1, 10, &stage->tick) || !Take(&rest, " ")) {
    return false;
  }
  stage->line = static_cast<int>(number);
  stage->message = std::string(rest);
  return true;
}

std::string LineTag(int line) {
  char tag[16];
  std::snprintf(tag, sizeof tag, "Line: %05d:", line);
  return tag;
}

std::string LastLogFileLine(const fs::path& root) {
  std::string text = ReadFile(root / "SDMMC" / "zelt-update.log");
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text.substr(text.rfind('\n') + 1);
}

std::vector<LoggedStage> LoggedStages(const std::string& log) {
  std::vector<LoggedStage> stages;
  std::istringstream lines(log);
  LoggedStage stage;
  for (std::string text; std::getline(lines, text);) {
    if (ParseStageLine(text, &stage)) stages.push_back(stage);
  }
  return stages;
}
