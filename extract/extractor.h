// Unpacks a 7z package into a directory with full paths, printing each item name, and says with
// its result whether every item was written.
#pragma once

#include "device_types.h"

// packagePath and outDir are narrow code-page 936 device paths. Returns 0 when the package was
// opened and every item was written, 1 otherwise. Items are handled in archive order; a stopping
// error leaves the items written before it in place.
int ExtractFile(const char* packagePath, const char* outDir);
// The same with the output directory already in UTF-16.
int ExtractToDirectory(const char* packagePath, const ZChar* outDir);
// The same with both paths in UTF-16, neither of them null.
int ExtractPackage(const ZChar* packagePath, const ZChar* outDir);

