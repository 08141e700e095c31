// What the topology filter's property fuzz targets share: one request built
// from the fuzzer's bytes, sent to the topology filter of a started device,
// whose answer must stay within the caller's buffers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/DriverFuzz.h"
#include "topology/PrivatePropertySets.h"

namespace topologyfuzz {

const GUID* const kSets[] = {
    &KSPROPSETID_Audio,      &KSPROPSETID_Jack,         &PROPSETID_DevicePrivate, &PROPSETID_NodeKind,
    &PROPSETID_OutputType,   &PROPSETID_ProcessingNode, &PROPSETID_PinCaps,       &PROPSETID_ParameterBlock,
    &KSEVENTSETID_AudioControlChange,
};
const ULONG kVerbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT, 0,
                        KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET};

using fuzz::Reader;

// The topology filter of a started session, opened once for the process.
inline sim::host::FilterHandle* TopologyOf(driverfuzz::Session* session) {
  static auto& opened = *new std::vector<std::pair<driverfuzz::Session*, sim::host::FilterHandle*>>();
  sim::host::FilterHandle* filter = nullptr;
  for (const auto& [s, f] : opened)
    if (s == session) filter = f;
  if (!filter) {
    filter = session->Open(u"GlobalTopo");
    driverfuzz::Require(filter != nullptr, "the topology filter is not registered");
    opened.emplace_back(session, filter);
  }
  fuzz::Reached("the topology filter opened");
  return filter;
}

// One property request, read from the fuzzer's bytes, to `topology`. The
// set it went to, when the driver answered it with success (null else).
inline const GUID* FuzzTopologyProperty(sim::host::FilterHandle* topology, Reader& in) {
  const PCFILTER_DESCRIPTOR& d = topology->Descriptor();
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
    return topology->Property(*set, id, verb, node, instance.empty() ? nullptr : instance.data(),
                              static_cast<ULONG>(instance.size()), value.empty() ? nullptr : value.data(), &answered);
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
  return NT_SUCCESS(status) ? set : nullptr;
}

}  // namespace topologyfuzz
