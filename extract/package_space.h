// The tree a package's items make on the device's FAT volume, and what it takes there: the items
// are walked once, in archive order, as the extraction creates them, with names compared as the
// device compares them (without regard to case).
#pragma once

#include "package_reader.h"

// A FAT folder holds at most 65,536 entries of 32 bytes; a name takes one, and a long name one
// more for every 13 units. Only a name of eight upper-case characters and three of extension fits
// one entry alone; every name counts as a long one here, so that a count that errs refuses a
// package, never lets one through that fails.
enum { kFolderEntryBytes = 32, kUnitsPerNameEntry = 13, kFolderEntriesMost = 65536 };

// What adding an item to the tree found.
enum TreeResult {
  TREE_ADDED = 0,
  TREE_SAME_FILE = 1,        // a file of that name is there: the device keeps one file, with the
                             // later item's bytes under the earlier item's name
  TREE_FILE_ON_THE_WAY = 2,  // the path needs a folder where a file is
  TREE_FOLDER_OVER_FILE = 3, // a folder item where a file is
  TREE_FILE_OVER_FOLDER = 4, // a file item where a folder is
  TREE_OVER_READ_ONLY = 5,   // a file of that name is there, read-only: it would stay
  TREE_FOLDER_FULL = 6,      // a folder on the way would hold more entries than FAT allows
  TREE_NO_MEMORY = 7
};

struct TreeNode;

struct PackageTree {
  const CSzArEx* db;
  TreeNode* nodes;  // [0] is the output folder
  ZUInt32 count;
  ZUInt32 capacity;
  ZUInt32* buckets;  // capacity * 2 of them, a power of two
  ZUInt32 clusterBytes;
  ZUInt64 fileClusters;  // of every file added
  bool failed;           // memory ran out: the tree is incomplete
};

// An empty tree for the items of db, in whole clusters of clusterBytes (not 0). The output folder
// holds, besides the items, "." and ".." and the package copy, whose name has copyNameLength units.
void PackageTreeInit(PackageTree* tree, const CSzArEx* db, ZUInt32 clusterBytes, size_t copyNameLength);
// Adds item, which must not be an anti-item and whose name must have passed ItemPathProblem, and
// every folder on its way. Anything but TREE_ADDED and TREE_SAME_FILE leaves the item out. *other
// is the item whose entry is in the way, or item itself when a folder is full or memory ran out.
int PackageTreeAdd(PackageTree* tree, UInt32 item, UInt32* other);
// What unpacking the added items adds to the volume, in whole clusters: each file its size rounded
// up to whole clusters (an empty file none), each folder its entries' ("." and ".." included) in
// whole clusters, whether an item names it or only lies in it; the output folder, which is there
// already with one cluster, what its entries take beyond that one.
ZUInt64 PackageTreeClusters(const PackageTree* tree);
void PackageTreeFree(PackageTree* tree);
