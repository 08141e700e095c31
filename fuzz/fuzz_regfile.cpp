// The registry file reader takes text a user may have edited by hand: any
// input must fail cleanly or load, and whatever loads must save and load
// back to the same registry.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/Reach.h"
#include "kernel/nt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  platform::registry::Reset();
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  NTSTATUS status = platform::registry::LoadFromText(text, &error);
  if (!NT_SUCCESS(status)) {
    if (status != STATUS_DATA_ERROR || error.empty()) std::abort();
    return 0;
  }
  std::string saved = platform::registry::SaveToText(u"\\Registry");
  platform::registry::Reset();
  if (platform::registry::LoadFromText(saved, &error) != STATUS_SUCCESS) std::abort();
  if (platform::registry::SaveToText(u"\\Registry") != saved) std::abort();
  fuzz::Reached("a registry loaded and saved back");
  return 0;
}

FUZZ_REACHES("a registry loaded and saved back")
