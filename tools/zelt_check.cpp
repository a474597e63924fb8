// Tells an integrator's pipeline whether the device will take a package, and why not:
// zelt-check [--ram MB] [--free MB] [--cluster KB] [--json] PACKAGE... It runs the updater's own
// package test, then what the device adds to it: paths, memory per solid block, room on the
// volume, coders, encryption and the items the clean or the run treat specially. Exit 0 when the
// device will take every package, 1 when it will refuse one, 2 for a usage error or a file that
// is no package at all. With --json it prints one JSON document in UTF-8 on every exit.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "coders.h"
#include "console.h"
#include "device_rules.h"
#include "failure_reason.h"
#include "package_check.h"
#include "package_reader.h"
#include "platform.h"
#include "install_names.h"

namespace {

// The smallest device has 64 MB of RAM; its system, the object store and the drivers keep about
// half of it, so the updater can count on 32 MB.
constexpr unsigned long long kDefaultRamMb = 32;
// One command that packs a folder as the device takes it with the default --ram: LZMA2 with a
// dictionary that leaves room for the extractor, no password, one file.
constexpr const char* kRepackLine =
    "repack it as the device takes it: cd FOLDER && 7zz a -m0=LZMA2 -md=16m ../Zeltrovan.7z .";

enum Severity { NOTE, WARNING, ERROR };
const char* const kSeverityNames[] = {"note", "warning", "error"};

using Name = std::basic_string<ZChar>;

struct Finding {
  Severity severity;
  std::string code;
  bool hasItem;
  Name item;     // an item path, when hasItem
  UInt32 block;  // 1 and up for a solid block's finding, 0 for none
  std::string text;
};

// The codes of findings that are not errors, and of errors a repack with kRepackLine fixes. Every
// other code is an error that a repack does not fix; the package test's codes are listed in
// failure_reason.cpp, where each cause has its own.
struct CodeKind {
  const char* code;
  Severity severity;
  bool repackFixes;
};
const CodeKind kCodeKinds[] = {
    {"anti-item", NOTE, false},
    {"read-only", NOTE, false},
    {"driver-kept-in-use", NOTE, false},
    {"marker-file-replaced", WARNING, false},
    {"marker-folder", WARNING, false},
    {"name-duplicate", WARNING, false},
    {"coder-unsupported", ERROR, true},
    {"coder-layout-unsupported", ERROR, true},
    {"encrypted", ERROR, true},
    {"encrypted-header", ERROR, true},
    {"header-coder-unsupported", ERROR, true},
    {"dictionary-too-large", ERROR, true},
    {"not-enough-memory", ERROR, true},
    {"truncated", ERROR, true},
    {"not-7z", ERROR, true},
};

const CodeKind* KindOf(const std::string& code) {
  for (const CodeKind& kind : kCodeKinds) {
    if (code == kind.code) return &kind;
  }
  return nullptr;
}

void Add(std::vector<Finding>* findings, const char* code, const Name* item, UInt32 block,
         const std::string& text) {
  const CodeKind* kind = KindOf(code);
  findings->push_back({kind != nullptr ? kind->severity : ERROR, code, item != nullptr,
                       item != nullptr ? *item : Name(), block, text});
}

struct Options {
  unsigned long long ramBytes = kDefaultRamMb << 20;
  bool freeGiven = false;
  unsigned long long freeBytes = 0;
  ZUInt32 clusterBytes = PLAT_ASSUMED_CLUSTER;
  bool json = false;
  std::vector<const char*> packages;
};

// What the check found besides the findings, for the summary.
struct Figures {
  unsigned long long largestBlockBytes = 0;
  unsigned long long spaceBytes = 0;
};

// One package's result: exit 0 taken, 1 refused, 2 no package the check can read.
struct Result {
  const char* package;
  int status;
  std::vector<Finding> findings;
  Figures figures;
};

const char* const kStatusMeanings[] = {"the device will take it", "the device will refuse it",
                                       "no package the check can read"};
const char* const kVerdicts[] = {"take", "refuse", "unreadable"};

bool ParseCount(const char* text, unsigned long long limit, unsigned long long* value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  *value = std::strtoull(text, &end, 10);
  return *end == 0 && *value > 0 && *value <= limit;
}

// Returns what is wrong with the command line, or an empty text.
std::string ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; i++) options->json = options->json || std::string(argv[i]) == "--json";
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long long value = 0;
    if (arg == "--json") continue;
    if (arg == "--ram" || arg == "--free" || arg == "--cluster") {
      if (!ParseCount(next, arg == "--free" ? 1ULL << 30 : 1 << 20, &value)) {
        return arg + " needs a whole number of " + (arg == "--cluster" ? "KB" : "MB") + " above 0";
      }
      i++;
      if (arg == "--ram") {
        options->ramBytes = value << 20;
      } else if (arg == "--free") {
        options->freeGiven = true;
        options->freeBytes = value << 20;
      } else if ((value & (value - 1)) != 0) {
        return "--cluster must be a power of two (4, 8, 16 or 32 KB on the device's media)";
      } else {
        options->clusterBytes = static_cast<ZUInt32>(value << 10);
      }
    } else if (!arg.empty() && arg[0] != '-') {
      options->packages.push_back(argv[i]);
    } else {
      return "unknown option " + arg;
    }
  }
  return options->packages.empty() ? "no package named" : "";
}

