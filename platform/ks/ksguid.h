// Reading and printing GUIDs in the registry's "{XXXXXXXX-XXXX-...}" form,
// and the names of the well-known kernel-streaming GUIDs for reports.
#pragma once

#include <string>

#include "kernel/ntdef.h"

namespace platform::ks {

std::string GuidToString(const GUID& guid);
// Accepts the braced or bare form, any case; false on anything else.
bool ParseGuid(const std::string& text, GUID* guid);
// "KSNODETYPE_VOLUME" for a known GUID, the braced string otherwise.
std::string GuidName(const GUID& guid);

}  // namespace platform::ks
