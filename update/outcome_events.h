// The two named events through which the updater tells a waiting process how the update ended.
// The updater and every waiting side must use these same names.
#pragma once

static const char16_t kSuccessEventName[] = u"Zeltrovan_Update_Success_20150408";
static const char16_t kFailEventName[] = u"Zeltrovan_Update_Fail_20150408";
