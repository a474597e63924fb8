#include "coders.h"

static const Coder kCoders[] = {
    {CODER_COPY, "Copy", CODER_KIND_MAIN},
    {CODER_LZMA, "LZMA", CODER_KIND_MAIN},
    {CODER_LZMA2, "LZMA2", CODER_KIND_MAIN},
    {CODER_PPMD, "PPMd", CODER_KIND_MAIN},
    {CODER_X86, "BCJ", CODER_KIND_BRANCH},
    {CODER_ARM, "ARM", CODER_KIND_BRANCH},
    {CODER_ARM_THUMB, "ARMT", CODER_KIND_BRANCH},
    {CODER_POWERPC, "PPC", CODER_KIND_BRANCH},
    {CODER_IA64, "IA64", CODER_KIND_BRANCH},
    {CODER_SPARC, "SPARC", CODER_KIND_BRANCH},
    {CODER_ARM64, "ARM64", CODER_KIND_BRANCH},
    {CODER_RISCV, "RISCV", CODER_KIND_BRANCH},
    {CODER_DELTA, "Delta", CODER_KIND_DELTA},
    {CODER_BCJ2, "BCJ2", CODER_KIND_BCJ2},
    {CODER_DEFLATE, "Deflate", CODER_KIND_ABSENT},
    {CODER_DEFLATE64, "Deflate64", CODER_KIND_ABSENT},
    {CODER_BZIP2, "BZip2", CODER_KIND_ABSENT},
    {CODER_AES, "7zAES", CODER_KIND_ABSENT},
};

const Coder* FindCoder(UInt32 id) {
  for (size_t i = 0; i < sizeof kCoders / sizeof kCoders[0]; i++) {
    if (kCoders[i].id == id) return &kCoders[i];
  }
  return NULL;
}

const char* CoderName(UInt32 id) {
  const Coder* coder = FindCoder(id);
  return coder != NULL ? coder->name : NULL;
}

bool DeviceDecodes(UInt32 id) {
  const Coder* coder = FindCoder(id);
  return coder != NULL && coder->kind != CODER_KIND_ABSENT;
}

bool IsMainCoder(UInt32 id) {
  const Coder* coder = FindCoder(id);
  return coder != NULL && coder->kind == CODER_KIND_MAIN;
}

bool IsFilter(UInt32 id) {
  const Coder* coder = FindCoder(id);
  return coder != NULL && (coder->kind == CODER_KIND_BRANCH || coder->kind == CODER_KIND_DELTA);
}

UInt32 FirstLackingCoder(const CSzFolder* folder) {
  for (UInt32 i = 0; i < folder->NumCoders; i++) {
    if (!DeviceDecodes(folder->Coders[i].MethodID)) return folder->Coders[i].MethodID;
  }
  return kNoCoder;
}

SRes ReadBlockCoders(const CSzArEx* db, UInt32 folderIndex, CSzFolder* folder, const Byte** props) {
  const CSzAr* ar = &db->db;
  CSzData data;
  data.Data = ar->CodersData + ar->FoCodersOffsets[folderIndex];
  data.Size = ar->FoCodersOffsets[folderIndex + 1] - ar->FoCodersOffsets[folderIndex];
  *props = data.Data;
  RINOK(SzGetNextFolderItem(folder, &data))
  return data.Size == 0 ? SZ_OK : SZ_ERROR_FAIL;
}
