#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

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
  MakeWritable(path_);
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void UseDeviceRoot(const fs::path& dir) { ASSERT_EQ(PlatSetDeviceRoot(dir.c_str()), PLAT_OK); }

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

int RunShell(const std::string& command) {
  int status = std::system(command.c_str());
  return status == -1 ? 255 : (status >> 8) & 0xFF;
}

void MakePackage(const fs::path& folder, const fs::path& archive, const std::string& switches) {
  std::string command = "cd '" + folder.string() + "' && 7zz a -bd -bso0 -bsp0 " + switches +
                        " '" + archive.string() + "' . > /dev/null";
  ASSERT_EQ(RunShell(command), 0) << command;
}

bool IsReadOnly(const fs::path& path) {
  auto perms = fs::status(path).permissions();
  return (perms & (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write)) ==
         fs::perms::none;
}

bool SameTree(const fs::path& expected, const fs::path& actual, std::string* difference) {
  std::vector<std::string> names;
  for (auto& entry : fs::recursive_directory_iterator(expected)) {
    names.push_back(fs::relative(entry.path(), expected).string());
  }
  for (auto& entry : fs::recursive_directory_iterator(actual)) {
    std::string name = fs::relative(entry.path(), actual).string();
    if (!fs::exists(expected / name)) {
      *difference = "unexpected " + name;
      return false;
    }
  }
  for (const std::string& name : names) {
    fs::path want = expected / name, got = actual / name;
    if (!fs::exists(got)) {
      *difference = "missing " + name;
    } else if (fs::is_directory(want) != fs::is_directory(got)) {
      *difference = "kind differs: " + name;
    } else if (!fs::is_directory(want) && ReadFile(want) != ReadFile(got)) {
      *difference = "bytes differ: " + name;
    } else if (!fs::is_directory(want) && IsReadOnly(want) != IsReadOnly(got)) {
      *difference = "read-only state differs: " + name;
    } else {
      continue;
    }
    return false;
  }
  return true;
}
