// Folders decoded as a stream: larger than the decoder's window, read from the package in small
// pieces, with checksums that fail part-way, and declaring more memory than a device has. Packages
// are made before the tests run (tests/make_packages.py), and where 7zz will not make them (a solid
// block of copied files, sizes no packer writes) by a small writer of the archive format below.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "7zCrc.h"
#include "device_test.h"
#include "extractor.h"
#include "package_check.h"
#include "package_reader.h"
#include "platform.h"
#include "platform_testing.h"

namespace {

const std::string kEverythingOk = "\nEverything is Ok\n";

struct Extraction {
  int result;
  std::string console;
};

Extraction Extract() {
  testing::internal::CaptureStdout();
  int result = ExtractFile("pkg\\p.7z", "out");
  fflush(stdout);
  return {result, testing::internal::GetCapturedStdout()};
}

// ---- A writer of the archive format, for what 7zz will not make --------------------------------

// The format's variable-length number: leading one bits of the first byte count the bytes after it.
std::string Number(uint64_t value) {
  std::string out;
  for (int extra = 0; extra < 8; extra++) {
    if (value < (uint64_t{1} << (7 * (extra + 1)))) {
      out += static_cast<char>(((0xFF00 >> extra) & 0xFF) | (value >> (8 * extra)));
      for (int i = 0; i < extra; i++) out += static_cast<char>(value >> (8 * i));
      return out;
    }
  }
  out += '\xFF';
  for (int i = 0; i < 8; i++) out += static_cast<char>(value >> (8 * i));
  return out;
}

std::string LittleEndian(uint64_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; i++) out += static_cast<char>(value >> (8 * i));
  return out;
}

// The size of a test package's packed streams, from its start header: where its header begins
// (small enough for any host's size_t).
size_t PackedSize(const std::string& package) {
  uint64_t size = 0;
  for (int i = 0; i < 8; i++) size |= uint64_t{static_cast<unsigned char>(package[12 + i])} << (8 * i);
  return static_cast<size_t>(size);
}

// The packed stream of a premade package of one packed stream and a plain header.
std::string PremadeStream(const std::string& name) {
  const std::string made = ReadFile(PremadePackage(name));
  return made.substr(32, PackedSize(made));
}

uint32_t Crc(const std::string& bytes) {
  CrcGenerateTable();
  return CrcCalc(bytes.data(), bytes.size());
}

struct HandMadeFile {
  std::string name;
  std::string bytes;  // empty: a file without a stream
};

// One folder of one coder (method: its id bytes), holding packed, which unpacks to unpackSize
// bytes shared by the files with bytes, in order; the last takes what the others leave. With
// checksums, each file's CRC is stored (as the folder's own when it is the only one).
struct HandMadePackage {
  std::string method;
  std::string props;
  std::string packed;
  uint64_t unpackSize = 0;
  std::vector<HandMadeFile> files;
  bool checksums = true;
};

// Pack and unpack information of a single folder, as the main and the packed-header streams have.
std::string StreamsInfo(const HandMadePackage& p, const std::string& folderCrc) {
  std::string coder = static_cast<char>(p.method.size() | (p.props.empty() ? 0 : 0x20)) + p.method;
  if (!p.props.empty()) coder += Number(p.props.size()) + p.props;
  std::string info = "\x06" + Number(0) + Number(1) + "\x09" + Number(p.packed.size()) + '\0';
  info += std::string("\x07\x0B") + Number(1) + '\0' + Number(1) + coder + "\x0C" + Number(p.unpackSize);
  if (!folderCrc.empty()) info += std::string("\x0A\x01") + folderCrc;
  return info + std::string(2, '\0');  // the ends of the unpack and of the streams information
}

std::string Archive(const std::string& packed, const std::string& header) {
  std::string start = LittleEndian(packed.size(), 8) + LittleEndian(header.size(), 8) + LittleEndian(Crc(header), 4);
  return std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8) + LittleEndian(Crc(start), 4) + start + packed + header;
}

