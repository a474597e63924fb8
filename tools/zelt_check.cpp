// Tells an integrator's pipeline whether the device will take a package, and why not:
// zelt-check [--ram MB] [--free MB] [--cluster KB] [--json] PACKAGE. It runs the updater's own
// package test, then what the device adds to it: paths, memory per solid block, room on the
// volume, coders, encryption and the items the clean or the run treat specially. Exit 0 when the
// device will take the package, 1 when it will refuse it, 2 for a usage error or a file that is
// no package at all.
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device_names.h"
#include "failure_reason.h"
#include "item_path.h"
#include "package_check.h"
#include "package_reader.h"
#include "package_space.h"
#include "platform.h"
#include "update_run.h"

namespace {

// The smallest device has 64 MB of RAM; its system, the object store and the drivers keep about
// half of it, so the updater can count on 32 MB.
constexpr unsigned long long kDefaultRamMb = 32;
constexpr ZUInt32 kAesMethod = 0x06F10701;
constexpr const char* kKeptFile = "EMMC_Check_File.txt";
constexpr const char* kToleratedFile = "ceusbkwrapperdrv.dll";

enum Severity { NOTE, WARNING, ERROR };
const char* const kSeverityNames[] = {"note", "warning", "error"};

struct Finding {
  Severity severity;
  std::string item;  // empty for the package as a whole
  std::string text;
};

struct Options {
  unsigned long long ramBytes = kDefaultRamMb << 20;
  bool freeGiven = false;
  unsigned long long freeBytes = 0;
  ZUInt32 clusterBytes = PLAT_ASSUMED_CLUSTER;
  bool json = false;
  const char* package = nullptr;
};

// What the check found besides the findings, for the summary.
struct Figures {
  unsigned long long largestBlockBytes = 0;
  unsigned long long spaceBytes = 0;
};

bool ParseCount(const char* text, unsigned long long limit, unsigned long long* value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  *value = std::strtoull(text, &end, 10);
  return *end == 0 && *value > 0 && *value <= limit;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long long value = 0;
    if (arg == "--json") {
      options->json = true;
    } else if (arg == "--ram" && ParseCount(next, 1 << 20, &value)) {
      options->ramBytes = value << 20;
      i++;
    } else if (arg == "--free" && ParseCount(next, 1ULL << 30, &value)) {
      options->freeGiven = true;
      options->freeBytes = value << 20;
      i++;
    } else if (arg == "--cluster" && ParseCount(next, 1 << 20, &value) && (value & (value - 1)) == 0) {
      options->clusterBytes = static_cast<ZUInt32>(value << 10);
      i++;
    } else if (options->package == nullptr && !arg.empty() && arg[0] != '-') {
      options->package = argv[i];
    } else {
      return false;
    }
  }
  return options->package != nullptr;
}

std::string Printable(const ZChar* name) {
  int units = static_cast<int>(TextLength(name));
  std::vector<char> text(units * 3 + 1);
  int produced = PlatUtf16ToConsole(name, units, text.data(), static_cast<int>(text.size()), '_');
  return std::string(text.data(), produced > 0 ? produced : 0);
}

bool IsName(const ZChar* component, size_t length, const char* name) {
  ZChar wide[64] = {0};
  size_t i = 0;
  for (; name[i] != 0 && i + 1 < 64; i++) wide[i] = static_cast<ZChar>(name[i]);
  return NamesEqualIgnoringCase(component, length, wide, i);
}

std::string Megabytes(unsigned long long bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576.0);
  return text;
}

