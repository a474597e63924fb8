// What a package's items take on the FAT volume they are unpacked to.
#pragma once

#include "package_reader.h"

// Counts in *clusters, in whole clusters of clusterBytes, what unpacking the package's items
// adds to a volume: each file its size rounded up to whole clusters (an empty file none, only an
// entry), each folder one cluster, whether an item names it or only lies in it, and the folder
// entries of every file and folder, rounded up to whole clusters once for all. Anti-items add
// nothing. Returns SZ_OK, or SZ_ERROR_MEM when the folders cannot be counted.
SRes PackageClusters(const PackageReader* reader, ZUInt32 clusterBytes, ZUInt64* clusters);
