// Proves a package before anything is deleted for it.
#pragma once

#include "device_types.h"

// Returns 0 when the package opens, every item decodes with a correct checksum, and every item
// could be written under outDir (a name, safe, that fits the path buffer); 1 otherwise. Writes
// and prints nothing.
int TestPackage(const ZChar* packagePath, const ZChar* outDir);
