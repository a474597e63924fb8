/* The decoder's 7zDec.c as every compiler of the device program takes it. CE's ARM compilers
   define ARM (empty), and the file's branch-filter switch pastes that macro into the name of the
   ARM filter's function, which then names nothing. Its headers are read first, with the
   compiler's macros as they are (they pick the CPU by them); its own code then without ARM. */
#include "Precomp.h"

#include <string.h>

#include "7z.h"
#include "7zCrc.h"
#include "Bcj2.h"
#include "Bra.h"
#include "CpuArch.h"
#include "Delta.h"
#include "LzmaDec.h"
#include "Lzma2Dec.h"
#include "Ppmd7.h"

#undef ARM
#include "7zDec.c"
