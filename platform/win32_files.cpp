// Files through the Win32 file API, shared as the device shares them: a reader lets others read
// only and a writer lets nobody in, so that overwriting or deleting a file someone holds fails
// with a sharing violation.
#include "raw_file.h"
#include "win32_internal.h"

// The most one ReadFile or WriteFile is asked to move: a DWORD counts the bytes.
static const size_t kMaxTransfer = 1 << 30;
// What SetFilePointer and GetFileSize return for a failure, and for a low word of all ones.
static const DWORD kAllOnes = 0xFFFFFFFF;

// disposition: OPEN_EXISTING reads, CREATE_ALWAYS and OPEN_ALWAYS write.
static int Open(const ZChar* path, DWORD disposition, PlatFile** file) {
  bool writing = disposition != OPEN_EXISTING;
  // A PC's file system, through "\\?\", takes names the device's FAT volume refuses.
  if (writing && !DeviceCanCreate(path)) return PLAT_ERR_INVALID;
  ZChar host[HOST_PATH_MAX];
  int result = ToHostPath(path, host);
  if (result != PLAT_OK) return result;
  HANDLE handle = writing ? osCreateFile(host, GENERIC_WRITE, 0, NULL, disposition,
                                         FILE_ATTRIBUTE_NORMAL, NULL)
                          : osCreateFile(host, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, NULL);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  RawHandle raw;
  raw.handle = handle;
  return NewPlatFile(raw, writing, file);
}

int PlatFileOpenRead(const ZChar* path, PlatFile** file) { return Open(path, OPEN_EXISTING, file); }

int PlatFileCreate(const ZChar* path, PlatFile** file) { return Open(path, CREATE_ALWAYS, file); }

int PlatFileOpenAppend(const ZChar* path, PlatFile** file) {
  return AtItsEnd(Open(path, OPEN_ALWAYS, file), file);
}

int RawRead(RawHandle raw, void* buffer, size_t* size) {
  DWORD chunk = static_cast<DWORD>(*size < kMaxTransfer ? *size : kMaxTransfer);
  DWORD got = 0;
  BOOL ok = osReadFile(raw.handle, buffer, chunk, &got, NULL);
  *size = ok ? got : 0;
  return ok ? PLAT_OK : LastError();
}

int RawWrite(RawHandle raw, const void* data, size_t size, size_t* done) {
  DWORD chunk = static_cast<DWORD>(size < kMaxTransfer ? size : kMaxTransfer);
  DWORD moved = 0;
  BOOL ok = osWriteFile(raw.handle, data, chunk, &moved, NULL);
  *done = moved;
  return ok ? PLAT_OK : LastError();
}

// A 64-bit value from the two DWORD halves that SetFilePointer and GetFileSize hand back.
static ZInt64 Join(DWORD high, DWORD low) {
  return static_cast<ZInt64>((static_cast<ZUInt64>(high) << 32) | low);
}

int RawSeek(RawHandle raw, ZInt64* position, PlatSeekOrigin origin) {
  DWORD method = origin == PLAT_SEEK_SET   ? FILE_BEGIN
                 : origin == PLAT_SEEK_CUR ? FILE_CURRENT
                                           : FILE_END;
  ZUInt64 bits = static_cast<ZUInt64>(*position);
  LONG high = static_cast<LONG>(static_cast<DWORD>(bits >> 32));
  // A new position whose low word is all ones reads like a failure; only the error tells.
  SetLastError(NO_ERROR);
  DWORD low =
      osSetFilePointer(raw.handle, static_cast<LONG>(static_cast<DWORD>(bits)), &high, method);
  if (low == kAllOnes && GetLastError() != NO_ERROR) return LastError();
  *position = Join(static_cast<DWORD>(high), low);
  return PLAT_OK;
}

int RawSize(RawHandle raw, ZUInt64* size) {
  DWORD high = 0;
  SetLastError(NO_ERROR);
  DWORD low = osGetFileSize(raw.handle, &high);
  if (low == kAllOnes && GetLastError() != NO_ERROR) return LastError();
  *size = static_cast<ZUInt64>(Join(high, low));
  return PLAT_OK;
}

// The device's FAT driver caches what is written even past the close, so a written file is put
// on the medium by PlatFileFlush and before its handle goes; the PC takes the same path, as the
// device's stand-in.
int RawFlush(RawHandle raw) { return osFlushFileBuffers(raw.handle) ? PLAT_OK : LastError(); }

int RawClose(RawHandle raw) { return osCloseHandle(raw.handle) ? PLAT_OK : LastError(); }
