// Empties the application's install directory before a package is unpacked into it.
#pragma once

#include "device_types.h"

// Deletes every file and subdirectory below dir (given without a trailing backslash; one is
// tolerated), depth first. Every "EMMC_Check_File.txt" stays, and so does the directory that
// holds it; a "ceusbkwrapperdrv.dll" that cannot be deleted is logged and left. dir itself is
// removed too unless it is the top directory "\Zeltrovan". Read-only files and folders lose the
// attribute and go like the rest. An entry too long for the device's file calls to reach (a file,
// or a folder too long to list) stays, unless it is an empty folder. Returns 0 when the walk
// finished, -1 when any other file could not be deleted (the walk stops there, after logging it,
// and leaves the entries it had not reached) or a directory could not be enumerated. A directory
// that is missing counts as empty.
int RemoveInstallTree(const ZChar* dir);

enum CleanCheck {
  CLEAN_READY = 0,        // the clean can finish
  CLEAN_FILE_IN_USE = 1,  // a file it would have to delete is held by another handle
  CLEAN_WALK_FAILED = 2   // a directory cannot be enumerated, or memory ran out
};

// The files a clean leaves in place (the kept markers, and a "ceusbkwrapperdrv.dll" in use): each
// path whole as the walk spells it, dir in front, on the heap. Items of a package that need a
// folder or a file where one of them or a folder that holds one stays cannot be unpacked.
struct KeptEntries {
  ZChar** paths;
  size_t count;
  size_t capacity;
  size_t dirLength;  // the units each path begins with that name dir and its separator
};
void FreeKeptEntries(KeptEntries* kept);

// Walks dir as RemoveInstallTree would, deleting and changing nothing, to prove that the clean
// could finish now: every file it would delete can be taken (a "ceusbkwrapperdrv.dll" may be in
// use, as there) and every directory it would enter can be enumerated. *freedClusters receives
// what the clean would free on a volume of clusterBytes clusters, never more: each file it would
// delete in whole clusters, and each folder it would remove (one that keeps nothing) one cluster.
// The first file in use is logged as "[ZELT_UPDATE] Line: 00072:in use <path>". Returns a
// CleanCheck. Another process may still take a file between this proof and the clean; the clean
// then stops there as it always did. When kept is not NULL (zeroed at first) it receives the
// entries the clean would leave, as far as the walk got; the caller frees them.
int CheckInstallTree(const ZChar* dir, ZUInt32 clusterBytes, ZUInt64* freedClusters,
                     KeptEntries* kept = NULL);