std::string Printable(const ZChar* name) {
  char* bytes = nullptr;
  int made = ConsoleTextOf(name, TextLength(name), &bytes);
  std::string text(bytes != nullptr ? bytes : "", static_cast<size_t>(made));
  std::free(bytes);
  return text;
}

// JSON is UTF-8 whatever the console: a lone surrogate becomes U+FFFD.
std::string Utf8(const Name& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); i++) {
    unsigned long c = name[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string Megabytes(unsigned long long bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576.0);
  return text;
}

// The names the clean and the run treat specially, wherever they stand in the item's path. A
// folder is reported once, however many items lie in it (warnedFolders).
void CheckSpecialNames(const ZChar* name, bool isDirectory, std::set<Name>* warnedFolders,
                       std::vector<Finding>* findings) {
  static const size_t kKeptLength = TextLength(kKeptFile), kToleratedLength = TextLength(kToleratedFile);
  const ZChar* cursor = name;
  size_t nextLength = 0;
  const ZChar* next = NextPathComponent(&cursor, &nextLength);
  while (const ZChar* component = next) {
    size_t length = nextLength;
    next = NextPathComponent(&cursor, &nextLength);
    bool isFile = next == nullptr && !isDirectory;
    bool kept = NamesEqualIgnoringCase(component, length, kKeptFile, kKeptLength);
    if (kept && isFile) {
      Name item = name;
      Add(findings, "marker-file-replaced", &item, 0,
          "named like the marker file the clean keeps: it replaces the device's own; leave it out "
          "unless it should");
    } else if (kept) {
      Name folder(name, component + length);
      if (warnedFolders->insert(folder).second) {
        Add(findings, "marker-folder", &folder, 0,
            "a folder named like the marker file the clean keeps: where the device has that file, "
            "the update refuses the package before anything is deleted; rename the folder");
      }
    } else if (isFile && NamesEqualIgnoringCase(component, length, kToleratedFile, kToleratedLength)) {
      Name item = name;
      Add(findings, "driver-kept-in-use", &item, 0,
          "the driver the clean leaves when it is in use: the older one then stays");
    }
  }
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

std::string NameOf(ZUInt32 method) {
  if (const char* name = CoderName(method)) return name;
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(method));
  return text;
}

// What a coder's properties ask for its dictionary or model, or 0 for a coder without one.
unsigned long long DictionaryBytes(const CSzCoderInfo& coder, const Byte* props) {
  props += coder.PropsOffset;
  if (coder.MethodID == CODER_LZMA2 && coder.PropsSize == 1) {
    unsigned bits = props[0];
    return bits >= 40 ? 0xFFFFFFFFULL : (2ULL | (bits & 1)) << (bits / 2 + 11);
  }
  if ((coder.MethodID == CODER_LZMA || coder.MethodID == CODER_PPMD) && coder.PropsSize >= 5) {
    return props[1] | props[2] << 8 | props[3] << 16 | static_cast<unsigned long long>(props[4]) << 24;
  }
  return 0;
}

// The largest power of two of kilobytes within limit bytes, as a 7-Zip switch's size ("16m").
std::string FittingSize(unsigned long long limit) {
  unsigned long long kb = 1;
  while ((kb << 11) <= limit) kb <<= 1;
  return kb >= 1024 ? std::to_string(kb >> 10) + "m" : std::to_string(kb) + "k";
}

// What a block that needs bytes (over them when its allocation was refused), with a dictionary or model of
// dictionary bytes from its coder, should change to fit ramBytes.
std::string MemoryAdvice(bool over, unsigned long long bytes, unsigned long long dictionary, bool ppmd,
                         unsigned long long ramBytes) {
  std::string text = std::string("needs ") + (over ? "over " : "") + Megabytes(bytes) + " to unpack";
  if (dictionary > 0) text += " (a " + Megabytes(dictionary) + (ppmd ? " PPMd model)" : " dictionary)");
  text += "; the device has " + Megabytes(ramBytes);
  unsigned long long others = bytes > dictionary ? bytes - dictionary : 0;
  if (dictionary == 0 || others + (64 << 10) > ramBytes) return text + ": more than any repack saves";
  std::string size = FittingSize(ramBytes - others);
  return text + (ppmd ? ": repack with -m0=PPMd:mem=" + size : ": repack with -md=" + size);
}

// Each solid block opened as the extractor opens it, through an allocator that counts: what it
// takes is the dictionary or model, the filter's and BCJ2's buffers, and nothing is decoded.
void CheckBlocks(PackageReader* reader, const Options& options, std::vector<Finding>* findings,
                 Figures* figures) {
  const CSzAr* ar = &reader->db.db;
  for (UInt32 i = 0; i < ar->NumFolders; i++) {
    const Byte* props = nullptr;
    CSzFolder folder;
    std::string coders;
    std::string lacking;
    bool encrypted = false;
    bool ppmd = false;
    unsigned long long dictionary = 0;
    if (ReadBlockCoders(&reader->db, i, &folder, &props) == SZ_OK) {
      for (UInt32 c = folder.NumCoders; c-- > 0;) {
        ZUInt32 method = folder.Coders[c].MethodID;
        coders += (coders.empty() ? "" : " ") + NameOf(method);
        if (!DeviceDecodes(method)) lacking += (lacking.empty() ? "" : " and ") + NameOf(method);
        encrypted = encrypted || method == CODER_AES;
        ppmd = ppmd || method == CODER_PPMD;
        dictionary = std::max(dictionary, DictionaryBytes(folder.Coders[c], props));
      }
    }
    // The decoder gives an LZMA dictionary no more than the block holds; a PPMd model is whole.
    if (!ppmd) dictionary = std::min<unsigned long long>(dictionary, SzAr_GetFolderUnpackSize(ar, i));
    CountingAllocator counting = {{CountingAlloc, CountingFree}, 0};
    SRes res = OpenBlockOnly(reader, i, &counting.vt);
    if (encrypted) {
      Add(findings, "encrypted", nullptr, i + 1,
          "encrypted (" + coders + "): the device has no password: pack without -p");
      continue;
    }
    if (res == SZ_ERROR_UNSUPPORTED && !lacking.empty()) {
      Add(findings, "coder-unsupported", nullptr, i + 1,
          "packed with " + lacking + ", which the device cannot unpack: repack with -m0=LZMA2");
      continue;
    }
    if (res == SZ_ERROR_UNSUPPORTED) {
      Add(findings, "coder-layout-unsupported", nullptr, i + 1,
          "packed with " + coders +
              " in a layout or with properties the device cannot unpack: "
              "repack with -m0=LZMA2");
      continue;
    }
    unsigned long long bytes =
        counting.bytes + kLookBufferSize + sizeof(FolderStream) + sizeof(PackageReader);
    if (res == SZ_ERROR_MEM) bytes = std::max(bytes, dictionary + kLookBufferSize + sizeof(FolderStream));
    if (res == SZ_OK && bytes > figures->largestBlockBytes) figures->largestBlockBytes = bytes;
    if (res == SZ_ERROR_MEM || bytes > options.ramBytes) {
      Add(findings, "dictionary-too-large", nullptr, i + 1,
          MemoryAdvice(res == SZ_ERROR_MEM, bytes, dictionary, ppmd, options.ramBytes));
    } else if (res != SZ_OK) {
      Add(findings, "sizes-inconsistent", nullptr, i + 1,
          "its sizes or coders do not fit together (it is damaged)");
    }
  }
}

// space is the package's measure from its test.
void CheckSpace(const PackageSpace& space, const Options& options, std::vector<Finding>* findings,
                Figures* figures) {
  if (!space.measured) {
    Add(findings, "space-unmeasured", nullptr, 0, "its unpacked size cannot be measured");
    return;
  }
  // The copy stays in the install folder until every item is out. A header can declare sizes no
  // volume holds: the sum is kept from wrapping round.
  ZUInt64 clusters = space.packageClusters + space.unpackedClusters;
  if (clusters < space.packageClusters || clusters > ~0ULL / options.clusterBytes)
    clusters = ~0ULL / options.clusterBytes;
  figures->spaceBytes = clusters * options.clusterBytes;
  if (options.freeGiven && figures->spaceBytes > options.freeBytes) {
    Add(findings, "space-too-small", nullptr, 0,
        "needs " + Megabytes(figures->spaceBytes) + " in whole " +
            std::to_string(options.clusterBytes >> 10) +
            " KB clusters (its copy and its items), more than the " + Megabytes(options.freeBytes) +
            " free: free " + Megabytes(figures->spaceBytes - options.freeBytes) +
            " more on the install volume, or make the package smaller");
  }
}

// Valid UTF-8 passes as it is; any other byte (a path in another code page) becomes U+FFFD.
std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80             ? 1
                    : (c & 0xE0) == 0xC0 ? 2
                    : (c & 0xF0) == 0xE0 ? 3
                    : (c & 0xF8) == 0xF0 ? 4
                                         : 0;
    bool valid = length > 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; k++) valid = (text[i + k] & 0xC0) == 0x80;
    if (!valid) {
      out += "\uFFFD";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text, i, length);
      i += length - 1;
    }
  }
  return out + "\"";
}

