// Proves a package before anything is deleted for it.
#pragma once

#include "device_types.h"

// Returns 0 when the package opens, every item decodes with a correct checksum, and every item
// could be written under outDir (a name, safe, whose path the device can create and, for its
// folders, list again, and neither the package's own file name at the top of outDir, where the
// update puts its copy, nor below a folder of that name); 1 otherwise, saying why on standard
// error (failure_reason.h). Writes nothing and prints nothing on standard output.
int TestPackage(const ZChar* packagePath, const ZChar* outDir);

// Stores what the package file takes on a volume of clusterBytes clusters in *packageClusters,
// and what unpacking its items adds there, as its header declares them (PackageClusters), in
// *unpackedClusters. Returns 0, or 1 when the package cannot be opened (saying why on standard
// error) or measured.
int MeasurePackage(const ZChar* packagePath, ZUInt32 clusterBytes, ZUInt64* packageClusters,
                   ZUInt64* unpackedClusters);
