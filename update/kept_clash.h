// Whether a package can be unpacked around the files the clean leaves in the install.
#pragma once

#include "install_cleaner.h"

// Returns whether every item of the package at packagePath, but for anti-items, can be made
// around the kept entries (CheckInstallTree's, below dir): no item whose path needs a folder where
// a kept file is, no folder item where one is, and no file item where a folder that holds one is,
// names compared as the device compares them. A file item of a kept file's name is no clash: it
// replaces that file, or leaves it where it cannot. Says why on standard error when not, naming
// the item and the kept file, and when the package cannot be opened again. Decodes no item.
bool ItemsClearKeptEntries(const ZChar* packagePath, const KeptEntries* kept);
