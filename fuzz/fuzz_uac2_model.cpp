// The Audio Class 2.0 model on whatever a device says: the embedded 2.0
// headset's configuration edited byte by byte, class requests answered with
// scripted replies (RANGE lists, MEM blocks, jack and type lists, short or
// refused answers), and interrupt status messages and bulk data sent once
// the driver runs. The driver starts through the chip-identifying factory
// or refuses the device, handles every message, stops, and leaves no pool
// block behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz/Reach.h"
#include "kernel/pool.h"
#include "sim/device/Uac2Headset.h"
#include "sim/host/RunningDriver.h"
#include "topology/CMiniportWaveCyclic.h"
#include "usb/usbaudio2.h"

namespace {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}
  bool More() const { return m_At < m_Size; }
  uint8_t Byte() { return m_At < m_Size ? m_Data[m_At++] : 0; }
  std::vector<uint8_t> Bytes(size_t count) {
    std::vector<uint8_t> out;
    while (count-- && More()) out.push_back(Byte());
    return out;
  }

 private:
  const uint8_t* m_Data;
  size_t m_Size;
  size_t m_At = 0;
};

// A class request to an entity of the AudioControl interface (or, with
// entity 0, to an AudioStreaming interface).
sim::RequestMatch ToEntity(uint8_t entity, uint8_t request, uint8_t cs, uint8_t interfaceNumber) {
  sim::RequestMatch m = sim::RequestMatch::Class();
  m.request = request;
  m.valueHigh = cs;
  m.index = static_cast<uint16_t>(entity << 8 | interfaceNumber);
  return m;
}

struct Script {
  std::vector<std::vector<uint8_t>> messages;
  std::vector<std::vector<uint8_t>> bulk;
};

// The device as the input describes it: the headset's configuration with
// (offset, value) edits, then records of scripted behaviour.
std::unique_ptr<sim::Uac2Device> MakeDevice(Reader& in, Script* script) {
  const uint8_t header = in.Byte();
  const platform::usb::Speed speed = header & 1 ? platform::usb::Speed::Full : platform::usb::Speed::High;
  sim::DescriptorSet set = sim::uac2headset::Descriptors(speed);
  sim::Bytes& configuration = set.configurations[0];
  for (uint8_t edits = in.Byte() % 16; edits; --edits) {
    const size_t at = (in.Byte() | static_cast<size_t>(in.Byte()) << 8) % configuration.size();
    configuration[at] = in.Byte();
  }
  // Now and then a configuration cut short.
  if (header & 2) configuration.resize(configuration.size() - in.Byte() % configuration.size());
  auto device = std::make_unique<sim::Uac2Device>(set, sim::uac2headset::Profile(speed), speed);

  while (in.More()) {
    const uint8_t kind = in.Byte();
    const uint8_t entity = in.Byte();
    const uint8_t request = static_cast<uint8_t>(USB_AUDIO2_CUR + in.Byte() % 3);
    const uint8_t cs = in.Byte();
    const uint8_t interfaceNumber = entity ? 0 : in.Byte() % 3;
    sim::ControlFault fault;
    fault.match = ToEntity(entity, request, cs, interfaceNumber);
    fault.times = kind & 0x80 ? 1 : -1;
    switch (kind % 5) {
      case 0:  // an answer of the input's bytes
        fault.action = sim::FaultAction::ReplyWith;
        fault.reply = in.Bytes(in.Byte());
        device->AddFault(fault);
        break;
      case 1:  // a short answer
        fault.action = sim::FaultAction::ShortReply;
        fault.length = in.Byte() % 16;
        device->AddFault(fault);
        break;
      case 2:  // a refusal
        fault.action = sim::FaultAction::Stall;
        device->AddFault(fault);
        break;
      case 3:  // an interrupt status message of 0 to 8 bytes
        script->messages.push_back(in.Bytes(in.Byte() % 9));
        break;
      default:  // data on the bulk endpoint
        script->bulk.push_back(in.Bytes(in.Byte()));
        break;
    }
  }
  return device;
}

void Run(const uint8_t* data, size_t size) {
  Reader in(data, size);
  Script script;
  std::unique_ptr<sim::Uac2Device> owned = MakeDevice(in, &script);
  sim::Uac2Device* device = owned.get();
  sim::host::RunningDriver driver(std::move(owned), CreateMiniportWaveCyclic, AudioHalChoice::ChipIdentifying);
  if (!driver.Started()) return;
  fuzz::Reached("the 2.0 model started");
  for (const std::vector<uint8_t>& message : script.messages) device->QueueStatusMessage(message);
  for (const std::vector<uint8_t>& bulk : script.bulk) device->QueueBulkData(bulk);
  // A message a millisecond (high speed polls every half), and some spare.
  driver.AdvanceUntil([] { return false; }, static_cast<ULONG>(2 * script.messages.size() + 4));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Whatever the platform keeps for good is made by a first run.
  static const bool warm = [] {
    const uint8_t nothing = 0;
    Run(&nothing, 1);
    return true;
  }();
  (void)warm;
  const size_t before = platform::pool::OutstandingCount();
  Run(data, size);
  if (platform::pool::OutstandingCount() != before) {
    std::fprintf(stderr, "pool blocks left behind:\n%s\n",
                 platform::pool::Describe(platform::pool::Outstanding()).c_str());
    std::abort();
  }
  return 0;
}

FUZZ_REACHES("the 2.0 model started")
