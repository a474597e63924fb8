// The seam between the shared file buffering (buffered_file.cpp) and a backend's own file calls;
// nothing outside platform/ includes it.
#pragma once

#include "platform.h"

// What a backend knows an open file by: a descriptor on POSIX, a HANDLE on Win32.
union RawHandle {
  int fd;
  void* handle;
};

// Wraps an open file in a PlatFile that either reads or writes. On failure the raw file is
// closed and *file is left alone.
int NewPlatFile(RawHandle raw, bool writing, PlatFile** file);
// A file just opened for appending (opened its result), moved to its end, where writing goes on
// and from where the FAT file's limit is counted; closed again when that fails.
int AtItsEnd(int opened, PlatFile** file);

// Each backend provides these, with the OS's errors mapped to PlatResult.
// One read of up to *size bytes; *size becomes the number read (0 at the end, or on failure).
int RawRead(RawHandle raw, void* buffer, size_t* size);
// One write of up to size bytes; *done becomes the number the OS took, which can be fewer than
// size (and more than 0 even on failure).
int RawWrite(RawHandle raw, const void* data, size_t size, size_t* done);
// Moves to *position from origin; *position becomes the new offset from the start.
int RawSeek(RawHandle raw, ZInt64* position, PlatSeekOrigin origin);
int RawSize(RawHandle raw, ZUInt64* size);
// Puts what the OS holds of a written file where PlatFileFlush promises it to be.
int RawFlush(RawHandle raw);
int RawClose(RawHandle raw);