// The names the clean and the run treat specially, wherever they stand in the item's path. A
// folder is reported once, however many items lie in it (warnedFolders).
void CheckSpecialNames(const ZChar* name, bool isDirectory, std::set<std::string>* warnedFolders,
                       std::vector<Finding>* findings) {
  std::string item = Printable(name);
  std::vector<std::pair<const ZChar*, size_t>> components;
  const ZChar* cursor = name;
  size_t length = 0;
  while (const ZChar* component = NextPathComponent(&cursor, &length))
    components.push_back({component, length});
  for (size_t k = 0; k < components.size(); k++) {
    const ZChar* component = components[k].first;
    length = components[k].second;
    bool isFile = k + 1 == components.size() && !isDirectory;
    if (k == 0 && NamesEqualIgnoringCase(component, length, kPackageCopyName, TextLength(kPackageCopyName))) {
      findings->push_back(
          {ERROR, item, "named like the package copy the update unpacks from, in its folder"});
    }
    if (IsName(component, length, kKeptFile)) {
      std::string folder = Printable(std::basic_string<ZChar>(name, component + length).c_str());
      if (isFile) {
        findings->push_back(
            {WARNING, item, "named like the marker file the clean keeps: it replaces the device's own"});
      } else if (warnedFolders->insert(folder).second) {
        findings->push_back({WARNING, folder,
                             "a folder named like the marker file the clean keeps: where the device "
                             "has that file, the folder cannot be made and the update fails"});
      }
    }
    if (isFile && IsName(component, length, kToleratedFile)) {
      findings->push_back(
          {NOTE, item, "the driver the clean leaves when it is in use: the older one then stays"});
    }
  }
}

// The other item of a clash in the tree, as ReadItemName gives names.
std::string OtherItem(PackageReader* reader, UInt32 other) {
  std::basic_string<ZChar> name(SzArEx_GetFileNameUtf16(&reader->db, other, nullptr), 0);
  SzArEx_GetFileNameUtf16(&reader->db, other, reinterpret_cast<UInt16*>(&name[0]));
  DropCurrentFolderComponents(&name[0]);
  return Printable(name.c_str());
}

void CheckItems(PackageReader* reader, std::vector<Finding>* findings) {
  const CSzArEx* db = &reader->db;
  std::set<std::string> warnedFolders, fullFolders;
  // The tree the package test walks, for its findings item by item.
  PackageTree tree;
  PackageTreeInit(&tree, db, PLAT_ASSUMED_CLUSTER, TextLength(kPackageCopyName));
  for (UInt32 i = 0; i < db->NumFiles; i++) {
    if (ReadItemName(reader, i) != SZ_OK) {
      findings->push_back({ERROR, "item " + std::to_string(i + 1), "no memory for its name"});
      continue;
    }
    const ZChar* name = reinterpret_cast<const ZChar*>(reader->name);
    std::string item = Printable(name);
    if (name[0] == 0) {
      findings->push_back({ERROR, "item " + std::to_string(i + 1), "an empty name"});
      continue;
    }
    bool isDirectory = SzArEx_IsDir(db, i);
    if (IsAntiItem(reader, i)) {
      findings->push_back({NOTE, item, "anti-item: it writes nothing, the clean has removed what it names"});
      continue;
    }
    if (const char* problem = ItemPathProblem(kOutDirWide, name, isDirectory)) {
      // The extractor's wording goes on with what it does then; the package test refuses instead.
      std::string text = problem;
      findings->push_back({ERROR, item, text.substr(0, text.find(','))});
      continue;
    }
    if (!isDirectory && !DeviceFileSizeFits(SzArEx_GetFileSize(db, i))) {
      findings->push_back({ERROR, item, kFileTooLargeCause});
      continue;
    }
    UInt32 other = i;
    int added = PackageTreeAdd(&tree, i, &other);
    // A full folder is told once, at its first item that does not fit.
    std::string folder = item.substr(0, item.rfind('/') + 1);
    if (added == TREE_FOLDER_FULL && !fullFolders.insert(folder).second) continue;
    if (added != TREE_ADDED) {
      std::string text = TreeCause(added);
      if (other != i) text += ": " + OtherItem(reader, other);
      findings->push_back({added == TREE_SAME_FILE ? WARNING : ERROR, item, text});
      if (added != TREE_SAME_FILE) continue;
    }
    CheckSpecialNames(name, isDirectory, &warnedFolders, findings);
    if (SzBitWithVals_Check(&db->Attribs, i) && (db->Attribs.Vals[i] & PLAT_ATTR_READONLY) != 0) {
      findings->push_back(
          {NOTE, item, "read-only: the next update's clean makes it writable before deleting it"});
    }
  }
  PackageTreeFree(&tree);
}