void PrintJson(const Result& result) {
  std::printf(
      "{\"package\": %s, \"verdict\": \"%s\", \"exit\": %d, \"meaning\": %s, "
      "\"largest_block_bytes\": %llu, \"space_bytes\": %llu, \"findings\": [",
      JsonText(result.package).c_str(), kVerdicts[result.status], result.status,
      JsonText(kStatusMeanings[result.status]).c_str(), result.figures.largestBlockBytes,
      result.figures.spaceBytes);
  const char* separator = "";
  for (const Finding& finding : result.findings) {
    std::printf(
        "%s\n  {\"severity\": \"%s\", \"code\": \"%s\", \"item\": %s, \"block\": %s, \"finding\": %s}",
        separator, kSeverityNames[finding.severity], finding.code.c_str(),
        finding.hasItem ? JsonText(Utf8(finding.item)).c_str() : "null",
        finding.block > 0 ? std::to_string(finding.block).c_str() : "null", JsonText(finding.text).c_str());
    separator = ",";
  }
  std::printf("%s]}", result.findings.empty() ? "" : "\n");
}

bool RepackFixes(const Finding& finding) {
  const CodeKind* kind = KindOf(finding.code);
  return kind != nullptr && kind->repackFixes;
}

void PrintText(const Options& options, const Result& result) {
  int counts[3] = {0, 0, 0};
  bool repack = false;
  for (const Finding& finding : result.findings) {
    counts[finding.severity]++;
    repack = repack || RepackFixes(finding);
    std::string where = finding.hasItem     ? Printable(finding.item.c_str()) + ": "
                        : finding.block > 0 ? "block " + std::to_string(finding.block) + ": "
                                            : "";
    std::printf("%s: %s: %s%s [%s]\n", result.package, kSeverityNames[finding.severity], where.c_str(),
                finding.text.c_str(), finding.code.c_str());
  }
  if (repack) std::printf("%s: %s\n", result.package, kRepackLine);
  auto plural = [](int count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
  };
  std::string largest = result.figures.largestBlockBytes > 0
                            ? "largest block " + Megabytes(result.figures.largestBlockBytes) + " of " +
                                  Megabytes(options.ramBytes)
                            : "no block measured";
  std::printf("%s: %s: %s, %s, %s; %s, %s on the volume\n", result.package, kStatusMeanings[result.status],
              plural(counts[ERROR], "error").c_str(), plural(counts[WARNING], "warning").c_str(),
              plural(counts[NOTE], "note").c_str(), largest.c_str(),
              Megabytes(result.figures.spaceBytes).c_str());
}

