// Everything the updater asks of the operating system. Only the backend files behind this header
// include system headers; the rest of the program sees opaque handles and integer results.
//
// Paths are device paths in UTF-16: relative to the device's root "\" (there is no current
// directory), "\" and "/" both separate, empty components collapse, and names match an existing
// entry without regard to case. A path never resolves outside the device root. PLAT_ERR_NOT_FOUND
// means that an entry is not there: a folder on the way that cannot be read (too many open files,
// say) fails the call with another result.
//
// Every call enforces the device's path limit, on every backend: a path that, with whatever the
// call appends ("\*.*" to list a folder) and counted from the root (a relative path with its
// leading "\"), does not fit PLAT_MAX_PATH units fails with PLAT_ERR_INVALID and touches nothing,
// as the device's own call refuses a name too long. Never PLAT_ERR_NOT_FOUND: an entry too long
// to reach may well be there. The rule is DevicePathFits (device_rules.h). Likewise creating a
// file or a folder (PlatFileCreate, PlatFileOpenAppend, PlatCreateDirectory) under a name the
// device's FAT volume cannot hold fails with PLAT_ERR_INVALID and creates nothing, whatever the
// host's file system takes (DeviceCanCreate).
#pragma once

#include "device_types.h"

enum { PLAT_MAX_PATH = 260 };  // units, terminator included: the most a device file call takes
// The cluster a package is counted in where no volume is at hand (zelt-check's default): FAT32's
// largest, as the device's cards and flash are formatted.
enum { PLAT_ASSUMED_CLUSTER = 32 * 1024 };
// More than any cluster of a volume the device mounts: FAT's largest is 64 KB (FAT16 of 2 to
// 4 GB), exFAT's as SD cards up to 2 TB are formatted 256 KB.
enum { PLAT_LARGEST_CLUSTER = 256 * 1024 };

// Results: PLAT_OK, or one of the failures below. OS error numbers never leave the backend.
enum PlatResult {
  PLAT_OK = 0,
  PLAT_ERR_NOT_FOUND = 1,  // no such file, directory or path component
  PLAT_ERR_EXISTS = 2,     // the entry to be created is there already
  PLAT_ERR_ACCESS = 3,     // read-only or not permitted
  PLAT_ERR_IN_USE = 4,     // another handle holds the file (a sharing violation on the device)
  PLAT_ERR_NOT_EMPTY = 5,  // a directory to be removed still has entries
  PLAT_ERR_INVALID = 6,    // a path that cannot name anything on the device
  PLAT_ERR_IO = 7,         // any other failure of the medium or the OS
  PLAT_ERR_NO_MEMORY = 8,
  PLAT_ERR_TIMEOUT = 9
};

enum { PLAT_ATTR_READONLY = 0x01, PLAT_ATTR_DIRECTORY = 0x10 };

// ---- Files -------------------------------------------------------------------------------------

struct PlatFile;

enum PlatSeekOrigin { PLAT_SEEK_SET = 0, PLAT_SEEK_CUR = 1, PLAT_SEEK_END = 2 };

// Opens an existing file for reading. Readers share the file with each other only: while this
// handle is open, PlatFileCreate and PlatDeleteFile of the file fail with PLAT_ERR_IN_USE, and
// opening fails with PLAT_ERR_IN_USE while a PlatFileCreate handle holds the file.
int PlatFileOpenRead(const ZChar* path, PlatFile** file);
// Creates a file, or truncates an existing one, for writing. Fails with PLAT_ERR_IN_USE when
// another handle holds the file and PLAT_ERR_ACCESS when it is read-only; while this handle is
// open the file is in use for everyone else.
int PlatFileCreate(const ZChar* path, PlatFile** file);
// Opens a file for writing at its end, creating it when it is not there: what it holds stays.
// Shared and refused as PlatFileCreate is (PLAT_ERR_IN_USE, PLAT_ERR_ACCESS).
int PlatFileOpenAppend(const ZChar* path, PlatFile** file);
// Reads up to *size bytes; *size becomes the number read, 0 at the end of the file.
int PlatFileRead(PlatFile* file, void* buffer, size_t* size);
// Writes size bytes; *written becomes the number the file took. Small writes may be buffered, so
// a failure of the medium can surface only at PlatFileClose. A write that would take the file past
// the 4 GiB - 1 bytes of a FAT file (DeviceFileSizeFits) fails with PLAT_ERR_IO and writes nothing.
int PlatFileWrite(PlatFile* file, const void* buffer, size_t size, size_t* written);
// Moves to *position from origin; *position becomes the new offset from the start.
int PlatFileSeek(PlatFile* file, ZInt64* position, PlatSeekOrigin origin);
int PlatFileSize(PlatFile* file, ZUInt64* size);
// Hands what was written through the handle so far to the OS, so that it outlives the process;
// on the Win32 backend it is then on the medium, as after PlatFileClose.
int PlatFileFlush(PlatFile* file);
// Hands what was written through the handle so far to the OS, which keeps it when the process
// ends however it ends, without waiting for the medium as PlatFileFlush does.
int PlatFilePush(PlatFile* file);
// Releases the handle in every case; a failure means buffered data may not have reached the file.
// On the Win32 backend a file written through the handle is on the medium once this succeeds.
int PlatFileClose(PlatFile* file);