// The archive library's allocator over the package's own, summing what is asked of it.
struct CountingAllocator {
  ISzAlloc vt;
  unsigned long long bytes;
};

void* CountingAlloc(ISzAllocPtr p, size_t size) {
  reinterpret_cast<CountingAllocator*>(const_cast<ISzAlloc*>(p))->bytes += size;
  return ISzAlloc_Alloc(&kPackageAllocator, size);
}

void CountingFree(ISzAllocPtr, void* address) { ISzAlloc_Free(&kPackageAllocator, address); }

// The methods as packers' listings name them.
struct MethodName {
  ZUInt32 method;
  const char* name;
};
const MethodName kMethodNames[] = {
    {CODER_COPY, "Copy"},  {CODER_LZMA, "LZMA"},    {CODER_LZMA2, "LZMA2"}, {CODER_PPMD, "PPMd"},
    {0x03030103, "BCJ"},   {0x0303011B, "BCJ2"},    {0x03030501, "ARM"},    {0x03030701, "ARMT"},
    {0x040108, "Deflate"}, {0x040109, "Deflate64"}, {0x040202, "BZip2"},    {kAesMethod, "AES"},
};

std::string NameOf(ZUInt32 method) {
  for (const MethodName& known : kMethodNames) {
    if (known.method == method) return known.name;
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(method));
  return text;
}

// Each solid block opened as the extractor opens it, through an allocator that counts: what it
// takes is the dictionary or model, the filter's and BCJ2's buffers, and nothing is decoded.
void CheckBlocks(PackageReader* reader, const Options& options, std::vector<Finding>* findings,
                 Figures* figures) {
  const CSzAr* ar = &reader->db.db;
  for (UInt32 i = 0; i < ar->NumFolders; i++) {
    std::string block = "block " + std::to_string(i + 1);
    CSzData data;
    data.Data = ar->CodersData + ar->FoCodersOffsets[i];
    data.Size = ar->FoCodersOffsets[i + 1] - ar->FoCodersOffsets[i];
    CSzFolder folder;
    std::string coders;
    bool encrypted = false;
    if (SzGetNextFolderItem(&folder, &data) == SZ_OK) {
      for (UInt32 c = folder.NumCoders; c-- > 0;) {
        coders += (coders.empty() ? "" : " ") + NameOf(folder.Coders[c].MethodID);
        encrypted = encrypted || folder.Coders[c].MethodID == kAesMethod;
      }
    }
    CountingAllocator counting = {{CountingAlloc, CountingFree}, 0};
    SRes res = FolderStreamOpen(reader->folder, &reader->db, i, reader->file, reader->look.buf,
                                kLookBufferSize, &counting.vt);
    FolderStreamClose(reader->folder);
    if (encrypted) {
      findings->push_back({ERROR, block, "encrypted (" + coders + "): the device has no password"});
      continue;
    }
    if (res == SZ_ERROR_UNSUPPORTED) {
      findings->push_back({ERROR, block,
                           "coders " + coders +
                               ": the device decodes Copy, LZMA, LZMA2 and PPMd, "
                               "alone or before BCJ, ARM or another branch filter, and BCJ2"});
      continue;
    }
    unsigned long long bytes =
        counting.bytes + kLookBufferSize + sizeof(FolderStream) + sizeof(PackageReader);
    if (bytes > figures->largestBlockBytes) figures->largestBlockBytes = bytes;
    if (res == SZ_ERROR_MEM || bytes > options.ramBytes) {
      findings->push_back({ERROR, block,
                           "coders " + coders + " need " + (res == SZ_ERROR_MEM ? "over " : "") +
                               Megabytes(bytes) + " of memory, more than the " + Megabytes(options.ramBytes) +
                               " the updater has"});
    } else if (res != SZ_OK) {
      findings->push_back({ERROR, block, "its sizes or coders do not fit together"});
    }
  }
}

