// Where an item of a package lands: outDir + "\" + its name, inside a 260-unit buffer.
#pragma once

#include "platform.h"

// Drops the "." components of a name in place, with the separator after each ("./bin/app.exe"
// becomes "bin/app.exe"), as writers that pack a folder as "." store its items; a name of "."
// components only becomes ".", the output folder itself. What the name reaches stays the same,
// and so does an unsafe one: "./../x" still leads outside, ".//x" is still absolute.
void DropCurrentFolderComponents(ZChar* name);
// Whether the name, its "." components dropped, is the output folder itself.
bool NamesOutputFolder(const ZChar* name);

// Says why an item of that name must not be written under outDir, or returns NULL when it may:
// an absolute name, a drive prefix or a ".." component ("\" and "/" both separate) would reach
// outside outDir, a file named "." would be outDir itself, and the device could not create a
// path too long for its file calls (DevicePathFits), nor list a folder too long for its listing
// pattern: a folder item, or the folder that holds a file, that the next update's clean could
// not walk again; nor a name its FAT volume cannot hold (DeviceNameRuleBroken), nor a "\\" in
// the name, which writers differ on.
const char* ItemPathProblem(const ZChar* outDir, const ZChar* name, bool isDirectory);

// Forms the item's full path in path (PLAT_MAX_PATH units) and creates every directory on the
// way, ignoring failures: an existing directory is the common case. The name's "/" separators
// become "\" in place. madeFolder (PLAT_MAX_PATH units, empty at first) remembers the folder the
// previous item's directories were made for, so that a run of items in one folder makes them
// once. The item must have passed ItemPathProblem.
void PrepareItemPath(const ZChar* outDir, ZChar* name, ZChar* path, ZChar* madeFolder);