// What to change, where the package test's reason does not say it: its words are the log's, and
// its ", item skipped" the extractor's.
struct Advice {
  const char* code;
  const char* text;
};
const Advice kAdvice[] = {
    {"path-unsafe", "pack it by a path relative to the folder packed, with no .. and no drive"},
    {"path-too-long", "below \\Zeltrovan\\ a file takes at most 248 units of path, a folder 244; shorten it"},
    {"name-package-copy", "rename it, or put it in a folder"},
    {"item-too-large", "split it, or leave it out of the package"},
    {"name-empty", "give it one"},
};
constexpr char kSkipped[] = ", item skipped";

// The package test's reasons, each a finding, in the order they come; a full folder is told once,
// at its first item that does not fit.
struct Reasons {
  std::vector<Finding> findings;
  std::set<Name> fullFolders;
};

void TakeReason(void* context, const char* code, const ZChar* item, const char* cause) {
  Reasons* reasons = static_cast<Reasons*>(context);
  Name name = item != nullptr ? Name(item) : Name();
  Name folder = name.substr(0, name.rfind(static_cast<ZChar>('/')) + 1);
  if (std::string(code) == "folder-too-many-entries" && !reasons->fullFolders.insert(folder).second) return;
  std::string text = cause;
  size_t skipped = text.rfind(kSkipped);
  if (skipped != std::string::npos && skipped + sizeof kSkipped - 1 == text.size()) text.erase(skipped);
  for (const Advice& advice : kAdvice) {
    if (std::string(code) == advice.code) text += std::string(": ") + advice.text;
  }
  Add(&reasons->findings, code, name.empty() ? nullptr : &name, 0, text);
}

