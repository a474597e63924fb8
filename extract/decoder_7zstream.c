/* The decoder's 7zStream.c as every compiler of the device program takes it. Its functions open
   with a warning pragma for GCC, which the CE cross compiler (GCC 4.4) refuses inside a function;
   the decoder is built without warnings anyway, so the pragma is left out of its code. */
#include "Precomp.h"

#include <string.h>

#include "7zTypes.h"

#undef Z7_DIAGNOSTIC_IGNORE_BEGIN_CAST_QUAL
#undef Z7_DIAGNOSTIC_IGNORE_END_CAST_QUAL
#define Z7_DIAGNOSTIC_IGNORE_BEGIN_CAST_QUAL
#define Z7_DIAGNOSTIC_IGNORE_END_CAST_QUAL
#include "7zStream.c"
