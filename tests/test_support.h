// Helpers shared by the tests: scratch device folders, packages made with the host's 7zz, and
// small file utilities. Host-side file work goes through std::filesystem.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

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

// Makes the platform treat dir as the device root for the rest of this process.
void UseDeviceRoot(const fs::path& dir);

void WriteFile(const fs::path& path, const std::string& contents);
std::string ReadFile(const fs::path& path);
// Deterministic bytes that compress poorly and well in turns, so that every coder has work.
std::string SampleBytes(size_t size, unsigned seed);

// Runs a shell command; returns its exit status (0..255).
int RunShell(const std::string& command);
// Packs the contents of folder into archive with 7zz and the given switches (e.g. "-m0=PPMd").
// Fails the current test when 7zz does.
void MakePackage(const fs::path& folder, const fs::path& archive, const std::string& switches);

// Whether two trees hold the same names, the same bytes and the same read-only state.
bool SameTree(const fs::path& expected, const fs::path& actual, std::string* difference);
bool IsReadOnly(const fs::path& path);