// ---- Directories and names ---------------------------------------------------------------------

struct PlatFind;

struct PlatFindData {
  ZChar name[PLAT_MAX_PATH];  // the entry's name alone, terminated
  ZUInt32 attributes;           // PLAT_ATTR_* bits
};

// Starts an enumeration of the directory named by pattern, which is the directory path followed
// by "\*.*" (the one pattern there is: every entry). *data receives the first entry, "." and ".."
// included where the file system has them. A symbolic link is an entry of its own, never a
// directory, and is never followed. PLAT_ERR_NOT_FOUND only when the directory is missing or has
// no entries; one that cannot be read gives another failure (PLAT_ERR_IO, PLAT_ERR_NO_MEMORY, ...).
int PlatFindFirst(const ZChar* pattern, PlatFind** find, PlatFindData* data);
// Next entry in the file system's order; PLAT_ERR_NOT_FOUND after the last, any other failure
// when the rest cannot be read.
int PlatFindNext(PlatFind* find, PlatFindData* data);
void PlatFindClose(PlatFind* find);

int PlatCreateDirectory(const ZChar* path);
// Fails with PLAT_ERR_NOT_EMPTY while the directory has entries and PLAT_ERR_ACCESS while it is
// read-only.
int PlatRemoveDirectory(const ZChar* path);
// Deletes a file or a symbolic link (never what it points to). Fails with PLAT_ERR_IN_USE when
// another handle holds the file and PLAT_ERR_ACCESS when it is read-only, whoever asks.
int PlatDeleteFile(const ZChar* path);
// Proves that a deletion could take the file now: opens it for reading without sharing, as a
// deletion needs it, and closes it at once. *size receives its size. PLAT_ERR_IN_USE while another
// handle holds the file; read-only is no refusal. An entry that is no regular file (a symbolic
// link) is not opened, since deleting it never touches what it names; its size counts as 0.
int PlatFileProbe(const ZChar* path, ZUInt64* size);
// Stores in *freeBytes how many bytes this process may still write to the volume that holds path
// (an existing file or directory), and in *clusterBytes the volume's allocation unit: every file
// takes whole clusters of it, and a folder at least one. Where the OS does not tell the unit, it
// is PLAT_LARGEST_CLUSTER, so that a count in clusters never comes out too small. PLAT_ERR_NOT_FOUND when path does not exist.
int PlatVolumeFreeSpace(const ZChar* path, ZUInt64* freeBytes, ZUInt32* clusterBytes);
// Only PLAT_ATTR_READONLY can be changed, on files and directories alike; other bits are ignored.
int PlatSetFileAttributes(const ZChar* path, ZUInt32 attributes);
int PlatGetFileAttributes(const ZChar* path, ZUInt32* attributes);
// Puts everything written so far on the volume that holds path (an existing file or directory)
// onto the medium, so that it survives a power cut; returns once it is there, or with
// PLAT_ERR_IO when the medium failed to take it. One call covers every file of the volume and
// every change to its folders (a deletion included). The FAT driver of the device caches both
// file data and folder entries, so closing a file is not enough there: PlatFileClose flushes the
// file it wrote, and this call the volume's folders.
int PlatFlushVolume(const ZChar* path);

