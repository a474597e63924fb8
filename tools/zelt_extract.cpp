// Unpacks a package into a host folder through the updater's own extractor, so that packages can
// be tried and measured on a PC: zelt-extract PACKAGE OUTDIR.
#include <cstdio>

#include "device_rules.h"
#include "extractor.h"
#include "platform.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: zelt-extract PACKAGE OUTDIR\n");
    return 2;
  }
  // Host paths, whatever device the environment names.
  PlatSetDeviceRoot("/");
  ZChar package[PLAT_MAX_PATH];
  ZChar outDir[PLAT_MAX_PATH];
  if (PlatHostPathToDevicePath(argv[1], package, PLAT_MAX_PATH) != PLAT_OK) {
    fprintf(stderr, "zelt-extract: package path unusable: %s\n", argv[1]);
    return 1;
  }
  if (PlatHostPathToDevicePath(argv[2], outDir, PLAT_MAX_PATH) != PLAT_OK) {
    fprintf(stderr, "zelt-extract: output directory path unusable: %s\n", argv[2]);
    return 1;
  }
  // Parents first, as a packer's -o does; only the folder itself must be there in the end.
  for (size_t i = 1; outDir[i] != 0; i++) {
    if (!IsPathSeparator(outDir[i])) continue;
    outDir[i] = 0;
    PlatCreateDirectory(outDir);
    outDir[i] = ZT('\\');
  }
  int result = PlatCreateDirectory(outDir);
  if (result != PLAT_OK && result != PLAT_ERR_EXISTS) {
    fprintf(stderr, "zelt-extract: cannot create output directory: %s\n", argv[2]);
    return 1;
  }
  return ExtractPackage(package, outDir) == 0 ? 0 : 1;
}