// space is the package's measure from its test.
void CheckSpace(const PackageSpace& space, const Options& options, std::vector<Finding>* findings,
                Figures* figures) {
  if (!space.measured) {
    findings->push_back({ERROR, "", "its unpacked size cannot be measured"});
    return;
  }
  // The copy stays in the install folder until every item is out. A header can declare sizes no
  // volume holds: the sum is kept from wrapping round.
  ZUInt64 clusters = space.packageClusters + space.unpackedClusters;
  if (clusters < space.packageClusters || clusters > ~0ULL / options.clusterBytes)
    clusters = ~0ULL / options.clusterBytes;
  figures->spaceBytes = clusters * options.clusterBytes;
  if (options.freeGiven && figures->spaceBytes > options.freeBytes) {
    findings->push_back({ERROR, "",
                         "needs " + Megabytes(figures->spaceBytes) + " in whole " +
                             std::to_string(options.clusterBytes >> 10) +
                             " KB clusters (its copy and its items), more than the " +
                             Megabytes(options.freeBytes) + " free"});
  }
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

int Report(const Options& options, const std::vector<Finding>& findings, const Figures& figures) {
  int counts[3] = {0, 0, 0};
  for (const Finding& finding : findings) counts[finding.severity]++;
  bool refused = counts[ERROR] > 0;
  if (options.json) {
    std::printf(
        "{\"package\": %s, \"verdict\": \"%s\", \"largest_block_bytes\": %llu, \"space_bytes\": %llu, "
        "\"findings\": [",
        JsonText(options.package).c_str(), refused ? "refuse" : "take", figures.largestBlockBytes,
        figures.spaceBytes);
    const char* separator = "";
    for (const Finding& finding : findings) {
      std::printf("%s\n  {\"severity\": \"%s\", \"item\": %s, \"finding\": %s}", separator,
                  kSeverityNames[finding.severity], JsonText(finding.item).c_str(),
                  JsonText(finding.text).c_str());
      separator = ",";
    }
    std::printf("%s]}\n", findings.empty() ? "" : "\n");
  } else {
    for (const Finding& finding : findings) {
      std::printf("%s: %s: %s%s%s\n", options.package, kSeverityNames[finding.severity], finding.item.c_str(),
                  finding.item.empty() ? "" : ": ", finding.text.c_str());
    }
    std::printf("%s: %s: %d errors, %d warnings, %d notes; largest block %s of %s, %s on the volume\n",
                options.package, refused ? "the device will refuse it" : "the device will take it",
                counts[ERROR], counts[WARNING], counts[NOTE], Megabytes(figures.largestBlockBytes).c_str(),
                Megabytes(options.ramBytes).c_str(), Megabytes(figures.spaceBytes).c_str());
  }
  return refused ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: zelt-check [--ram MB] [--free MB] [--cluster KB] [--json] PACKAGE\n");
    return 2;
  }
  // Host paths, whatever device the environment names.
  PlatSetDeviceRoot("/");
  ZChar package[PLAT_MAX_PATH];
  if (PlatHostPathToDevicePath(options.package, package, PLAT_MAX_PATH) != PLAT_OK) {
    std::fprintf(stderr, "zelt-check: package path unusable: %s\n", options.package);
    return 2;
  }
  PackageReader reader;
  int opened = OpenPackage(package, &reader);
  if (opened == PACKAGE_UNREADABLE || opened == PACKAGE_INVALID) {
    std::fprintf(stderr, "zelt-check: %s: %s\n", options.package,
                 opened == PACKAGE_UNREADABLE ? "cannot be opened" : "is no package the device can read");
    return 2;
  }
  std::vector<Finding> findings;
  Figures figures;
  PackageSpace space = {options.clusterBytes, false, 0, 0};
  if (TestPackage(package, kOutDirWide, kPackageCopyName, &space) != 0) {
    findings.push_back({ERROR, "", "the updater's package test refuses it"});
  }
  if (opened == PACKAGE_UNSUPPORTED) {
    findings.push_back(
        {ERROR, "", "its item list is coded in a way the device cannot read (encrypted, or PPMd)"});
    return Report(options, findings, figures);
  }
  CheckItems(&reader, &findings);
  CheckBlocks(&reader, options, &findings, &figures);
  ClosePackage(&reader);
  CheckSpace(space, options, &findings, &figures);
  return Report(options, findings, figures);
}
