// The buffering of files, the same for every backend: small reads and writes go through a
// buffer, so that a copy in small chunks costs few system calls. Only raw_file.h reaches the OS.
#include <stdlib.h>
#include <string.h>

#include "device_rules.h"
#include "raw_file.h"

// A handle either reads or writes, so one buffer serves whichever it does.
enum { kBufferSize = 64 * 1024 };

struct PlatFile {
  RawHandle raw;
  bool writing;
  char* buffer;  // allocated on the first small read or write
  size_t begin;  // reading: the next read-ahead byte to hand out
  size_t end;    // reading: end of the read-ahead bytes; writing: bytes waiting to be written
  ZUInt64 offset;  // writing: where the next byte written lands in the file
};

int NewPlatFile(RawHandle raw, bool writing, PlatFile** file) {
  // Not calloc: the device's C library has none.
  PlatFile* made = static_cast<PlatFile*>(malloc(sizeof(PlatFile)));
  if (made == NULL) {
    RawClose(raw);
    return PLAT_ERR_NO_MEMORY;
  }
  memset(made, 0, sizeof(PlatFile));
  made->raw = raw;
  made->writing = writing;
  *file = made;
  return PLAT_OK;
}

int AtItsEnd(int opened, PlatFile** file) {
  if (opened != PLAT_OK) return opened;
  ZInt64 end = 0;
  int result = PlatFileSeek(*file, &end, PLAT_SEEK_END);
  if (result != PLAT_OK) {
    PlatFileClose(*file);
    *file = NULL;
  }
  return result;
}

// Writes everything or reports how far it got. The OS may take less than asked, so a write that
// made progress goes on with the rest; one that made none means the medium is full.
static int WriteAll(RawHandle raw, const char* data, size_t size, size_t* written) {
  *written = 0;
  while (*written < size) {
    size_t done = 0;
    int result = RawWrite(raw, data + *written, size - *written, &done);
    *written += done;
    if (result != PLAT_OK) return result;
    if (done == 0) return PLAT_ERR_IO;
  }
  return PLAT_OK;
}

static int Flush(PlatFile* file) {
  if (!file->writing || file->end == 0) return PLAT_OK;
  size_t written = 0;
  int result = WriteAll(file->raw, file->buffer, file->end, &written);
  file->end = 0;
  return result;
}

static bool HaveBuffer(PlatFile* file) {
  if (file->buffer == NULL) file->buffer = static_cast<char*>(malloc(kBufferSize));
  return file->buffer != NULL;
}

int PlatFileRead(PlatFile* file, void* buffer, size_t* size) {
  if (file->begin == file->end && *size < kBufferSize && HaveBuffer(file)) {
    size_t got = kBufferSize;
    int result = RawRead(file->raw, file->buffer, &got);
    if (result != PLAT_OK) {
      *size = 0;
      return result;
    }
    file->begin = 0;
    file->end = got;
  }
  if (file->begin == file->end) return RawRead(file->raw, buffer, size);
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
  // The device's FAT volume ends every file at 4 GiB - 1 bytes: the host's and the PC's file
  // systems would take more, and an update that the device cannot finish would pass here.
  if (!DeviceFileSizeFits(file->offset + static_cast<ZUInt64>(size))) return PLAT_ERR_IO;
  if (file->end + size > kBufferSize) {
    int result = Flush(file);
    if (result != PLAT_OK) return result;
  }
  if (size >= kBufferSize || !HaveBuffer(file)) {
    int result = WriteAll(file->raw, data, size, written);
    file->offset += *written;
    return result;
  }
  memcpy(file->buffer + file->end, data, size);
  file->end += size;
  file->offset += size;
  *written = size;
  return PLAT_OK;
}

int PlatFileSeek(PlatFile* file, ZInt64* position, PlatSeekOrigin origin) {
  int result = Flush(file);
  if (result != PLAT_OK) return result;
  // The OS position is past the read-ahead bytes not yet handed out.
  ZInt64 offset = *position;
  if (!file->writing && origin == PLAT_SEEK_CUR) offset -= static_cast<ZInt64>(file->end - file->begin);
  result = RawSeek(file->raw, &offset, origin);
  if (result != PLAT_OK) return result;
  if (!file->writing) file->begin = file->end = 0;
  file->offset = static_cast<ZUInt64>(offset);
  *position = offset;
  return PLAT_OK;
}

int PlatFileSize(PlatFile* file, ZUInt64* size) {
  int result = Flush(file);
  return result != PLAT_OK ? result : RawSize(file->raw, size);
}

int PlatFilePush(PlatFile* file) { return Flush(file); }

int PlatFileFlush(PlatFile* file) {
  int result = Flush(file);
  if (file->writing && result == PLAT_OK) result = RawFlush(file->raw);
  return result;
}

int PlatFileClose(PlatFile* file) {
  int result = PlatFileFlush(file);
  int closed = RawClose(file->raw);
  if (result == PLAT_OK) result = closed;
  free(file->buffer);
  free(file);
  return result;
}
