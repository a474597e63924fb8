// Files through the Win32 file API, shared as the device shares them: a reader lets others read
// only and a writer lets nobody in, so that overwriting or deleting a file someone holds fails
// with a sharing violation.
#include <stdlib.h>
#include <string.h>

#include "win32_internal.h"

// Small reads and writes go through a buffer, so that a copy in small chunks costs few system
// calls. A handle either reads or writes, so one buffer serves whichever it does.
enum { kBufferSize = 64 * 1024 };
// The most one ReadFile or WriteFile is asked to move: a DWORD counts the bytes.
static const size_t kMaxTransfer = 1 << 30;
// What SetFilePointer and GetFileSize return for a failure, and for a low word of all ones.
static const DWORD kAllOnes = 0xFFFFFFFF;

struct PlatFile {
  HANDLE handle;
  bool writing;
  char* buffer;  // allocated on the first small read or write
  size_t begin;  // reading: the next read-ahead byte to hand out
  size_t end;    // reading: end of the read-ahead bytes; writing: bytes waiting to be written
};

// disposition: OPEN_EXISTING reads, CREATE_ALWAYS and OPEN_ALWAYS write.
static int Open(const ZChar* path, DWORD disposition, PlatFile** file) {
  ZChar host[HOST_PATH_MAX];
  int result = ToHostPath(path, host);
  if (result != PLAT_OK) return result;
  bool writing = disposition != OPEN_EXISTING;
  HANDLE handle = writing ? winCalls.createFile(host, GENERIC_WRITE, 0, NULL, disposition,
                                                FILE_ATTRIBUTE_NORMAL, NULL)
                          : winCalls.createFile(host, GENERIC_READ, FILE_SHARE_READ, NULL,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  *file = static_cast<PlatFile*>(malloc(sizeof(PlatFile)));
  if (*file == NULL) {
    winCalls.closeHandle(handle);
    return PLAT_ERR_NO_MEMORY;
  }
  memset(*file, 0, sizeof(PlatFile));
  (*file)->handle = handle;
  (*file)->writing = writing;
  return PLAT_OK;
}

int PlatFileOpenRead(const ZChar* path, PlatFile** file) { return Open(path, OPEN_EXISTING, file); }

int PlatFileCreate(const ZChar* path, PlatFile** file) { return Open(path, CREATE_ALWAYS, file); }

int PlatFileOpenAppend(const ZChar* path, PlatFile** file) {
  int result = Open(path, OPEN_ALWAYS, file);
  if (result != PLAT_OK) return result;
  ZInt64 end = 0;
  result = PlatFileSeek(*file, &end, PLAT_SEEK_END);
  if (result != PLAT_OK) {
    PlatFileClose(*file);
    *file = NULL;
  }
  return result;
}

// Writes everything or reports how far it got; a short write is a failure (the medium is full).
static int WriteAll(HANDLE handle, const char* data, size_t size, size_t* written) {
  *written = 0;
  while (*written < size) {
    DWORD chunk =
        static_cast<DWORD>(size - *written < kMaxTransfer ? size - *written : kMaxTransfer);
    DWORD done = 0;
    BOOL ok = winCalls.writeFile(handle, data + *written, chunk, &done, NULL);
    *written += done;
    if (!ok) return LastError();
    // A short write that made progress goes on; one that moved nothing means the medium is full.
    if (done == 0) return PLAT_ERR_IO;
  }
  return PLAT_OK;
}

static int Flush(PlatFile* file) {
  if (!file->writing || file->end == 0) return PLAT_OK;
  size_t written = 0;
  int result = WriteAll(file->handle, file->buffer, file->end, &written);
  file->end = 0;
  return result;
}

static bool HaveBuffer(PlatFile* file) {
  if (file->buffer == NULL) file->buffer = static_cast<char*>(malloc(kBufferSize));
  return file->buffer != NULL;
}

static int ReadDirect(HANDLE handle, void* buffer, size_t* size) {
  DWORD chunk = static_cast<DWORD>(*size < kMaxTransfer ? *size : kMaxTransfer);
  DWORD got = 0;
  BOOL ok = winCalls.readFile(handle, buffer, chunk, &got, NULL);
  *size = ok ? got : 0;
  return ok ? PLAT_OK : LastError();
}

int PlatFileRead(PlatFile* file, void* buffer, size_t* size) {
  if (file->begin == file->end && *size < kBufferSize && HaveBuffer(file)) {
    size_t got = kBufferSize;
    int result = ReadDirect(file->handle, file->buffer, &got);
    if (result != PLAT_OK) {
      *size = 0;
      return result;
    }
    file->begin = 0;
    file->end = got;
  }
  if (file->begin == file->end) return ReadDirect(file->handle, buffer, size);
  size_t n = file->end - file->begin < *size ? file->end - file->begin : *size;
  memcpy(buffer, file->buffer + file->begin, n);
  file->begin += n;
  *size = n;
  return PLAT_OK;
}

int PlatFileWrite(PlatFile* file, const void* buffer, size_t size, size_t* written) {
  const char* data = static_cast<const char*>(buffer);
  *written = 0;
  if (size == 0) return PLAT_OK;
  if (file->end + size > kBufferSize) {
    int result = Flush(file);
    if (result != PLAT_OK) return result;
  }
  if (size >= kBufferSize || !HaveBuffer(file)) return WriteAll(file->handle, data, size, written);
  memcpy(file->buffer + file->end, data, size);
  file->end += size;
  *written = size;
  return PLAT_OK;
}

// A 64-bit value from the two DWORD halves that SetFilePointer and GetFileSize hand back.
static ZInt64 Join(DWORD high, DWORD low) {
  return static_cast<ZInt64>((static_cast<ZUInt64>(high) << 32) | low);
}

int PlatFileSeek(PlatFile* file, ZInt64* position, PlatSeekOrigin origin) {
  int result = Flush(file);
  if (result != PLAT_OK) return result;
  // The OS position is past the read-ahead bytes not yet handed out.
  ZInt64 offset = *position;
  if (!file->writing && origin == PLAT_SEEK_CUR)
    offset -= static_cast<ZInt64>(file->end - file->begin);
  DWORD method = origin == PLAT_SEEK_SET   ? FILE_BEGIN
                 : origin == PLAT_SEEK_CUR ? FILE_CURRENT
                                           : FILE_END;
  ZUInt64 bits = static_cast<ZUInt64>(offset);
  LONG high = static_cast<LONG>(static_cast<DWORD>(bits >> 32));
  // A new position whose low word is all ones reads like a failure; only the error tells.
  SetLastError(NO_ERROR);
  DWORD low =
      SetFilePointer(file->handle, static_cast<LONG>(static_cast<DWORD>(bits)), &high, method);
  if (low == kAllOnes && GetLastError() != NO_ERROR) return LastError();
  if (!file->writing) file->begin = file->end = 0;
  *position = Join(static_cast<DWORD>(high), low);
  return PLAT_OK;
}

int PlatFileSize(PlatFile* file, ZUInt64* size) {
  int result = Flush(file);
  if (result != PLAT_OK) return result;
  DWORD high = 0;
  SetLastError(NO_ERROR);
  DWORD low = GetFileSize(file->handle, &high);
  if (low == kAllOnes && GetLastError() != NO_ERROR) return LastError();
  *size = static_cast<ZUInt64>(Join(high, low));
  return PLAT_OK;
}

int PlatFileFlush(PlatFile* file) {
  int result = Flush(file);
  if (file->writing && result == PLAT_OK && !winCalls.flushFileBuffers(file->handle)) {
    result = LastError();
  }
  return result;
}

// The device's FAT driver caches what is written even past the close, so a written file is put
// on the medium before its handle goes; the PC takes the same path, as the device's stand-in.
int PlatFileClose(PlatFile* file) {
  int result = PlatFileFlush(file);
  if (!winCalls.closeHandle(file->handle) && result == PLAT_OK) result = LastError();
  free(file->buffer);
  free(file);
  return result;
}
