// The coders packers write: the one table of their ids, names and what the device's decoder does
// with them, which every other file asks, and the coders a package's block lists.
#pragma once

#include "7z.h"

enum CoderId {
  CODER_COPY = 0x00,
  CODER_DELTA = 0x03,
  CODER_ARM64 = 0x0A,
  CODER_RISCV = 0x0B,
  CODER_LZMA2 = 0x21,
  CODER_LZMA = 0x030101,
  CODER_X86 = 0x03030103,  // BCJ
  CODER_BCJ2 = 0x0303011B,
  CODER_POWERPC = 0x03030205,
  CODER_IA64 = 0x03030401,
  CODER_ARM = 0x03030501,
  CODER_ARM_THUMB = 0x03030701,
  CODER_SPARC = 0x03030805,
  CODER_PPMD = 0x030401,
  CODER_DEFLATE = 0x040108,
  CODER_DEFLATE64 = 0x040109,
  CODER_BZIP2 = 0x040202,
  CODER_AES = 0x06F10701
};

// No coder: what a search for one finds when none is missing.
const UInt32 kNoCoder = 0xFFFFFFFFu;

enum CoderKind {
  CODER_KIND_MAIN,    // decodes a packed stream: copy, LZMA, LZMA2, PPMd
  CODER_KIND_BRANCH,  // converts one CPU's branch targets back, after a main coder
  CODER_KIND_DELTA,   // adds back the differences of bytes a distance apart, after a main coder
  CODER_KIND_BCJ2,    // joins BCJ2's four streams
  CODER_KIND_ABSENT   // one the device does not have (Deflate, BZip2, the cipher)
};

struct Coder {
  UInt32 id;
  const char* name;
  CoderKind kind;
};

// The coder of id, or NULL for an id the table does not know.
const Coder* FindCoder(UInt32 id);
// Its name as packers' listings give it ("LZMA2", "BZip2"), or NULL for an id the table does not
// know.
const char* CoderName(UInt32 id);
// Whether the device's decoder has the coder, whatever the folder it is in.
bool DeviceDecodes(UInt32 id);
// Whether id is a main coder, or a filter that follows one (a branch converter or Delta).
bool IsMainCoder(UInt32 id);
bool IsFilter(UInt32 id);
// The coders of block folderIndex of db as its header lists them, and where their properties begin
// (each coder's PropsOffset counts from there). The library's result where the list cannot be
// read, SZ_ERROR_FAIL where the block's record holds more than the list.
SRes ReadBlockCoders(const CSzArEx* db, UInt32 folderIndex, CSzFolder* folder, const Byte** props);
// The first of a folder's coders that the device lacks, or kNoCoder.
UInt32 FirstLackingCoder(const CSzFolder* folder);
