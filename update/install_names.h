// The install's names, the one place the run, the cleaner and zelt-check take them from.
#pragma once

#include "device_types.h"

// The install directory, as the cleaner empties it and as a folder on the device's volume, and as
// the cleaner's walk spells it once it lists it (a separator behind).
extern const ZChar kInstallDir[];
extern const ZChar kInstallDirListed[];
// Where the run unpacks the package, as it names the install directory to the extractor: a
// root-relative name, which the device resolves from "\".
extern const char kOutDir[];
extern const ZChar kOutDirWide[];
// The package's file name, beside the updater and as its copy at the top of kOutDirWide.
extern const ZChar kPackageCopyName[];
// The package copy, as the run opens it for writing and the extractor reads it.
extern const char kTargetPackage[];
extern const ZChar kTargetPackageWide[];
// The marker file that every clean spares, wherever it lies in the install.
extern const ZChar kKeptFile[];
// The driver the clean passes over while it is in use.
extern const ZChar kToleratedFile[];