std::string Write(const HandMadePackage& p) {
  std::vector<const HandMadeFile*> streams;
  std::string emptyBits((p.files.size() + 7) / 8, '\0');
  bool anyEmpty = false;
  for (size_t i = 0; i < p.files.size(); i++) {
    if (p.files[i].bytes.empty()) {
      emptyBits[i / 8] = static_cast<char>(emptyBits[i / 8] | (0x80 >> (i % 8)));
      anyEmpty = true;
    } else {
      streams.push_back(&p.files[i]);
    }
  }
  std::string folderCrc, subStreams;
  if (p.checksums && streams.size() == 1) folderCrc = LittleEndian(Crc(streams[0]->bytes), 4);
  if (streams.size() > 1) {
    subStreams = "\x08\x0D" + Number(streams.size()) + "\x09";
    for (size_t i = 0; i + 1 < streams.size(); i++) subStreams += Number(streams[i]->bytes.size());
    if (p.checksums) {
      subStreams += "\x0A\x01";
      for (const HandMadeFile* file : streams) subStreams += LittleEndian(Crc(file->bytes), 4);
    }
    subStreams += '\0';
  }
  std::string mainInfo = StreamsInfo(p, folderCrc);
  mainInfo.insert(mainInfo.size() - 1, subStreams);
  std::string names;
  for (const HandMadeFile& file : p.files) {
    for (char c : file.name) names += std::string{c, '\0'};
    names += std::string(2, '\0');
  }
  std::string files = "\x05" + Number(p.files.size());
  if (anyEmpty) {
    size_t emptyCount = p.files.size() - streams.size();
    files += "\x0E" + Number(emptyBits.size()) + emptyBits;
    files += "\x0F" + Number((emptyCount + 7) / 8) + std::string((emptyCount + 7) / 8, '\xFF');
  }
  files += "\x11" + Number(names.size() + 1) + '\0' + names + '\0';
  return Archive(p.packed, "\x01\x04" + mainInfo + files + '\0');
}

// A folder of copied files, which 7zz never makes solid: the files' bytes are the packed stream.
HandMadePackage SolidCopy(const std::vector<HandMadeFile>& files) {
  HandMadePackage p;
  p.method = std::string(1, '\0');
  p.files = files;
  for (const HandMadeFile& file : files) p.packed += file.bytes;
  p.unpackSize = p.packed.size();
  return p;
}

const std::string kLzma("\x03\x01\x01", 3);
const std::string kLzma2("\x21", 1);
const std::string kPpmd("\x03\x04\x01", 3);
const uint64_t k2TiB = uint64_t{1} << 41;

// ---- Fixture -----------------------------------------------------------------------------------

class StreamTest : public PackageTest {
 protected:
  using PackageTest::Use;
  void Use(const HandMadePackage& package) { WriteFile(Package(), Write(package)); }
  int Check() { return TestPackage(ZT("pkg\\p.7z"), ZT("out"), ZT("p.7z")); }
  void ExpectSameTree(const std::string& tree) {
    std::string difference;
    EXPECT_TRUE(SameTree(PackedTree(tree), Out(), &difference)) << difference;
  }
};

// ---- Larger than the window --------------------------------------------------------------------

struct Coding {
  const char* package;
  const char* method;  // what the listing of the package's last folder must contain
};

void PrintTo(const Coding& coding, std::ostream* out) { *out << coding.package; }

class WindowTest : public StreamTest, public testing::WithParamInterface<Coding> {};

// Files before, across and after the boundaries of a 64 KiB dictionary and of the fixed output
// buffers (a few hundred KiB), an empty file among them, in one solid block.
TEST_P(WindowTest, FolderLargerThanTheWindowComesOutWhole) {
  Use(GetParam().package);
  ASSERT_NE(PremadeMethod(GetParam().package).find(GetParam().method), std::string::npos);
  Extraction run = Extract();
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.console.substr(run.console.size() - kEverythingOk.size()), kEverythingOk);
  ExpectSameTree("window");
  EXPECT_EQ(Check(), 0);
}

INSTANTIATE_TEST_SUITE_P(Coders, WindowTest,
                         testing::Values(Coding{"window-lzma", "LZMA:16"}, Coding{"window-lzma2", "LZMA2:16"},
                                         Coding{"window-ppmd", "PPMD"}, Coding{"window-bcj", "BCJ LZMA2:16"},
                                         Coding{"window-bcj2", "BCJ2 LZMA2:16"}));

// ---- Branch converters across buffer boundaries ------------------------------------------------

class FilterTest : public StreamTest, public testing::WithParamInterface<Coding> {};

