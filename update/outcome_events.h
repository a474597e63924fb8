// The two named events through which the updater tells a waiting process how the update ended.
// The updater and every waiting side must use these same names.
#pragma once

#include "device_types.h"

static const ZChar kSuccessEventName[] = ZT("Zeltrovan_Update_Success_20150408");
static const ZChar kFailEventName[] = ZT("Zeltrovan_Update_Fail_20150408");
