// Name, path and cluster rules of the device, the same for every backend.
#pragma once

#include "platform.h"

// The character as the device compares it: letters of the Latin, Greek and Cyrillic alphabets
// fold to upper case, everything else is itself.
ZChar FoldCase(ZChar c);
bool NamesEqualIgnoringCase(const ZChar* a, size_t aLength, const ZChar* b, size_t bLength);

inline bool IsPathSeparator(ZChar c) { return c == ZT('\\') || c == ZT('/'); }

// What bytes of a file take on a FAT volume: whole clusters of clusterBytes (not 0).
ZUInt64 WholeClusters(ZUInt64 bytes, ZUInt32 clusterBytes);
// a + b, or the largest value where that does not fit.
ZUInt64 SaturatingSum(ZUInt64 a, ZUInt64 b);

// Units before the terminator.
size_t TextLength(const ZChar* text);
// Whether two terminated names are the same unit for unit, case included.
bool SameText(const ZChar* a, const ZChar* b);

// Finds the next component of a device path at or after *cursor: returns its start and length
// and moves *cursor past it, or returns NULL when no component is left. Empty components
// ("a//b", a leading or trailing separator) are skipped.
const ZChar* NextPathComponent(const ZChar** cursor, size_t* length);
// The last component of path (the one NextPathComponent finds last) and its length, or NULL
// when there is none: found from the end, without a walk over the others.
const ZChar* LastPathComponent(const ZChar* path, size_t* length);

// An enumeration pattern is a directory path followed by a separator and "*.*", the one pattern
// there is. Returns the length of the directory part, its last separator included, or 0 when
// pattern is anything else: "dir*.*" or "dir\a*.*" must not walk another directory than the one
// named.
size_t EveryEntryPatternFolderLength(const ZChar* pattern);
// The device's file calls (CreateFileW, CreateDirectoryW, FindFirstFileW, ...) take at most
// PLAT_MAX_PATH units with the terminator, and a path that does not fit fails the call. The
// length counted is that of the path the call takes, with whatever the call appends
// (LISTING_SUFFIX_UNITS for the "\*.*" that lists a folder), in its absolute form: the device
// resolves a relative path from its root "\", so the extraction's "ZELTROVAN\a" counts as the
// cleaner's "\Zeltrovan\a", and whatever the one creates the other can list.
enum { LISTING_SUFFIX_UNITS = 4 };
// Whether a call on path with appended more units behind it fits the device's limit.
bool DevicePathFits(const ZChar* path, size_t appended);
// The names a FAT volume of the device holds. Windows Embedded CE 6.0's documentation ("Naming
// Files to Ensure Maximum Storage", under FAT File System) allows none of \ / : * ? " < > | nor a
// character below 32 in a file or directory name; a long name takes at most 255 units, as FAT's
// long-name entries hold. It says nothing of a name that ends in a dot or a space, which the
// desktop's CreateFile drops to stay compatible with FAT (Microsoft KB 115827): such a name is
// refused too, since most packages' trees are made on the desktop, and the file made would not
// bear the item's name and could meet another item's file. "." and ".." are no names but
// components of a path, handled where paths are.
enum { DEVICE_NAME_MAX = 255 };
enum DeviceNameRule {
  NAME_FITS = 0,
  NAME_FORBIDDEN_CHARACTER = 1,  // one of \ / : * ? " < > | or a code unit below 0x20
  NAME_ENDS_IN_DOT_OR_SPACE = 2,
  NAME_TOO_LONG = 3              // over DEVICE_NAME_MAX units
};
// The rule a name (one component, length units, not empty) breaks, or NAME_FITS.
int DeviceNameRuleBroken(const ZChar* name, size_t length);
// Whether the last component of path is a name the device can create (DeviceNameRuleBroken):
// every backend refuses to create a file or a folder of another name with PLAT_ERR_INVALID, as the
// device does, before the name reaches the host.
bool DeviceCanCreate(const ZChar* path);
// The largest file a FAT volume holds: its folder entry keeps the size in 32 bits.
bool DeviceFileSizeFits(ZUInt64 bytes);
// Whether path names folder or an entry below it, as the device compares paths: component by
// component without regard to case, with either separator and empty components skipped.
bool PathIsInside(const ZChar* path, const ZChar* folder);