// One file several times the filter's buffer, dense with instructions, starting two bytes in so
// that two-byte-aligned instructions also lie across its boundaries, and ending in a part
// instruction, which goes out unconverted.
TEST_P(FilterTest, ConverterStateCarriesAcrossBoundaries) {
  const std::string package = GetParam().package, method = GetParam().method;
  Use(package);
  ASSERT_EQ(PremadeMethod(package), method);
  Extraction run = Extract();
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.console, "code.bin\n" + kEverythingOk);
  ExpectSameTree("code-" + package.substr(package.find('-') + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Filters, FilterTest,
    testing::Values(Coding{"filter-BCJ", "BCJ LZMA2:16"}, Coding{"filter-ARM", "ARM LZMA2:16"},
                    Coding{"filter-ARMT", "ARMT LZMA2:16"}, Coding{"filter-ARM64", "ARM64 LZMA2:16"},
                    Coding{"filter-PPC", "PPC LZMA2:16"}, Coding{"filter-SPARC", "SPARC LZMA2:16"},
                    Coding{"filter-IA64", "IA64 LZMA2:16"}, Coding{"filter-RISCV", "RISCV LZMA2:16"},
                    Coding{"filter-Delta", "Delta:4 LZMA2:16"},
                    // Decoded in one piece larger than the filter's buffer.
                    Coding{"filter-BCJ-wide", "BCJ LZMA2:768k"}));

// ---- Short reads -------------------------------------------------------------------------------

// LZMA2 ends with a marker after its last byte. When the read that brings the last bytes stops
// just before it, the marker comes in a read of its own, after all the output is out.
TEST_F(StreamTest, Lzma2EndMarkerInAReadOfItsOwn) {
  Use("one-file-lzma2");
  const std::string made = ReadFile(Package());
  const size_t packedSize = PackedSize(made);
  ASSERT_EQ(made[32 + packedSize - 1], '\0') << "the packed stream ends with the marker";
  PlatTestLimitReads(packedSize - 1);
  EXPECT_EQ(Check(), 0);
  Extraction run = Extract();
  EXPECT_EQ(run.result, 0);
  ExpectSameTree("one-file");
}

// Code that ends in a converted call: the BCJ2 decoder can write the last byte and still want a
// byte of its range coder, which one-byte reads have not brought yet. Each file is a folder of
// its own, so each ends a folder; over a few of them the decoder meets that case.
TEST_F(StreamTest, Bcj2FolderEndingInACallFromOneByteReads) {
  Use("calls-at-the-end");
  PlatTestLimitReads(1);
  EXPECT_EQ(Check(), 0);
  Extraction run = Extract();
  EXPECT_EQ(run.result, 0);
  ExpectSameTree("calls-at-the-end");
}

// ---- Checksums that fail part-way --------------------------------------------------------------

// A solid block of copied files: the bytes decode whatever they are, so a flipped byte fails only
// its file's checksum, found once the file has been written.
TEST_F(StreamTest, ChecksumMismatchInASolidBlockKeepsWhatWasWritten) {
  const std::vector<HandMadeFile> files = {{"a.bin", SampleBytes(100000, 1)},
                                           {"e.txt", ""},
                                           {"b.bin", SampleBytes(100000, 2)},
                                           {"c.bin", SampleBytes(100000, 3)}};
  struct Case {
    size_t damaged;       // the file with a flipped byte
    const char* console;  // up to the failing name
  };
  const Case cases[] = {{2, "a.bin\ne.txt\nb.bin"}, {3, "a.bin\ne.txt\nb.bin\nc.bin"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(files[c.damaged].name);
    fs::remove_all(Out());
    fs::create_directory(Out());
    HandMadePackage package = SolidCopy(files);
    size_t start = package.packed.find(files[c.damaged].bytes);
    package.packed[start + 5000] = static_cast<char>(~package.packed[start + 5000]);
    const std::string damaged = package.packed.substr(start, files[c.damaged].bytes.size());
    Use(package);
    PlatTestLimitReads(4096);  // the damaged file comes in many pieces, each written as it comes
    Extraction run = Extract();
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.console, c.console);
    EXPECT_EQ(ReadFile(Out() / "a.bin"), files[0].bytes);
    EXPECT_TRUE(fs::exists(Out() / "e.txt"));
    EXPECT_TRUE(ReadFile(Out() / files[c.damaged].name) == damaged) << "the failing file stays as written";
    EXPECT_EQ(fs::exists(Out() / "c.bin"), c.damaged == 3) << "nothing after the failing file";
    EXPECT_EQ(Check(), 1);
    PlatTestClearFaults();
  }
  Use(SolidCopy(files));
  EXPECT_EQ(Check(), 0);
  Extraction intact = Extract();
  EXPECT_EQ(intact.result, 0);
  EXPECT_EQ(ReadFile(Out() / "c.bin"), files[3].bytes);
}

// A file that comes out of the decoder in one piece is checked before it is made.
TEST_F(StreamTest, ChecksumMismatchInOnePieceMakesNoFile) {
  const std::vector<HandMadeFile> files = {{"a.txt", "first\n"}, {"b.txt", "second\n"}, {"c.txt", "third\n"}};
  HandMadePackage package = SolidCopy(files);
  package.packed[package.packed.find("second")] = 'S';
  Use(package);
  Extraction run = Extract();
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.console, "a.txt\nb.txt");
  EXPECT_EQ(DeviceTree(ZT("out")), (std::map<std::string, std::string>{{"a.txt", "first\n"}}));
}