// How far the test has got, on a terminal only: the percentage of the items' bytes decoded.
struct ProgressShown {
  const char* package;
  int percent;
};

void ClearProgress(const ProgressShown& shown) {
  if (shown.percent < 0) return;
  std::string blank(std::string(shown.package).size() + 6, ' ');
  std::fprintf(stderr, "\r%s\r", blank.c_str());
  std::fflush(stderr);
}

// What the clean and the run make of an item the package test found a place for, beside the test.
struct Placed {
  PackageReader* reader;
  std::set<Name> warnedFolders;
  std::vector<Finding> findings;
};

// A package test as zelt-check watches it.
struct Watching {
  ProgressShown shown;
  Placed placed;
};

void ShowProgress(void* context, ZUInt64 done, ZUInt64 total) {
  ProgressShown* shown = &static_cast<Watching*>(context)->shown;
  int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
  if (percent == shown->percent) return;
  shown->percent = percent;
  std::fprintf(stderr, "\r%s: %d%%", shown->package, percent);
  std::fflush(stderr);
}

void NoteItem(void* context, ZUInt32 index, const ZChar* name) {
  Placed* placed = &static_cast<Watching*>(context)->placed;
  const CSzArEx* db = &placed->reader->db;
  Name item = name;
  if (IsAntiItem(placed->reader, index)) {
    Add(&placed->findings, "anti-item", &item, 0, "anti-item: it writes nothing, the clean has removed what it names");
    return;
  }
  CheckSpecialNames(name, SzArEx_IsDir(db, index), &placed->warnedFolders, &placed->findings);
  if (SzBitWithVals_Check(&db->Attribs, index) && (db->Attribs.Vals[index] & PLAT_ATTR_READONLY) != 0) {
    Add(&placed->findings, "read-only", &item, 0,
        "read-only: the next update's clean makes it writable before deleting it");
  }
}

