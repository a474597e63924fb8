// Empties the application's install directory before a package is unpacked into it.
#pragma once

#include "device_types.h"

// Deletes every file and subdirectory below dir (given without a trailing backslash; one is
// tolerated), depth first. Every "EMMC_Check_File.txt" stays, and so does the directory that
// holds it; a "ceusbkwrapperdrv.dll" that cannot be deleted is logged and left. dir itself is
// removed too unless it is the top directory "\Zeltrovan". Read-only files and folders lose the
// attribute and go like the rest. Returns 0 when the walk finished, -1 when any other file could
// not be deleted (the walk stops there, after logging it, and leaves the entries it had not
// reached) or a directory could not be enumerated. A directory that is missing counts as empty.
int RemoveInstallTree(const ZChar* dir);