// A file alone in its folder carries the folder's checksum, which is checked as the folder ends:
// before its last piece is written.
TEST_F(StreamTest, SingleFileFolderFailsOnTheFolderChecksum) {
  const std::string bytes = SampleBytes(100000, 7);
  HandMadePackage package = SolidCopy({{"one.bin", bytes}});
  package.packed[50000] = static_cast<char>(~package.packed[50000]);
  Use(package);
  PlatTestLimitReads(4096);
  Extraction run = Extract();
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.console, "one.bin");
  std::string written = ReadFile(Out() / "one.bin");
  EXPECT_LT(written.size(), bytes.size());
  EXPECT_TRUE(written == package.packed.substr(0, written.size()));
  EXPECT_EQ(Check(), 1);
}

// Two stored folders, each with its own checksum: each is checked against its own.
TEST_F(StreamTest, EachFolderIsCheckedAgainstItsOwnChecksum) {
  const std::string first = "first\n", second = "second\n";
  const std::string copy = Number(1) + std::string("\x01\x00", 2);  // one coder: Copy
  const std::string info = "\x06" + Number(0) + Number(2) + "\x09" + Number(first.size()) +
                           Number(second.size()) + '\0' + "\x07\x0B" + Number(2) + '\0' + copy + copy +
                           "\x0C" + Number(first.size()) + Number(second.size()) + "\x0A\x01" +
                           LittleEndian(Crc(first), 4) + LittleEndian(Crc(second), 4) + std::string(2, '\0');
  const std::string names = std::string("a\0\0\0b\0\0\0", 8);
  const std::string files = "\x05" + Number(2) + "\x11" + Number(names.size() + 1) + '\0' + names + '\0';
  WriteFile(Package(), Archive(first + second, "\x01\x04" + info + files + '\0'));
  EXPECT_EQ(Check(), 0);
  EXPECT_EQ(Extract().result, 0);
  EXPECT_EQ(ReadFile(Out() / "b"), second);
}

// Damage late in a large block: the files before it stay whole, the walk stops at the file whose
// bytes fail, and nothing after it is made.
TEST_F(StreamTest, CorruptionLateInALargeBlockStopsAtItsFile) {
  Use("four-large");
  std::string bytes = ReadFile(Package());
  for (size_t i = bytes.size() * 9 / 10; i < bytes.size() * 9 / 10 + 16; i++) bytes[i] = static_cast<char>(~bytes[i]);
  WriteFile(Package(), bytes);
  Extraction run = Extract();
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.console, "f1.bin\nf2.bin\nf3.bin\nf4.bin");
  for (const char* name : {"f1.bin", "f2.bin", "f3.bin"})
    EXPECT_TRUE(ReadFile(Out() / name) == ReadFile(PackedTree("four-large") / name)) << name;
  EXPECT_LE(fs::file_size(Out() / "f4.bin"), fs::file_size(PackedTree("four-large") / "f4.bin"));
  EXPECT_EQ(Check(), 1);
}

