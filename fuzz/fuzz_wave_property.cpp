// What an application may ask of a wave filter and its streaming pin, on
// every wave filter of every embedded device (the first byte picks the
// device, the second its filter): any property of the filter or its nodes
// (volume on the wave pin's path among them), any data range for the
// intersection, any format for a new pin, and then any walk through the
// pin's states with positions read, the format changed and the buffer
// written. Each is answered or refused within the caller's buffers, and the
// pin always closes.
#include "fuzz/DriverFuzz.h"
#include "ks/ksmedia.h"
#include "topology/PrivatePropertySets.h"

namespace {

using driverfuzz::Require;

// The wave filters of a started device, opened once for the process.
const std::vector<sim::host::FilterHandle*>& WaveFiltersOf(driverfuzz::Session* session) {
  static auto& opened = *new std::vector<std::pair<driverfuzz::Session*, std::vector<sim::host::FilterHandle*>>>();
  for (const auto& [s, filters] : opened)
    if (s == session) return filters;
  std::vector<sim::host::FilterHandle*> filters;
  for (const std::u16string& name : session->WaveFilters()) {
    filters.push_back(session->Open(name));
    Require(filters.back() != nullptr, "a registered wave filter does not open");
  }
  Require(!filters.empty(), "the device has no wave filter");
  opened.emplace_back(session, std::move(filters));
  return opened.back().second;
}

const GUID* const kSets[] = {&KSPROPSETID_Audio, &KSPROPSETID_Pin,  &KSPROPSETID_Connection,
                             &KSPROPSETID_Topology, &KSPROPSETID_Jack, &PROPSETID_DevicePrivate};
const ULONG kVerbs[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT};

// A property request read from the input, to the filter or one of its nodes.
NTSTATUS Property(driverfuzz::Reader& in, sim::host::FilterHandle* filter) {
  const PCFILTER_DESCRIPTOR& d = filter->Descriptor();
  const GUID* set = kSets[in.Byte() % (sizeof kSets / sizeof kSets[0])];
  const ULONG id = in.Byte() % 32;
  const ULONG verb = kVerbs[in.Byte() % (sizeof kVerbs / sizeof kVerbs[0])];
  const uint8_t nodeByte = in.Byte();
  const ULONG node = nodeByte == 0xFF ? ULONG(-1) : nodeByte % (d.NodeCount + 2);
  std::vector<uint8_t> instance = in.Bytes(in.Byte() % 24);
  const ULONG valueSize = in.Byte() % 80;
  std::vector<uint8_t> value = in.Bytes(valueSize);
  ULONG answered = valueSize;
  const NTSTATUS status =
      filter->Filter()->Property(*set, id, verb, node, instance.empty() ? nullptr : instance.data(),
                                 static_cast<ULONG>(instance.size()), value.empty() ? nullptr : value.data(), &answered);
  Require(status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL || answered <= valueSize,
          "a property answered more bytes than its buffer holds");
  return status;
}

// A data range as a client sends it: an audio range with the input's
// channels, sizes and rates, or raw bytes of any size.
std::vector<uint8_t> Range(driverfuzz::Reader& in) {
  const uint8_t kind = in.Byte();
  if (kind & 1) {
    std::vector<uint8_t> raw = in.Bytes(in.Byte() % 96);
    if (raw.size() >= sizeof(ULONG)) {
      const ULONG size = static_cast<ULONG>(raw.size());
      std::memcpy(raw.data(), &size, sizeof size);
    }
    return raw;
  }
  KSDATARANGE_AUDIO range{};
  range.DataRange.FormatSize = sizeof range;
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  range.DataRange.SubFormat = kind & 2 ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
  range.DataRange.Specifier = kind & 4 ? KSDATAFORMAT_SPECIFIER_WAVEFORMATEX : GUID_NULL;
  range.MaximumChannels = in.Byte() % 12;
  range.MinimumBitsPerSample = in.Byte() % 40;
  range.MaximumBitsPerSample = in.Byte() % 40;
  range.MinimumSampleFrequency = in.Long() % 400000;
  range.MaximumSampleFrequency = in.Long() % 400000;
  const auto* p = reinterpret_cast<const uint8_t*>(&range);
  return std::vector<uint8_t>(p, p + sizeof range);
}

// A format for a new pin: the one the intersection chose, as an
// application takes it, or the wave format's fields from the input, or raw
// bytes of any size behind a KSDATAFORMAT that claims the size it has.
std::vector<uint8_t> Format(driverfuzz::Reader& in, const std::vector<uint8_t>& intersected = {}) {
  const uint8_t kind = in.Byte();
  if ((kind & 1) && !intersected.empty()) return intersected;
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
  f.DataFormat.FormatSize = sizeof f;
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = kind & 2 ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEXTENSIBLE& w = f.WaveFormatExt;
  w.Format.wFormatTag = kind & 4 ? WAVE_FORMAT_EXTENSIBLE : (kind & 2 ? 3 : 1);
  w.Format.nChannels = in.Byte() % 12;
  w.Format.nSamplesPerSec = kind & 8 ? in.Long() : 8000u * (in.Byte() % 25);
  w.Format.wBitsPerSample = static_cast<WORD>(8 * (in.Byte() % 6));
  w.Format.nBlockAlign = kind & 16 ? in.Word() : static_cast<WORD>(w.Format.nChannels * w.Format.wBitsPerSample / 8);
  w.Format.nAvgBytesPerSec = kind & 32 ? in.Long() : w.Format.nSamplesPerSec * w.Format.nBlockAlign;
  w.Format.cbSize = kind & 64 ? in.Word() : 22;
  w.Samples.wValidBitsPerSample = w.Format.wBitsPerSample;
  w.dwChannelMask = in.Long();
  w.SubFormat = f.DataFormat.SubFormat;
  const auto* p = reinterpret_cast<const uint8_t*>(&f);
  std::vector<uint8_t> bytes(p, p + sizeof f);
  if (kind & 128) {
    // Cut short, or longer than the format: the size field says which.
    bytes.resize(sizeof(KSDATAFORMAT) + in.Byte() % (sizeof(WAVEFORMATEXTENSIBLE) + 16));
    const ULONG size = static_cast<ULONG>(bytes.size());
    std::memcpy(bytes.data(), &size, sizeof size);
  }
  return bytes;
}

void UsePin(driverfuzz::Reader& in, platform::portcls::Pin* pin) {
  for (int step = 0; step < 12; ++step) {
    const uint8_t op = in.Byte();
    switch (op % 6) {
      case 0: {
        const auto state = static_cast<KSSTATE>(in.Byte() % 5);  // 4 is no state
        if (NT_SUCCESS(sim::host::WhileTimePasses([&] { return pin->SetState(state); })) && state == KSSTATE_RUN)
          fuzz::Reached("a pin ran");
        break;
      }
      case 1: {
        ULONG position = 0;
        if (NT_SUCCESS(pin->GetPosition(&position)) && pin->BufferSize())
          Require(position < pin->BufferSize(), "a position past the buffer");
        break;
      }
      case 2: {
        const std::vector<uint8_t> format = Format(in);
        pin->SetFormat(reinterpret_cast<const KSDATAFORMAT*>(format.data()));
        break;
      }
      case 3: {
        const std::vector<uint8_t> bytes = in.Bytes(in.Byte());
        pin->Write(in.Word(), bytes.data(), static_cast<ULONG>(bytes.size()));
        break;
      }
      case 4:
        driverfuzz::Session::Pass(in.Byte() % 32);
        break;
      default: {
        std::vector<uint8_t> bytes(in.Byte());
        pin->Read(in.Word(), bytes.data(), static_cast<ULONG>(bytes.size()));
        break;
      }
    }
  }
  // Closing stops a running pin, which waits for its transfers.
  sim::host::WhileTimePasses([&] {
    platform::portcls::Pin::Close(pin);
    return STATUS_SUCCESS;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  driverfuzz::Reader in(data, size);
  driverfuzz::Session* session = driverfuzz::StartedSession(in.Byte());
  Require(session != nullptr, "an embedded device did not start");
  const std::vector<sim::host::FilterHandle*>& filters = WaveFiltersOf(session);
  sim::host::FilterHandle* filter = filters[in.Byte() % filters.size()];
  const ULONG pinCount = filter->Descriptor().PinCount;
  for (int request = in.Byte() % 4; request > 0; --request)
    if (NT_SUCCESS(Property(in, filter))) fuzz::Reached("a property answered");

  const ULONG pinId = in.Byte() % (pinCount + 1);
  const std::vector<uint8_t> range = Range(in);
  std::vector<uint8_t> result(in.Byte() % 128);
  ULONG resultSize = static_cast<ULONG>(result.size());
  if (range.size() >= sizeof(KSDATARANGE)) {
    const NTSTATUS status = filter->Filter()->DataIntersection(
        pinId, reinterpret_cast<const KSDATARANGE*>(range.data()), static_cast<ULONG>(range.size()),
        result.empty() ? nullptr : result.data(), &resultSize);
    Require(status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL || resultSize <= result.size(),
            "an intersection wrote more than its buffer holds");
    if (NT_SUCCESS(status) && resultSize >= sizeof(KSDATAFORMAT)) result.resize(resultSize);
    else result.clear();
  } else {
    result.clear();
  }

  const std::vector<uint8_t> format = Format(in, result);
  platform::portcls::Pin* pin = nullptr;
  if (NT_SUCCESS(filter->Filter()->CreatePin(pinId, reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin)) && pin) {
    fuzz::Reached("a pin created");
    UsePin(in, pin);
  }
  return 0;
}

FUZZ_REACHES("the device started", "a property answered", "a pin created", "a pin ran")