Result CheckPackage(const Options& options, const char* path) {
  Result result = {path, 2, {}, {}};
  Reasons reasons;
  SetReasonSink(TakeReason, &reasons);
  ZChar package[PLAT_MAX_PATH];
  PackageReader reader;
  int opened = PACKAGE_UNREADABLE;
  if (PlatHostPathToDevicePath(path, package, PLAT_MAX_PATH) != PLAT_OK) {
    Add(&reasons.findings, "path-unusable", nullptr, 0, "the package's path cannot be used here: give a shorter one");
  } else {
    opened = OpenPackage(package, &reader);
  }
  if (opened == PACKAGE_UNREADABLE || opened == PACKAGE_INVALID) {
    SetReasonSink(nullptr, nullptr);
    result.findings = reasons.findings;
    return result;
  }
  std::vector<Finding> own;
  if (opened == PACKAGE_OPENED) {
    CheckBlocks(&reader, options, &own, &result.figures);
    PackageSpace space = {options.clusterBytes, false, 0, 0};
    Watching watching = {{path, -1}, {&reader, {}, {}}};
    bool progress = !options.json && PlatStandardErrorIsTerminal();
    TestWatch watch = {progress ? ShowProgress : nullptr, NoteItem, &watching};
    if (TestOpenedPackage(&reader, kOutDirWide, kPackageCopyName, &space, &watch) != 0 &&
        reasons.findings.empty()) {
      Add(&reasons.findings, "package-test-refuses", nullptr, 0, "the updater's package test refuses it");
    }
    ClearProgress(watching.shown);
    ClosePackage(&reader);
    own.insert(own.end(), watching.placed.findings.begin(), watching.placed.findings.end());
    CheckSpace(space, options, &own, &result.figures);
  }
  SetReasonSink(nullptr, nullptr);
  // A reason of a block's decoding already stands among the block's findings, said in their words.
  for (const Finding& reason : reasons.findings) {
    bool known = false;
    for (const Finding& finding : own) known = known || finding.code == reason.code;
    if (!known) result.findings.push_back(reason);
  }
  result.findings.insert(result.findings.end(), own.begin(), own.end());
  result.status = 0;
  for (const Finding& finding : result.findings) {
    if (finding.severity == ERROR) result.status = 1;
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string wrong = ParseOptions(argc, argv, &options);
  if (!wrong.empty()) {
    const char* usage = "usage: zelt-check [--ram MB] [--free MB] [--cluster KB] [--json] PACKAGE...";
    if (options.json) {
      std::printf(
          "{\"verdict\": \"usage\", \"exit\": 2, \"meaning\": \"a usage error\", \"findings\": "
          "[{\"severity\": \"error\", \"code\": \"usage\", \"item\": null, \"block\": null, "
          "\"finding\": %s}]}\n",
          JsonText(wrong + "; " + usage).c_str());
    }
    std::fprintf(stderr, "zelt-check: %s\n%s\n", wrong.c_str(), usage);
    return 2;
  }
  // Host paths, whatever device the environment names.
  PlatSetDeviceRoot("/");
  int status = 0;
  if (options.json && options.packages.size() > 1) std::printf("[");
  for (size_t i = 0; i < options.packages.size(); i++) {
    Result result = CheckPackage(options, options.packages[i]);
    status = std::max(status, result.status);
    if (!options.json) {
      PrintText(options, result);
      continue;
    }
    if (i > 0) std::printf(",\n");
    PrintJson(result);
  }
  if (options.json) std::printf("%s\n", options.packages.size() > 1 ? "]" : "");
  return status;
}