// The packed stream ends where its data ends: one cut short fails (it must not wait for input
// forever), and so does one with bytes after its end, with or without a marker. A dictionary
// larger than the device allows is fine where the folder is small: the decoder never looks back
// past the folder's start, so the dictionary is cut to the folder's size.
TEST_F(StreamTest, PackedStreamEndsWithItsData) {
  const std::string bytes = ReadFile(PackedTree("one-file") / "a.txt");
  const std::string lzma = PremadeStream("one-file-plain-header"), ppmd = PremadeStream("ppmd-plain-header");
  const std::string coder("\x23\x03\x04\x01\x05", 5);  // PPMd with 5 bytes of properties
  const std::string made = ReadFile(PremadePackage("ppmd-plain-header"));
  const std::string ppmdProps = made.substr(made.find(coder, 32 + ppmd.size()) + coder.size(), 5);
  const std::string lzmaProps = "\x5D" + LittleEndian(uint64_t{1} << 16, 4);
  const std::string lzma2 = std::string("\x01\x00\x04", 3) + "hello";  // one stored chunk
  struct Row {
    const char* label;
    std::string method, props, packed, data;
    int result;
  };
  const Row rows[] = {
      {"LZMA whole", kLzma, lzmaProps, lzma, bytes, 0},
      {"LZMA cut short", kLzma, lzmaProps, lzma.substr(0, lzma.size() / 2), bytes, 1},
      {"LZMA of a 1 GiB dictionary", kLzma, "\x5D" + LittleEndian(uint64_t{1} << 30, 4), lzma, bytes, 0},
      {"LZMA2 at its end marker", kLzma2, std::string(1, '\0'), lzma2 + '\0', "hello", 0},
      {"LZMA2 after its end marker", kLzma2, std::string(1, '\0'), lzma2 + '\0' + '\0', "hello", 1},
      {"PPMd whole", kPpmd, ppmdProps, ppmd, bytes, 0},
      {"PPMd with a byte left", kPpmd, ppmdProps, ppmd + '\0', bytes, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    HandMadePackage package;
    package.method = row.method;
    package.props = row.props;
    package.packed = row.packed;
    package.unpackSize = row.data.size();
    package.files = {{"a.txt", row.data}};
    Use(package);
    fs::remove_all(Out());
    fs::create_directories(Out());
    EXPECT_EQ(Check(), row.result);
    EXPECT_EQ(Extract().result, row.result);
    EXPECT_TRUE(row.result != 0 || ReadFile(Out() / "a.txt") == row.data);
  }
}

// ---- Memory ------------------------------------------------------------------------------------

// Packages of a few bytes that declare a block, a dictionary, a model or a header beyond any
// device: the run fails as a lack of memory (name printed, nothing made), in the sanitizer build
// too.
TEST_F(StreamTest, MoreMemoryThanADeviceHasFailsCleanly) {
  auto huge = [](const std::string& method, const std::string& props) {
    HandMadePackage p;
    p.method = method;
    p.props = props;
    p.packed = std::string(16, '\0');
    p.unpackSize = k2TiB;
    p.files = {{"big.bin", "?"}};
    p.checksums = false;
    return p;
  };
  const std::pair<const char*, HandMadePackage> cases[] = {
      {"copied, a block of 2 TiB", huge(std::string(1, '\0'), "")},
      {"LZMA, 1 GiB dictionary", huge(kLzma, "\x5D" + LittleEndian(uint64_t{1} << 30, 4))},
      {"LZMA2, 4 GiB dictionary", huge(kLzma2, std::string(1, 40))},
      {"PPMd, the largest model", huge(kPpmd, "\x06" + LittleEndian(0xFFFFFFFFu - 36, 4))},
  };
  for (const auto& [label, package] : cases) {
    SCOPED_TRACE(label);
    Use(package);
    EXPECT_EQ(Check(), 1);
    Extraction run = Extract();
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.console, "big.bin");
    EXPECT_TRUE(fs::is_empty(Out()));
  }
  // A packed header of 2 TiB.
  HandMadePackage header = SolidCopy({{"big.bin", "Zeltrovan"}});
  header.unpackSize = k2TiB;
  WriteFile(Package(), Archive(header.packed, "\x17" + StreamsInfo(header, "")));
  EXPECT_EQ(Check(), 1);
  Extraction run = Extract();
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.console, "");
}

}  // namespace
