#include "globaltopo/common/VSF/VsfCommon.h"

// Deliberately empty: a failed check is not fatal, and every check whose
// failure would be unsafe is followed by a refusal at its call site.
void VsfAssertFailed(const char*) {}
