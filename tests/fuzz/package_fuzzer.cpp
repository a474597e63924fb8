// libFuzzer harness over the whole package path of an update: the input is written as the
// package of a fresh simulated device, proved with TestPackage and then unpacked into the install
// folder with ExtractPackage, as the updater does. Sanitizers catch what goes wrong in memory;
// the harness aborts, so that libFuzzer keeps the input, when the path breaks what the updater
// relies on to never brick a device:
// - the package test writes nothing anywhere;
// - the extraction writes nothing outside the install folder (beside the device root included);
// - the extraction never succeeds for a package that the test refused, but where the test refuses
//   what the extraction takes on purpose (a file named as an earlier read-only one, whose bytes
//   the device would not take).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

#include "extractor.h"
#include "failure_reason.h"
#include "package_check.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

const char16_t kPackage[] = u"SDMMC\\Zeltrovan.7z";
const char16_t kInstallDir[] = u"Zeltrovan";

fs::path scratch;  // the device root "device" and a file beside it
// What the package test refused the package for, first: the code of its first reason.
std::string refusal;
fs::path device;

void Fail(const char* what, const std::string& detail) {
  fprintf(stderr, "package_fuzzer: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  abort();
}

void WriteBytes(const fs::path& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out.good()) Fail("cannot write", path.string());
}

// Relative path -> permission bits and bytes of every entry under top ("/" for a folder,
// "->target" for a link), leaving out what lies inside the folder skip.
using Snapshot = std::map<std::string, std::string>;

Snapshot Take(const fs::path& top, const fs::path& skip) {
  Snapshot entries;
  const size_t prefix = top.string().size() + 1;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(top, error); !error && it != fs::end(it);
       it.increment(error)) {
    const fs::path& path = it->path();
    std::string& contents = entries[path.string().substr(prefix)];
    auto mode = static_cast<unsigned>(it->symlink_status().permissions());
    contents = std::to_string(mode) + " ";
    if (it->is_symlink()) {
      contents += "->" + fs::read_symlink(path).string();
    } else if (it->is_directory()) {
      contents += "/";
      if (path == skip) it.disable_recursion_pending();
    } else {
      std::ifstream in(path, std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      contents += bytes.str();
    }
  }
  if (error) Fail("cannot list", top.string() + ": " + error.message());
  return entries;
}

// The first difference between two snapshots, or "" when there is none.
std::string Difference(const Snapshot& before, const Snapshot& after) {
  for (auto& [name, contents] : after) {
    auto old = before.find(name);
    if (old == before.end()) return "new " + name;
    if (old->second != contents) return "changed " + name;
  }
  for (auto& [name, contents] : before) {
    if (after.count(name) == 0) return "removed " + name;
  }
  return "";
}

// A device with an empty install folder, other files of its own, and the input as the package.
void MakeDevice(const uint8_t* data, size_t size) {
  std::error_code ignored;
  fs::permissions(device, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(device, ignored);
  fs::create_directories(device / "SDMMC");
  fs::create_directories(device / "Zeltrovan");
  fs::create_directories(device / "Windows");
  WriteBytes(device / "Windows" / "system.ini", "[boot]\n", 7);
  WriteBytes(device / "SDMMC" / "zelt-update", "updater", 7);
  WriteBytes(device / "SDMMC" / "Zeltrovan.7z", data, size);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::random_device random;
  do {
    scratch = fs::temp_directory_path() / ("zelt-fuzz-" + std::to_string(random()));
  } while (!fs::create_directory(scratch));
  device = scratch / "device";
  WriteBytes(scratch / "beside-the-device.txt", "outside\n", 8);
  MakeDevice(nullptr, 0);
  if (PlatSetDeviceRoot(device.c_str()) != PLAT_OK) Fail("cannot use the device root", device.string());
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MakeDevice(data, size);
  const fs::path install = device / "Zeltrovan";
  Snapshot before = Take(scratch, fs::path());

  refusal.clear();
  SetReasonSink(
      [](void*, const char* code, const ZChar*, const char*) {
        if (refusal.empty()) refusal = code;
      },
      nullptr);
  int tested = TestPackage(kPackage, kInstallDir, u"Zeltrovan.7z");
  SetReasonSink(nullptr, nullptr);
  std::string change = Difference(before, Take(scratch, fs::path()));
  if (!change.empty()) Fail("the package test wrote", change);

  int extracted = ExtractPackage(kPackage, kInstallDir);
  fflush(stdout);
  change = Difference(before, Take(scratch, install));
  if (!change.empty()) Fail("the extraction wrote outside the install folder", change);
  if (tested != 0 && extracted == 0 && refusal != "name-duplicate-read-only") {
    Fail("the extraction succeeded for a package that failed its test", refusal);
  }
  return 0;
}