// ---- Named events ------------------------------------------------------------------------------

struct PlatEvent;

// Opens the auto-reset event of that name, creating it unsignalled when nobody has it yet.
// Events belong to the device: two devices never share one.
int PlatEventOpen(const ZChar* name, PlatEvent** event);
// Signals the event; at most one signal stays pending until a wait takes it.
int PlatEventSet(PlatEvent* event);
// Waits until one of the events is signalled, takes that signal and stores the event's index in
// *signalled. PLAT_ERR_TIMEOUT when none was signalled within timeoutMs; a timeout of 0 polls.
int PlatEventWaitAny(PlatEvent* const* events, int count, ZUInt32 timeoutMs, int* signalled);
void PlatEventClose(PlatEvent* event);
// Forgets the name so that the next open creates a fresh event. Device events vanish with their
// last handle; a host event outlives its processes until this is called.
int PlatEventDelete(const ZChar* name);

// ---- Run lock ----------------------------------------------------------------------------------

struct PlatLock;

// Takes the lock of that name without waiting. Locks belong to the device, as events do.
// PLAT_ERR_IN_USE while another process holds it. It stays taken until PlatLockRelease or the end
// of the process, however the process ends: a killed holder never leaves it taken.
int PlatLockTake(const ZChar* name, PlatLock** lock);
void PlatLockRelease(PlatLock* lock);

// ---- Process, time and console -----------------------------------------------------------------

// Milliseconds of a monotonic clock; the count wraps at 2^32.
ZUInt32 PlatTickCount();
// Stores the running executable's device path, terminated, into buffer. Returns its length in
// units, or 0 when it has none (an executable outside the device root) or it does not fit; the
// buffer then holds an empty string when size is at least 1.
size_t PlatModuleFileName(ZChar* buffer, size_t size);
// Converts count units of UTF-16 into the console's code page. Returns the number of bytes
// stored, or 0 when dst is too small; a unit the code page cannot show becomes defaultChar.
// Nothing is terminated.
int PlatUtf16ToConsole(const ZChar* src, int count, char* dst, int dstSize, char defaultChar);

struct PlatProcess;

// Starts a program with the given arguments (argv[0] is the program, searched in PATH when it
// holds no "/"); the child shares standard output and error.
int PlatProcessStart(const char* const* argv, PlatProcess** process);
// Starts a program as PlatProcessStart does, with its standard output written to outputFile and
// its standard error to errorFile: two different host paths in the encoding of argv, each created
// or emptied. Fails, starting nothing, when a file cannot be opened for writing.
int PlatProcessStartRedirected(const char* const* argv, const char* outputFile,
                               const char* errorFile, PlatProcess** process);
// The system's id of the process, as its own tools show it.
ZUInt32 PlatProcessId(const PlatProcess* process);
// Waits for the process to end and releases it; *exitCode is its exit status (0..255), or -1
// when it was killed by a signal. PLAT_ERR_TIMEOUT leaves the process running and the handle valid.
int PlatProcessWait(PlatProcess* process, ZUInt32 timeoutMs, int* exitCode);
// Ends the process at once, as a power cut would: it runs no more of its own code, so nothing it
// buffered is written. The handle stays valid until PlatProcessWait, which then reports -1.
// Killing a process that has already ended but not been waited for succeeds and changes nothing.
int PlatProcessKill(PlatProcess* process);

// ---- Host only ---------------------------------------------------------------------------------

// Makes the device root the given host directory for this process, overriding ZELT_DEVICE_ROOT
// (host tools address host paths through root "/").
int PlatSetDeviceRoot(const char* hostDirectory);
// Turns a host path in the locale's encoding (absolute or relative to the current directory) into
// a device path under the current root. PLAT_ERR_INVALID when it lies outside the root or does not
// fit size units.
int PlatHostPathToDevicePath(const char* hostPath, ZChar* devicePath, size_t size);
// Whether standard error is a terminal (a console window), where a tool may show how far it has
// got; false when it goes to a pipe or a file.
bool PlatStandardErrorIsTerminal();
