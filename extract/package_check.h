// Proves a package before anything is deleted for it.
#pragma once

#include "device_types.h"

struct PackageReader;

// What a package takes on a volume whose clusters are clusterBytes, all in whole clusters.
struct PackageSpace {
  ZUInt32 clusterBytes;      // given
  bool measured;             // false when the package could not be measured
  ZUInt64 packageClusters;   // the package file
  ZUInt64 unpackedClusters;  // what unpacking its items adds, as its header declares them
                             // (PackageTreeClusters)
};

// Returns 0 when the package opens, is below 4 GiB (its copy in outDir is a FAT file too), every
// item decodes with a correct checksum, and every item could be written under outDir: a name, safe,
// whose path the device can create and, for its folders, list again, whose every component the
// device's FAT volume can hold (no "\\" inside it either), a file below 4 GiB, neither copyName
// (the file name the update gives its copy of the package, at the top of outDir) nor below a folder
// of that name, and with its place in the tree the items make free, names compared as the device
// compares them: no file where a folder is or is needed, no folder where a file is, no folder over
// FAT's entries (package_space.h). A file named twice passes; the later item's bytes end up under
// the earlier one's name. Returns 1 otherwise, saying why on standard error (failure_reason.h).
// Writes nothing and prints nothing on standard output. When space is not NULL and the package
// opens, it is measured in the same walk over the names, whatever the test finds.
int TestPackage(const ZChar* packagePath, const ZChar* outDir, const ZChar* copyName,
                PackageSpace* space = NULL);

// What a tool that reports every finding (zelt-check) watches of a test: how far it has got, as
// the items' bytes are decoded (the bytes done, and those of every item together), and each item
// it finds a place for in the tree, or that is an anti-item, for what the tool says of it beside
// the test. Either may be NULL.
struct TestWatch {
  void (*progress)(void* context, ZUInt64 done, ZUInt64 total);
  void (*placed)(void* context, ZUInt32 index, const ZChar* name);
  void* context;
};

// TestPackage on a package a reader has open (OpenPackage), which it leaves open: whoever opened
// it closes it. With a watch, every refusal is told, not only the first, a file named twice too
// (as a reason whose code is a warning's), and every block is decoded but for what follows a
// failure inside it.
int TestOpenedPackage(PackageReader* reader, const ZChar* outDir, const ZChar* copyName,
                      PackageSpace* space, const TestWatch* watch);
