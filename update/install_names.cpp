#include "install_names.h"

const ZChar kInstallDir[] = ZT("\\Zeltrovan");
const ZChar kInstallDirListed[] = ZT("\\Zeltrovan\\");
const char kOutDir[] = "ZELTROVAN";
const ZChar kOutDirWide[] = ZT("ZELTROVAN");
const ZChar kPackageCopyName[] = ZT("Zeltrovan.7z");
const char kTargetPackage[] = "ZELTROVAN//Zeltrovan.7z";
const ZChar kTargetPackageWide[] = ZT("ZELTROVAN//Zeltrovan.7z");
const ZChar kKeptFile[] = ZT("EMMC_Check_File.txt");
const ZChar kToleratedFile[] = ZT("ceusbkwrapperdrv.dll");
