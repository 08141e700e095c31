// The USBD parsing helpers read configuration descriptors a device sent:
// whatever the bytes, every walk stays inside them and everything found lies
// wholly inside them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/Reach.h"
#include "kernel/nt.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/MalformedDescriptors.h"
#include "usb/usbdlib.h"

namespace {

// Inputs with an odd first byte are edits of a known configuration (the
// default headset or a case of the fault catalogue, by the second byte):
// (offset, value) pairs, so that the fuzzer starts deep inside valid
// descriptors without a corpus. Other inputs are taken as they are.
std::vector<uint8_t> Configuration(const uint8_t* data, size_t size) {
  if (size < 2 || !(data[0] & 1)) return std::vector<uint8_t>(data, data + size);
  static const std::vector<std::vector<uint8_t>> known = [] {
    std::vector<std::vector<uint8_t>> out{sim::headset::Descriptors().Configuration()};
    for (const auto& c : sim::malformed::Catalogue()) out.push_back(c.build().Configuration());
    return out;
  }();
  std::vector<uint8_t> bytes = known[data[1] % known.size()];
  for (size_t i = 2; i + 1 < size; i += 2) bytes[(data[i] * 7u + i) % bytes.size()] = data[i + 1];
  return bytes;
}

void Inside(const void* found, const UCHAR* base, size_t length) {
  if (!found) return;
  const auto* d = static_cast<const UCHAR*>(found);
  if (d < base || d + 2 > base + length || d + d[0] > base + length || d[0] == 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t inputSize) {
  const std::vector<uint8_t> bytes = Configuration(input, inputSize);
  const uint8_t* data = bytes.data();
  const size_t size = bytes.size();
  if (size > 0xFFFF) return 0;
  // Exactly the bytes that exist, so that any read past them is caught.
  std::unique_ptr<UCHAR[]> exact(new UCHAR[size ? size : 1]);
  if (size) std::memcpy(exact.get(), data, size);
  const UCHAR* base = exact.get();
  for (const UCHAR* start = base;;) {
    auto* d = platform::usb::FindInterface(base, size, start, -1, -1, -1, -1, -1);
    Inside(d, base, size);
    if (!d) break;
    start = reinterpret_cast<const UCHAR*>(d) + d->bLength;
  }
  for (LONG type : {-1, 4, 5, 0x24, 0x25}) {
    for (const UCHAR* start = base;;) {
      auto* d = platform::usb::FindDescriptor(base, size, start, type);
      Inside(d, base, size);
      if (!d) break;
      start = reinterpret_cast<const UCHAR*>(d) + d->bLength;
    }
  }

  // The USBD routines on a pool copy, as a driver holds its descriptor.
  if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return 0;
  auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, size, MakeTag("Fuzz")));
  std::memcpy(config, data, size);
  const auto* pool = reinterpret_cast<const UCHAR*>(config);
  const size_t bound = std::min<size_t>(size, config->wTotalLength);
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (PVOID start = config;;) {
    PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config, start, -1, -1, -1, -1, -1);
    Inside(d, pool, bound);
    if (!d) break;
    fuzz::Reached("an interface found");
    if (d->bAlternateSetting == 0 && list.size() < 32) list.push_back({d, nullptr});
    USBD_GetInterfaceLength(d, const_cast<PUCHAR>(pool) + bound);
    start = reinterpret_cast<PUCHAR>(d) + d->bLength;
  }
  list.push_back({nullptr, nullptr});
  if (PURB urb = USBD_CreateConfigurationRequestEx(config, list.data())) {
    // Every record the list points at lies inside the URB.
    const auto* begin = reinterpret_cast<const UCHAR*>(urb);
    for (const auto& e : list)
      if (e.Interface) {
        const auto* r = reinterpret_cast<const UCHAR*>(e.Interface);
        if (r < begin || r + e.Interface->Length > begin + urb->UrbHeader.Length) std::abort();
      }
    fuzz::Reached("a configuration request built");
    ExFreePool(urb);
  }
  for (LONG type : {5, 0x24}) {
    for (PVOID start = config;;) {
      PUSB_COMMON_DESCRIPTOR d = USBD_ParseDescriptors(config, static_cast<ULONG>(bound), start, type);
      Inside(d, pool, bound);
      if (!d) break;
      start = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
  }
  ExFreePool(config);
  return 0;
}

FUZZ_REACHES("an interface found", "a configuration request built")
