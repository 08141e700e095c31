// The strings a device sends about itself, on the chips' Audio Class 1.0
// devices started through the chip-identifying factory: the chip
// strings (0x50, and 0x32 when 0x50 cannot be read) whose leading code units
// choose the model, and the maker and product strings the driver copies into
// the registry. Each is the device's own, absent, a text of the input's
// characters, or a reply of the input's raw bytes (any length, any
// bLength, any type). The factory picks a model or the generic one, the
// model starts or refuses the device, and nothing reads past what came.
#include "fuzz/DriverFuzz.h"
#include "driver/hal/ChipString.h"

namespace {

constexpr const char* kDevices[] = {"7746", "7762", "tq4187", "tq4187-v2", "vzr417", "7753-poll", "7753"};
constexpr UCHAR kStrings[] = {UAC1_PROBE_STRING_PRIMARY, UAC1_PROBE_STRING_FALLBACK, 1, 2};

uint8_t DeviceIndex(uint8_t selector) {
  const std::string name = kDevices[selector % (sizeof kDevices / sizeof kDevices[0])];
  for (uint8_t i = 0; i < driverfuzz::kDeviceNames.size(); ++i)
    if (name == driverfuzz::kDeviceNames[i]) return i;
  driverfuzz::Require(false, "a device the strings are tried on is no longer embedded");
  return 0;
}

// Reads whether the device was asked for string `index`.
bool AskedFor(const sim::SimDevice& device, UCHAR index) {
  for (const sim::RequestRecord& r : device.Requests())
    if (r.setup.bRequest == USB_REQUEST_GET_DESCRIPTOR && r.setup.wValue == (USB_STRING_DESCRIPTOR_TYPE << 8 | index))
      return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  driverfuzz::Reader in(data, size);
  const uint8_t at = DeviceIndex(in.Byte());
  const sim::EmbeddedDevice& embedded = driverfuzz::DeviceAt(at);
  driverfuzz::WithPoolCheck(at, [&] {
    sim::DescriptorSet set = embedded.descriptors();
    std::vector<sim::ControlFault> replies;
    for (UCHAR index : kStrings) {
      switch (in.Byte() % 4) {
        case 0:  // the device's own
          break;
        case 1:
          set.strings.erase(index);
          break;
        case 2: {
          std::u16string text(in.Byte() % 48, u' ');
          for (char16_t& c : text) c = in.Word();
          set.strings[index] = text;
          break;
        }
        default: {
          sim::ControlFault reply;
          reply.match = sim::RequestMatch::GetDescriptor(USB_STRING_DESCRIPTOR_TYPE);
          reply.match.value = static_cast<uint16_t>(USB_STRING_DESCRIPTOR_TYPE << 8 | index);
          reply.action = sim::FaultAction::ReplyWith;
          reply.reply = in.Bytes(in.Byte() % 128);
          replies.push_back(reply);
          break;
        }
      }
    }
    std::unique_ptr<sim::SimDevice> device = sim::CreateSimDevice(set, embedded.profile(), embedded.speed);
    for (const sim::ControlFault& reply : replies) device->AddFault(reply);
    sim::SimDevice& asked = *device;
    driverfuzz::Session session(std::move(device), nullptr, AudioHalChoice::ChipIdentifying, 1 + at);
    session.Start();
    if (AskedFor(asked, UAC1_PROBE_STRING_PRIMARY)) fuzz::Reached("the chip string read");
  });
  return 0;
}

FUZZ_REACHES("the device started", "the chip string read")
