// The lock that lets one update run at a time on a device. The run that holds it owns the outcome
// events; a run that cannot take it leaves them alone.
#pragma once

#include "device_types.h"

static const ZChar kRunLockName[] = ZT("Zeltrovan_Update_Lock");
