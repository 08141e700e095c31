// What the topology filter's property fuzz targets share: the driver
// started once on a simulated device, and one request built from the
// fuzzer's bytes, whose answer must stay within the caller's buffers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/DriverEntry.h"
#include "sim/device/SimDevice.h"
#include "sim/host/Host.h"
#include "topology/CMiniportTopology.h"
#include "topology/PrivatePropertySets.h"
#include "usb/HubPort.h"

namespace topologyfuzz {

// The driver runs once for the whole session: only the topology filter is
// wanted, so no wave miniport is installed (the start stops after the
// topology filter is registered, which is all the fuzzer talks to).
struct Session {
  std::unique_ptr<sim::SimDevice> device;
  std::unique_ptr<platform::usb::HubPort> port;
  sim::host::Host host;
  sim::host::FilterHandle* topology = nullptr;

  explicit Session(std::unique_ptr<sim::SimDevice> simulated) {
    SetMiniportFactories({CreateMiniportTopology, nullptr});
    device = std::move(simulated);
    port = std::make_unique<platform::usb::HubPort>(device.get());
    if (!NT_SUCCESS(host.LoadDriver(DriverEntry, u"headset")) || !NT_SUCCESS(host.AddDevice(port->Pdo()))) std::abort();
    host.Start();
    if (!NT_SUCCESS(host.OpenFilter(u"GlobalTopo", &topology)) || !topology) {
      std::fprintf(stderr, "the topology filter is not registered\n");
      std::abort();
    }
  }
};

const GUID* const kSets[] = {
    &KSPROPSETID_Audio,      &KSPROPSETID_Jack,         &PROPSETID_DevicePrivate, &PROPSETID_NodeKind,
    &PROPSETID_OutputType,   &PROPSETID_ProcessingNode, &PROPSETID_PinCaps,       &PROPSETID_ParameterBlock,
    &KSEVENTSETID_AudioControlChange,
};
const ULONG kVerbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT, 0,
                        KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET};

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}
  uint8_t Byte() { return m_At < m_Size ? m_Data[m_At++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t Long() { return Word() | static_cast<uint32_t>(Word()) << 16; }
  std::vector<uint8_t> Bytes(size_t count) {
    std::vector<uint8_t> out(count);
    for (size_t i = 0; i < count; ++i) out[i] = Byte();
    return out;
  }

 private:
  const uint8_t* m_Data;
  size_t m_Size;
  size_t m_At = 0;
};

// One property request, read from the fuzzer's bytes, to the session's
// topology filter.
inline int FuzzTopologyProperty(Session* session, const uint8_t* data, size_t size) {
  const PCFILTER_DESCRIPTOR& d = session->topology->Descriptor();
  Reader in(data, size);

  const GUID* set = kSets[in.Byte() % (sizeof kSets / sizeof kSets[0])];
  const ULONG id = in.Byte() % 32;
  const ULONG verb = kVerbs[in.Byte() % (sizeof kVerbs / sizeof kVerbs[0])];
  const uint8_t nodeByte = in.Byte();
  // Mostly real nodes, sometimes the filter, sometimes one past the last.
  const ULONG node = nodeByte == 0xFF ? ULONG(-1) : nodeByte % (d.NodeCount + 2);
  const size_t instanceSize = in.Byte() % 48;
  const uint16_t valueWord = in.Word();
  const ULONG valueSize = valueWord & 0x8000 ? valueWord & 0x7FF : valueWord % 129;
  std::vector<uint8_t> instance = in.Bytes(instanceSize);
  // Counts and ids worth trying in the first words of the instance.
  if (instanceSize >= 8 && (nodeByte & 1)) {
    const uint32_t count = in.Long();
    std::memcpy(instance.data() + 4, &count, sizeof count);
  }

  // Exactly the caller's bytes, so that any access past them is seen.
  std::vector<uint8_t> value = in.Bytes(valueSize);
  ULONG answered = valueSize;
  auto request = [&] {
    return session->topology->Property(*set, id, verb, node, instance.empty() ? nullptr : instance.data(),
                                       static_cast<ULONG>(instance.size()), value.empty() ? nullptr : value.data(),
                                       &answered);
  };
  // A set may wait a bounded time (a switch of the room effect lets the
  // prompt still playing finish), which on the manual clock only passes as
  // time is moved on.
  const NTSTATUS status = (verb & KSPROPERTY_TYPE_SET) ? sim::host::WhileTimePasses(request) : request();
  const bool sizeReport = status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL;
  if (!sizeReport && answered > valueSize) {
    std::fprintf(stderr, "answered %u bytes of a %u-byte buffer (status 0x%08X)\n", static_cast<unsigned>(answered),
                 static_cast<unsigned>(valueSize), static_cast<unsigned>(status));
    std::abort();
  }
  return 0;
}

}  // namespace topologyfuzz
