#include "sim/device/SimDevice.h"

#include <algorithm>
#include <cstring>

#include "kernel/clock.h"
#include "usb/usbaudio.h"

namespace sim {

using platform::usb::ControlOutcome;
using platform::usb::ControlReply;
using platform::usb::ReadLe16;
using platform::usb::ReadLe24;

namespace {

constexpr size_t kRequestLogLimit = 4096;

// HID class requests and report types.
constexpr uint8_t kHidClass = 3;
constexpr uint8_t kHidGetReport = 0x01;
constexpr uint8_t kHidSetReport = 0x09;
constexpr uint8_t kHidInputReport = 1;
constexpr uint8_t kHidOutputReport = 2;

// What a feature-unit control the profile has no range for answers.
constexpr ControlRange kUnknownControlRange{0, 255, 1, 0};

bool IsIn(const USB_DEFAULT_PIPE_SETUP_PACKET& s) { return (s.bmRequestType & 0x80) != 0; }
uint8_t TypeOf(const USB_DEFAULT_PIPE_SETUP_PACKET& s) { return (s.bmRequestType >> 5) & 3; }
uint8_t RecipientOf(const USB_DEFAULT_PIPE_SETUP_PACKET& s) { return s.bmRequestType & 0x1F; }

Bytes Encode(int32_t value, uint8_t size) {
  Bytes b(size);
  for (uint8_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i));
  return b;
}

int32_t Decode(const uint8_t* p, uint8_t size, bool isSigned) {
  uint32_t v = 0;
  for (uint8_t i = 0; i < size && i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  if (isSigned && size < 4) {
    const uint32_t sign = 1u << (8 * size - 1);
    if (v & sign) v |= ~((sign << 1) - 1);
  }
  return static_cast<int32_t>(v);
}

// Value sizes of processing-unit controls other than enable (selector 1).
uint8_t ProcessingControlSize(uint16_t processType, uint8_t cs) {
  switch (processType) {
    case USB_AUDIO_PROCESS_REVERBERATION:
      return cs == 4 ? 2 : 1;
    case USB_AUDIO_PROCESS_CHORUS:
      return cs == 3 || cs == 4 ? 2 : 1;
    case USB_AUDIO_PROCESS_DYN_RANGE_COMP:
      return 2;
    default:
      return 1;
  }
}

// The vendor control block of a feature unit's memory: bytes 16-17 total
// length, byte 18 control size, from 19 bitmaps (master first).
bool VendorBlockHas(const Bytes& block, uint8_t cs, uint8_t channel) {
  if (block.size() < 19 || block[18] != 2) return false;
  const size_t at = 19 + 2 * static_cast<size_t>(channel);
  if (at + 2 > block.size()) return false;
  const uint16_t bitmap = ReadLe16(block.data() + at);
  const uint8_t k = cs & 0x7F;
  return k >= 1 && k <= 16 && ((bitmap >> (k - 1)) & 1);
}

}  // namespace

namespace {

// The configuration's model with the rates the profile adds to discrete
// alternate settings.
ConfigModel WithAlternateRates(ConfigModel model, const DeviceProfile& profile) {
  for (const auto& [setting, rates] : profile.alternateRates)
    for (InterfaceInfo& i : model.interfaces)
      for (AltSetting& a : i.alternates)
        if (i.number == setting.first && a.alternate == setting.second && a.format && !a.format->continuous)
          a.format->rates.insert(a.format->rates.end(), rates.begin(), rates.end());
  return model;
}

}  // namespace

SimDevice::SimDevice(DescriptorSet descriptors, DeviceProfile profile, platform::usb::Speed speed)
    : m_Descriptors(std::move(descriptors)),
      m_Model(WithAlternateRates(
          ParseConfigModel(m_Descriptors.configurations.empty() ? Bytes{} : m_Descriptors.Configuration()), profile)),
      m_Profile(std::move(profile)),
      m_Speed(speed),
      m_PresenceMask(m_Profile.presenceMask),
      m_HidInputReport(m_Profile.hidInputReport) {
  for (const InterfaceInfo& i : m_Model.interfaces)
    for (const AltSetting& a : i.alternates)
      for (const EndpointInfo& e : a.endpoints) {
        if (e.Type() != USB_ENDPOINT_TYPE_ISOCHRONOUS) continue;
        if (e.IsIn()) {
          if (!m_Sources.count(e.address)) m_Sources[e.address] = std::make_unique<IsoSource>();
        } else if (!m_Sinks.count(e.address)) {
          m_Sinks[e.address] = std::make_unique<IsoSink>();
        }
      }
}

SimDevice::~SimDevice() = default;

void SimDevice::Attach(platform::usb::PortEvents* port) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Port = port;
}

void SimDevice::NotifyPort() {
  std::vector<uint8_t> notices;
  bool unplug = false;
  platform::usb::PortEvents* port = nullptr;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    notices.swap(m_PendingInterruptNotices);
    unplug = m_PendingUnplug;
    m_PendingUnplug = false;
    port = m_Port;
  }
  if (!port) return;
  for (uint8_t endpoint : notices) port->InterruptDataReady(endpoint);
  if (unplug) port->Unplug();
}

// ---- Control transfers ------------------------------------------------------------------

ControlReply SimDevice::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data) {
  ControlReply reply;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    RequestRecord record;
    record.setup = setup;
    record.time = platform::clock::Now();
    if (!IsIn(setup) && data) record.data.assign(data, data + setup.wLength);

    const ControlFault* fault = nullptr;
    if (m_FaultHits.size() < m_Faults.control.size()) m_FaultHits.resize(m_Faults.control.size(), 0);
    for (size_t i = 0; i < m_Faults.control.size() && !fault; ++i) {
      const ControlFault& f = m_Faults.control[i];
      if (!f.match.Matches(setup)) continue;
      const uint32_t hit = ++m_FaultHits[i];
      if (hit <= f.skip) continue;
      if (f.times >= 0 && hit - f.skip > static_cast<uint32_t>(f.times)) continue;
      fault = &f;
    }

    Answer answer;
    if (m_Unplugged) {
      answer.outcome = ControlOutcome::Gone;
    } else if (fault && fault->action == FaultAction::Stall) {
      answer.outcome = ControlOutcome::Stall;
    } else if (fault && fault->action == FaultAction::Timeout) {
      answer.outcome = ControlOutcome::NoResponse;
    } else if (fault && fault->action == FaultAction::DeviceGone) {
      answer.outcome = ControlOutcome::Gone;
      m_Unplugged = true;
      m_PendingUnplug = true;
    } else if (fault && fault->action == FaultAction::ReplyWith && IsIn(setup)) {
      answer = Reply(fault->reply, setup, data);
    } else {
      switch (TypeOf(setup)) {
        case BMREQUEST_STANDARD:
          answer = HandleStandard(setup, data);
          break;
        case BMREQUEST_CLASS:
          answer = HandleClass(setup, data);
          break;
        case BMREQUEST_VENDOR:
          answer = HandleVendor(setup, data);
          break;
        default:
          break;
      }
      if (fault && answer.outcome == ControlOutcome::Ack && IsIn(setup)) {
        if (fault->action == FaultAction::ShortReply) {
          answer.length = std::min(answer.length, fault->length);
        } else if (fault->action == FaultAction::ReplyLength) {
          if (fault->length > setup.wLength) {
            answer.outcome = ControlOutcome::Overrun;
            answer.length = setup.wLength;
          } else {
            if (fault->length > answer.length) std::memset(data + answer.length, 0, fault->length - answer.length);
            answer.length = fault->length;
          }
        }
      }
    }
    reply.outcome = answer.outcome;
    reply.length =
        answer.outcome == ControlOutcome::Ack || answer.outcome == ControlOutcome::Overrun ? answer.length : 0;
    record.outcome = reply.outcome;
    record.faulted = fault != nullptr;
    if (IsIn(setup) && data) record.data.assign(data, data + reply.length);
    m_Requests.push_back(std::move(record));
    if (m_Requests.size() > kRequestLogLimit) m_Requests.pop_front();
  }
  NotifyPort();
  return reply;
}

SimDevice::Answer SimDevice::Reply(const Bytes& value, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) {
  if (!IsIn(s)) return {};
  const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(value.size()), s.wLength);
  if (n) std::memcpy(data, value.data(), n);
  return {ControlOutcome::Ack, n};
}

SimDevice::Answer SimDevice::HandleStandard(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) {
  const Answer ack{ControlOutcome::Ack, 0};
  switch (RecipientOf(s)) {
    case BMREQUEST_TO_DEVICE:
      switch (s.bRequest) {
        case USB_REQUEST_GET_STATUS:
          return Reply(Encode((m_Model.attributes & USB_CONFIG_SELF_POWERED) ? USB_GETSTATUS_SELF_POWERED : 0, 2), s,
                       data);
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE:
          return s.wValue == USB_FEATURE_REMOTE_WAKEUP ? ack : Answer{};
        case USB_REQUEST_SET_ADDRESS:
          return ack;
        case USB_REQUEST_GET_DESCRIPTOR:
          return HandleGetDescriptor(s, data);
        case USB_REQUEST_GET_CONFIGURATION:
          return Reply({m_Configuration}, s, data);
        case USB_REQUEST_SET_CONFIGURATION: {
          const uint8_t value = static_cast<uint8_t>(s.wValue);
          if (value != 0 && value != m_Model.configurationValue) return {};
          for (const InterfaceInfo& i : m_Model.interfaces) {
            m_Alternates[i.number] = 0;
            StartStreams(i.number);
          }
          m_Configuration = value;
          if (value == 0) m_Alternates.clear();
          return ack;
        }
        default:
          return {};
      }
    case BMREQUEST_TO_INTERFACE: {
      const uint8_t number = static_cast<uint8_t>(s.wIndex);
      const InterfaceInfo* iface = m_Model.FindInterface(number);
      if (!m_Configuration || !iface) return {};
      switch (s.bRequest) {
        case USB_REQUEST_GET_STATUS:
          return Reply(Encode(0, 2), s, data);
        case USB_REQUEST_GET_INTERFACE:
          return Reply({m_Alternates[number]}, s, data);
        case USB_REQUEST_SET_INTERFACE:
          return SelectAlternate(number, static_cast<uint8_t>(s.wValue)) ? ack : Answer{};
        default:
          return {};
      }
    }
    case BMREQUEST_TO_ENDPOINT: {
      const uint8_t address = static_cast<uint8_t>(s.wIndex);
      if ((address & 0x7F) != 0 && !m_Model.FindEndpoint(address)) return {};
      switch (s.bRequest) {
        case USB_REQUEST_GET_STATUS:
          return Reply(Encode(0, 2), s, data);
        case USB_REQUEST_CLEAR_FEATURE:
        case USB_REQUEST_SET_FEATURE:
          return s.wValue == USB_FEATURE_ENDPOINT_STALL ? ack : Answer{};
        default:
          return {};
      }
    }
    default:
      return {};
  }
}

SimDevice::Answer SimDevice::HandleGetDescriptor(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) {
  const uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
  const uint8_t index = static_cast<uint8_t>(s.wValue);
  switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      return Reply(m_Descriptors.device, s, data);
    case USB_CONFIGURATION_DESCRIPTOR_TYPE: {
      if (index >= m_Descriptors.configurations.size()) return {};
      Bytes config = m_Descriptors.configurations[index];
      if (++m_ConfigurationReads > 1 && m_Faults.configurationLengthOnRereads && config.size() >= 4) {
        config[2] = static_cast<uint8_t>(*m_Faults.configurationLengthOnRereads);
        config[3] = static_cast<uint8_t>(*m_Faults.configurationLengthOnRereads >> 8);
      }
      return Reply(config, s, data);
    }
    case USB_STRING_DESCRIPTOR_TYPE: {
      Bytes d{0, USB_STRING_DESCRIPTOR_TYPE};
      if (index == 0) {
        for (uint16_t id : m_Descriptors.languages) PutLe16(d, id);
      } else {
        auto it = m_Descriptors.strings.find(index);
        if (it == m_Descriptors.strings.end()) return {};
        const size_t chars = std::min<size_t>(it->second.size(), 126);
        for (size_t c = 0; c < chars; ++c) PutLe16(d, static_cast<uint16_t>(it->second[c]));
      }
      d[0] = static_cast<uint8_t>(std::min<size_t>(d.size(), 254));
      d.resize(d[0]);
      return Reply(d, s, data);
    }
    case USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE: {
      if (m_Speed != platform::usb::Speed::High || m_Descriptors.device.size() < 18) return {};
      const Bytes& dev = m_Descriptors.device;
      return Reply({10, USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, dev[2], dev[3], dev[4], dev[5], dev[6], dev[7],
                    static_cast<uint8_t>(m_Descriptors.configurations.size()), 0},
                   s, data);
    }
    default:
      return {};
  }
}

SimDevice::Answer SimDevice::HandleClass(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) {
  switch (RecipientOf(s)) {
    case BMREQUEST_TO_INTERFACE:
      if (!m_Configuration) return {};
      if (IsHidInterface(static_cast<uint8_t>(s.wIndex))) return HandleHid(s, data);
      if (m_Model.controlInterface != (s.wIndex & 0xFF)) return {};
      return HandleUnitRequest(s, data, false);
    case BMREQUEST_TO_ENDPOINT:
      if (!m_Configuration) return {};
      return HandleEndpointRequest(s, data);
    case BMREQUEST_TO_OTHER:
      return HandleOther(s, data);
    default:
      return {};
  }
}

SimDevice::Answer SimDevice::HandleVendor(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) {
  if (!m_Profile.answersVendorRequests) return {};
  switch (RecipientOf(s)) {
    case BMREQUEST_TO_DEVICE: {
      const auto& known = m_Profile.vendorDeviceRequests;
      if (IsIn(s) || std::find(known.begin(), known.end(), s.bRequest) == known.end()) return {};
      m_VendorDeviceValues[s.bRequest] = s.wValue;
      return {ControlOutcome::Ack, s.wLength};
    }
    case BMREQUEST_TO_INTERFACE:
      if (!m_Configuration || m_Model.controlInterface != (s.wIndex & 0xFF)) return {};
      return HandleUnitRequest(s, data, true);
    case BMREQUEST_TO_OTHER:
      return HandleOther(s, data);
    default:
      return {};
  }
}

SimDevice::Answer SimDevice::HandleOther(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) {
  auto it = m_Profile.otherRegisters.find({s.bRequest, s.wValue, s.wIndex});
  if (it == m_Profile.otherRegisters.end()) return {};
  if (IsIn(s)) return Reply({it->second}, s, data);
  return {ControlOutcome::Ack, s.wLength};
}

bool SimDevice::IsHidInterface(uint8_t number) const {
  const InterfaceInfo* iface = m_Model.FindInterface(number);
  if (!iface || (number == m_Model.controlInterface)) return false;
  return std::any_of(iface->alternates.begin(), iface->alternates.end(),
                     [](const AltSetting& a) { return a.interfaceClass == kHidClass; });
}

SimDevice::Answer SimDevice::HandleHid(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) {
  const uint8_t reportType = static_cast<uint8_t>(s.wValue >> 8);
  if (s.bRequest == kHidGetReport && IsIn(s) && reportType == kHidInputReport) {
    if (!m_HidQueuedReports.empty()) {
      m_HidInputReport = std::move(m_HidQueuedReports.front());
      m_HidQueuedReports.pop_front();
    }
    if (m_HidInputReport.empty()) return {};
    ++m_HidInputReads;
    return Reply(m_HidInputReport, s, data);
  }
  if (s.bRequest == kHidSetReport && !IsIn(s) && reportType == kHidOutputReport) {
    m_HidOutputReports.emplace_back(data, data + (data ? s.wLength : 0));
    if (m_HidOutputReports.size() > kRequestLogLimit) m_HidOutputReports.pop_front();
    return {ControlOutcome::Ack, s.wLength};
  }
  return {};
}

SimDevice::Answer SimDevice::HandleUnitRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, bool vendor) {
  const uint8_t unitId = static_cast<uint8_t>(s.wIndex >> 8);
  auto unit = m_Model.units.find(unitId);
  if (unitId == 0 || unit == m_Model.units.end()) return {};

  if (!vendor && s.bRequest == USB_AUDIO_GET_MEM) {
    auto memory = m_Profile.unitMemory.find(unitId);
    if (memory == m_Profile.unitMemory.end() || s.wValue >= memory->second.size()) return {};
    Bytes part(memory->second.begin() + s.wValue, memory->second.end());
    return Reply(part, s, data);
  }

  switch (unit->second.subtype) {
    case USB_AUDIO_AC_FEATURE_UNIT:
      return HandleFeatureUnit(unit->second, s, data);
    case USB_AUDIO_AC_INPUT_TERMINAL:
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
      return vendor ? HandleTerminalVendor(unitId, s, data) : Answer{};
    case USB_AUDIO_AC_SELECTOR_UNIT:
      return vendor ? Answer{} : HandleSelectorUnit(unit->second, s, data);
    case USB_AUDIO_AC_MIXER_UNIT:
      return vendor ? Answer{} : HandleMixerUnit(unit->second, s, data);
    case USB_AUDIO_AC_PROCESSING_UNIT:
    case USB_AUDIO_AC_EXTENSION_UNIT:
      return vendor ? Answer{} : HandleProcessingUnit(unit->second, s, data);
    default:
      return {};
  }
}

SimDevice::Answer SimDevice::ValueRequest(const ControlKey& key, uint8_t size, const ControlRange& range, bool isSigned,
                                          const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) {
  switch (s.bRequest) {
    case USB_AUDIO_GET_CUR: {
      auto it = m_Values.find(key);
      return Reply(it != m_Values.end() ? it->second : Encode(range.start, size), s, data);
    }
    case USB_AUDIO_GET_MIN:
      return Reply(Encode(range.min, size), s, data);
    case USB_AUDIO_GET_MAX:
      return Reply(Encode(range.max, size), s, data);
    case USB_AUDIO_GET_RES:
      return Reply(Encode(range.res, size), s, data);
    case USB_AUDIO_SET_CUR: {
      if (IsIn(s) || s.wLength != size || !data) return {};
      const int32_t value = Decode(data, size, isSigned);
      // Volume's 0x8000 is silence, not a level: always accepted.
      const bool silence = key.cs == USB_AUDIO_FU_VOLUME_CONTROL && size == 2 && value == -0x8000;
      if (!silence && (value < range.min || value > range.max)) return {};
      m_Values[key] = Bytes(data, data + size);
      return {ControlOutcome::Ack, size};
    }
    default:
      return {};
  }
}

SimDevice::Answer SimDevice::EqualizerRequest(const ControlKey& key, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                              UCHAR* data) {
  const uint32_t bands = m_Profile.equalizerBands;
  auto layout = [&](auto level) {
    Bytes b = Encode(static_cast<int32_t>(bands), 4);
    for (uint32_t band = 0; band < 32; ++band)
      if (bands & (1u << band)) b.push_back(static_cast<uint8_t>(level(band)));
    return b;
  };
  const ControlRange& r = m_Profile.equalizerRange;
  switch (s.bRequest) {
    case USB_AUDIO_GET_CUR: {
      auto it = m_Values.find(key);
      return Reply(it != m_Values.end() ? it->second : layout([&](uint32_t) { return r.start; }), s, data);
    }
    case USB_AUDIO_GET_MIN:
      return Reply(layout([&](uint32_t) { return r.min; }), s, data);
    case USB_AUDIO_GET_MAX:
      return Reply(layout([&](uint32_t) { return r.max; }), s, data);
    case USB_AUDIO_GET_RES:
      return Reply(layout([&](uint32_t) { return r.res; }), s, data);
    case USB_AUDIO_SET_CUR: {
      if (IsIn(s) || s.wLength < 4 || !data) return {};
      const uint32_t present = static_cast<uint32_t>(Decode(data, 4, false));
      if ((present & ~bands) != 0) return {};
      uint32_t count = 0;
      for (uint32_t b = present; b; b &= b - 1) ++count;
      if (s.wLength != 4 + count) return {};
      Bytes current = m_Values.count(key) ? m_Values[key] : layout([&](uint32_t) { return r.start; });
      size_t in = 4, at = 4;
      for (uint32_t band = 0; band < 32; ++band) {
        if (!(bands & (1u << band))) continue;
        if (present & (1u << band)) {
          const int32_t level = static_cast<int8_t>(data[in++]);
          if (level < r.min || level > r.max) return {};
          current[at] = static_cast<uint8_t>(level);
        }
        ++at;
      }
      m_Values[key] = current;
      return {ControlOutcome::Ack, s.wLength};
    }
    default:
      return {};
  }
}

SimDevice::Answer SimDevice::HandleFeatureUnit(const UnitInfo& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                               UCHAR* data) {
  const uint8_t cs = static_cast<uint8_t>(s.wValue >> 8);
  const uint8_t channel = static_cast<uint8_t>(s.wValue);
  const bool vendor = TypeOf(s) == BMREQUEST_VENDOR;
  if (vendor) {
    if (!(cs & 0x80)) return {};
    auto memory = m_Profile.unitMemory.find(unit.id);
    if (memory == m_Profile.unitMemory.end() || !VendorBlockHas(memory->second, cs, channel)) return {};
  } else if ((cs & 0x80) || !unit.HasControl(cs, channel)) {
    return {};
  }
  if (cs == USB_AUDIO_FU_GRAPHIC_EQUALIZER_CONTROL && !vendor) return EqualizerRequest({unit.id, cs, channel}, s, data);
  const ControlRange* range = m_Profile.RangeFor(unit.id, cs);
  const ControlRange& fallback = kUnknownControlRange;
  const bool isSigned = cs == USB_AUDIO_FU_VOLUME_CONTROL || cs == USB_AUDIO_FU_BASS_CONTROL ||
                        cs == USB_AUDIO_FU_MID_CONTROL || cs == USB_AUDIO_FU_TREBLE_CONTROL;
  return ValueRequest({unit.id, cs, channel}, FeatureControlSize(cs, m_Profile), range ? *range : fallback, isSigned, s,
                      data);
}

std::vector<std::string> SimDevice::AnswersBeyondDescriptors() const {
  std::vector<std::string> out;
  for (const auto& [id, unit] : m_Model.units) {
    if (unit.subtype != USB_AUDIO_AC_FEATURE_UNIT) continue;
    for (uint8_t cs = 1; cs <= 32; ++cs) {
      bool present = false;
      for (uint8_t channel = 0; channel < unit.bitmaps.size(); ++channel)
        present = present || unit.HasControl(cs, channel);
      if (!present) continue;
      const ControlRange* range =
          cs == USB_AUDIO_FU_GRAPHIC_EQUALIZER_CONTROL ? &m_Profile.equalizerRange : m_Profile.RangeFor(id, cs);
      out.push_back(FeatureUnitLine(id, DescribeFeatureRange(cs, range ? *range : kUnknownControlRange)));
    }
  }
  return out;
}

SimDevice::Answer SimDevice::HandleSelectorUnit(const UnitInfo& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                                UCHAR* data) {
  if (s.wValue != 0 || unit.sources.empty()) return {};
  const ControlRange range{1, static_cast<int32_t>(unit.sources.size()), 1, 1};
  return ValueRequest({unit.id, 0, 0}, 1, range, false, s, data);
}

SimDevice::Answer SimDevice::HandleMixerUnit(const UnitInfo& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                             UCHAR* data) {
  const uint8_t inputChannel = static_cast<uint8_t>(s.wValue >> 8);
  const uint8_t outputChannel = static_cast<uint8_t>(s.wValue);
  if (inputChannel == 0 || outputChannel == 0 || (unit.channels && outputChannel > unit.channels)) return {};
  const ControlRange* range = m_Profile.UnitRange(unit.id, 0);
  const ControlRange fallback{-0x3C00, 0, 0x0100, inputChannel == outputChannel ? 0 : -0x8000};
  return ValueRequest({unit.id, inputChannel, outputChannel}, 2, range ? *range : fallback, true, s, data);
}

SimDevice::Answer SimDevice::HandleProcessingUnit(const UnitInfo& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                                  UCHAR* data) {
  const uint8_t cs = static_cast<uint8_t>(s.wValue >> 8);
  if (cs == 0 || (s.wValue & 0xFF) != 0) return {};
  if (unit.subtype == USB_AUDIO_AC_EXTENSION_UNIT && cs != USB_AUDIO_PU_ENABLE_CONTROL) return {};
  const uint8_t size = cs == USB_AUDIO_PU_ENABLE_CONTROL ? 1 : ProcessingControlSize(unit.processType, cs);
  const ControlRange* range = m_Profile.UnitRange(unit.id, cs);
  const ControlRange fallback = cs == USB_AUDIO_PU_ENABLE_CONTROL ? ControlRange{0, 1, 1, 1}
                                : size == 1                       ? ControlRange{0, 255, 1, 0}
                                                                  : ControlRange{0, 0x7FFF, 1, 0};
  return ValueRequest({unit.id, cs, 0}, size, range ? *range : fallback, false, s, data);
}

SimDevice::Answer SimDevice::HandleEndpointRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) {
  const uint8_t address = static_cast<uint8_t>(s.wIndex);
  const uint8_t cs = static_cast<uint8_t>(s.wValue >> 8);
  bool hasControl = false;
  std::vector<const FormatInfo*> formats;
  for (const InterfaceInfo& i : m_Model.interfaces)
    for (const AltSetting& a : i.alternates)
      for (const EndpointInfo& e : a.endpoints)
        if (e.address == address) {
          const uint8_t bit = cs == USB_AUDIO_EP_SAMPLING_FREQ_CONTROL ? USB_AUDIO_EP_ATTR_SAMPLING_FREQ
                              : cs == USB_AUDIO_EP_PITCH_CONTROL       ? USB_AUDIO_EP_ATTR_PITCH
                                                                       : 0;
          hasControl |= e.hasCsEndpoint && (e.csAttributes & bit);
          if (a.format) formats.push_back(&*a.format);
        }
  if (!hasControl || (s.wValue & 0xFF) != 0) return {};

  if (cs == USB_AUDIO_EP_PITCH_CONTROL) {
    if (s.bRequest == USB_AUDIO_GET_CUR) return Reply({m_Pitch[address]}, s, data);
    if (s.bRequest != USB_AUDIO_SET_CUR || IsIn(s) || s.wLength != 1 || data[0] > 1) return {};
    m_Pitch[address] = data[0];
    return {ControlOutcome::Ack, 1};
  }

  uint32_t lowest = UINT32_MAX, highest = 0;
  for (const FormatInfo* f : formats)
    for (uint32_t r : f->rates) lowest = std::min(lowest, r), highest = std::max(highest, r);
  switch (s.bRequest) {
    case USB_AUDIO_GET_CUR:
      return Reply(Encode(static_cast<int32_t>(SamplingRateLocked(address)), 3), s, data);
    case USB_AUDIO_GET_MIN:
      return formats.empty() ? Answer{} : Reply(Encode(static_cast<int32_t>(lowest), 3), s, data);
    case USB_AUDIO_GET_MAX:
      return formats.empty() ? Answer{} : Reply(Encode(static_cast<int32_t>(highest), 3), s, data);
    case USB_AUDIO_GET_RES:
      return Reply(Encode(1, 3), s, data);
    case USB_AUDIO_SET_CUR: {
      if (IsIn(s) || s.wLength != 3 || !data) return {};
      const uint32_t rate = ReadLe24(data);
      if (std::none_of(formats.begin(), formats.end(), [&](const FormatInfo* f) { return f->Supports(rate); }))
        return {};
      m_Rates[address] = rate;
      if (m_Sinks.count(address)) m_Sinks[address]->SetRate(rate);
      if (m_Sources.count(address)) m_Sources[address]->SetRate(rate);
      return {ControlOutcome::Ack, 3};
    }
    default:
      return {};
  }
}

SimDevice::Answer SimDevice::HandleTerminalVendor(uint8_t terminal, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                                  UCHAR* data) {
  auto profile = m_Profile.terminals.find(terminal);
  if (profile == m_Profile.terminals.end()) return {};
  const TerminalProfile& tp = profile->second;
  const uint16_t current = CurrentOutputTypeLocked(terminal);

  if (s.bRequest == 0x81 && IsIn(s)) {
    if (s.wValue == 0x02FF) {  // jack information
      const std::vector<JackEntry>* jacks = &tp.jacks;
      for (const OutputType& t : tp.outputTypes)
        if (t.terminalType == current) jacks = &t.jacks;
      Bytes reply{static_cast<uint8_t>(jacks->size())};
      for (const JackEntry& j : *jacks) {
        Bytes mask = Encode(static_cast<int32_t>(j.channelMask), 4),
              config = Encode(static_cast<int32_t>(j.configuration), 4);
        reply.insert(reply.end(), mask.begin(), mask.end());
        reply.insert(reply.end(), config.begin(), config.end());
      }
      return Reply(reply, s, data);
    }
    if (s.wValue == 0x0200) {  // live jack presence
      Bytes reply{0};
      Bytes mask = Encode(static_cast<int32_t>(m_PresenceMask), 4);
      reply.insert(reply.end(), mask.begin(), mask.end());
      reply.push_back(0);
      return Reply(reply, s, data);
    }
    if (s.wValue == 0x0800 && !tp.outputTypes.empty()) return Reply(Encode(current, 2), s, data);
    return {};
  }
  if (s.bRequest == 0x81 && !IsIn(s) && s.wValue == 0x0800) {
    if (s.wLength != 2 || !data) return {};
    const uint16_t type = ReadLe16(data);
    if (std::none_of(tp.outputTypes.begin(), tp.outputTypes.end(),
                     [&](const OutputType& t) { return t.terminalType == type; }))
      return {};
    m_OutputTypes[terminal] = type;
    return {ControlOutcome::Ack, 2};
  }
  if (s.bRequest == 0x86 && IsIn(s) && s.wValue == 0x0800 && !tp.outputTypes.empty()) {
    Bytes reply = Encode(static_cast<int32_t>(tp.outputTypes.size()), 2);
    for (const OutputType& t : tp.outputTypes) {
      PutLe16(reply, t.terminalType);
      reply.insert(reply.end(), 4, 0);
    }
    return Reply(reply, s, data);
  }
  return {};
}

// ---- Alternate settings and streams ----------------------------------------------------

bool SimDevice::SelectAlternate(uint8_t interfaceNumber, uint8_t alternate) {
  const InterfaceInfo* iface = m_Model.FindInterface(interfaceNumber);
  if (!iface || !iface->Find(alternate)) return false;
  m_Alternates[interfaceNumber] = alternate;
  StartStreams(interfaceNumber);
  return true;
}

EndpointTiming SimDevice::TimingOf(const EndpointInfo& e) const {
  EndpointTiming t;
  const uint16_t base = e.maxPacketSize & 0x7FF;
  if (m_Speed == platform::usb::Speed::High) {
    t.maxPacketSize = static_cast<uint16_t>(base * (1 + ((e.maxPacketSize >> 11) & 3)));
    const uint8_t exponent = static_cast<uint8_t>(std::clamp<int>(e.interval, 1, 16) - 1);
    t.intervalsPerPacket = 1u << exponent;
    t.intervalsPerSecond = 8000;
  } else {
    t.maxPacketSize = base;
    t.intervalsPerPacket = 1;
    t.intervalsPerSecond = 1000;
  }
  return t;
}

StreamFormat SimDevice::StreamFormatOf(uint8_t interfaceNumber, uint8_t endpointAddress) const {
  StreamFormat f;
  const InterfaceInfo* iface = m_Model.FindInterface(interfaceNumber);
  auto alt = m_Alternates.find(interfaceNumber);
  const AltSetting* a = iface && alt != m_Alternates.end() ? iface->Find(alt->second) : nullptr;
  if (!a || !a->format) return f;
  f.channels = a->format->channels;
  f.subframeSize = a->format->subframeSize;
  f.bitResolution = a->format->bitResolution;
  auto rate = m_Rates.find(endpointAddress);
  f.rate = rate != m_Rates.end() && a->format->Supports(rate->second) ? rate->second : a->format->DefaultRate();
  return f;
}

void SimDevice::StartStreams(uint8_t interfaceNumber) {
  const InterfaceInfo* iface = m_Model.FindInterface(interfaceNumber);
  if (!iface) return;
  for (const AltSetting& a : iface->alternates)
    for (const EndpointInfo& e : a.endpoints) {
      if (m_Sinks.count(e.address)) m_Sinks[e.address]->Stop();
      if (m_Sources.count(e.address)) m_Sources[e.address]->Stop();
    }
  auto alt = m_Alternates.find(interfaceNumber);
  const AltSetting* a = alt != m_Alternates.end() ? iface->Find(alt->second) : nullptr;
  if (!a) return;
  for (const EndpointInfo& e : a->endpoints) {
    if (e.Type() != USB_ENDPOINT_TYPE_ISOCHRONOUS || (e.attributes & USB_ENDPOINT_USAGE_MASK) != 0) continue;
    const StreamFormat format = StreamFormatOf(interfaceNumber, e.address);
    if (e.IsIn() && m_Sources.count(e.address)) m_Sources[e.address]->Start(format, TimingOf(e));
    if (!e.IsIn() && m_Sinks.count(e.address)) m_Sinks[e.address]->Start(format, TimingOf(e));
  }
}

const EndpointInfo* SimDevice::ActiveEndpoint(uint8_t address) const {
  if (!m_Configuration) return nullptr;
  for (const auto& [number, alternate] : m_Alternates) {
    const InterfaceInfo* iface = m_Model.FindInterface(number);
    const AltSetting* a = iface ? iface->Find(alternate) : nullptr;
    if (!a) continue;
    for (const EndpointInfo& e : a->endpoints)
      if (e.address == address) return &e;
  }
  return nullptr;
}

USBD_STATUS SimDevice::IsoPacket(UCHAR endpointAddress, const std::function<USBD_STATUS()>& move, ULONG* inLength) {
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Unplugged || !ActiveEndpoint(endpointAddress)) return USBD_STATUS_DEV_NOT_RESPONDING;
    const uint64_t packet = m_IsoPacketsPerEndpoint[endpointAddress]++;
    ++m_IsoPackets;
    bool empty = false;
    std::optional<ULONG> cutTo;
    for (const IsoFault& f : m_Faults.iso) {
      if (f.endpoint != endpointAddress || !f.Hits(packet)) continue;
      if (f.empty)
        empty = true;
      else if (f.cutTo)
        cutTo = f.cutTo;
      else
        status = f.status;
    }
    if (USBD_SUCCESS(status) && !empty) status = move();
    if (inLength && cutTo && *inLength > *cutTo) *inLength = *cutTo;
    if (m_Faults.unplugAfterIsoPackets && m_IsoPackets >= *m_Faults.unplugAfterIsoPackets) {
      m_Unplugged = true;
      m_PendingUnplug = true;
    }
  }
  NotifyPort();
  return status;
}

USBD_STATUS SimDevice::IsoOut(UCHAR endpointAddress, ULONGLONG interval, const UCHAR* data, ULONG length) {
  return IsoPacket(endpointAddress, [&] {
    if (m_Sinks.count(endpointAddress)) m_Sinks[endpointAddress]->OnPacket(interval, data, length);
    OnIsoOutLocked(endpointAddress, interval, data, length);
    return USBD_STATUS_SUCCESS;
  });
}

USBD_STATUS SimDevice::IsoIn(UCHAR endpointAddress, ULONGLONG interval, UCHAR* data, ULONG maxLength, ULONG* length) {
  *length = 0;
  return IsoPacket(
      endpointAddress,
      [&] {
        // A derived device answers its own endpoints before any source does.
        if (FillIsoInLocked(endpointAddress, interval, data, maxLength, length)) return USBD_STATUS_SUCCESS;
        if (!m_Sources.count(endpointAddress)) return USBD_STATUS_SUCCESS;
        bool overrun = false;
        *length = m_Sources[endpointAddress]->Fill(interval, data, maxLength, &overrun);
        return overrun ? USBD_STATUS_DATA_OVERRUN : USBD_STATUS_SUCCESS;
      },
      length);
}

bool SimDevice::InterruptIn(UCHAR endpointAddress, UCHAR* data, ULONG maxLength, ULONG* length, USBD_STATUS* status) {
  std::lock_guard<std::mutex> guard(m_Lock);
  *length = 0;
  *status = USBD_STATUS_SUCCESS;
  if (m_Unplugged || !ActiveEndpoint(endpointAddress)) return false;
  if (m_Faults.interruptError) {
    *status = *m_Faults.interruptError;
    m_Faults.interruptError.reset();
    return true;
  }
  auto& queue = m_Interrupts[endpointAddress];
  if (queue.empty()) return false;
  const Bytes word = std::move(queue.front());
  queue.pop_front();
  const ULONG n = std::min<ULONG>(static_cast<ULONG>(word.size()), maxLength);
  // A message of no bytes has no data to copy from.
  if (n) std::memcpy(data, word.data(), n);
  *length = n;
  if (word.size() > maxLength) *status = USBD_STATUS_DATA_OVERRUN;
  return true;
}

void SimDevice::BusReset() {
  std::lock_guard<std::mutex> guard(m_Lock);
  for (auto& [address, sink] : m_Sinks) sink->Stop();
  for (auto& [address, source] : m_Sources) source->Stop();
  m_Configuration = 0;
  m_Alternates.clear();
  m_Values.clear();
  m_Rates.clear();
  m_Pitch.clear();
  m_OutputTypes.clear();
  m_Interrupts.clear();
  m_PresenceMask = m_Profile.presenceMask;
  m_HidInputReport = m_Profile.hidInputReport;
  m_HidQueuedReports.clear();
  m_Unplugged = false;
  m_Suspended = false;
  m_ConfigurationReads = 0;
  ++m_BusResets;
  OnBusResetLocked();
}

void SimDevice::SetSuspended(bool suspended) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Suspended = suspended;
}

// ---- Scripting and inspection ---------------------------------------------------------

void SimDevice::AddFault(const ControlFault& fault) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Faults.control.push_back(fault);
}

void SimDevice::AddIsoFault(const IsoFault& fault) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Faults.iso.push_back(fault);
}

void SimDevice::UnplugAfterIsoPackets(uint64_t packets) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Faults.unplugAfterIsoPackets = m_IsoPackets + packets;
}

void SimDevice::ChangeConfigurationLengthOnRereads(uint16_t totalLength) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Faults.configurationLengthOnRereads = totalLength;
}

void SimDevice::FailInterruptPolls(USBD_STATUS status) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Faults.interruptError = status;
}

void SimDevice::ClearFaults() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Faults.Clear();
  m_FaultHits.clear();
}

uint8_t SimDevice::Configuration() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Configuration;
}

uint8_t SimDevice::AlternateSetting(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  auto it = m_Alternates.find(interfaceNumber);
  return it == m_Alternates.end() ? 0 : it->second;
}

Bytes SimDevice::ControlValue(uint8_t unit, uint8_t cs, uint8_t channel) {
  std::lock_guard<std::mutex> guard(m_Lock);
  // Exactly what a GET_CUR would answer.
  const bool vendor = (cs & 0x80) != 0;
  USB_DEFAULT_PIPE_SETUP_PACKET get{static_cast<UCHAR>(vendor ? 0xC1 : 0xA1), USB_AUDIO_GET_CUR,
                                    static_cast<USHORT>(cs << 8 | channel),
                                    static_cast<USHORT>(unit << 8 | (m_Model.controlInterface & 0xFF)), 64};
  Bytes value(64);
  Answer answer = HandleUnitRequest(get, value.data(), vendor);
  value.resize(answer.outcome == ControlOutcome::Ack ? answer.length : 0);
  return value;
}

bool SimDevice::SetControlValue(uint8_t unit, uint8_t cs, uint8_t channel, const Bytes& value, bool notify) {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Model.units.count(unit)) return false;
    m_Values[{unit, cs, channel}] = value;
    if (notify) QueueStatusWordLocked(USB_AUDIO_STATUS_INTERRUPT_PENDING, unit, 0);
  }
  NotifyPort();
  return true;
}

uint32_t SimDevice::SamplingRate(uint8_t endpointAddress) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return SamplingRateLocked(endpointAddress);
}

uint32_t SimDevice::SamplingRateLocked(uint8_t endpointAddress) const {
  auto rate = m_Rates.find(endpointAddress);
  if (rate != m_Rates.end()) return rate->second;
  for (const InterfaceInfo& i : m_Model.interfaces)
    for (const AltSetting& a : i.alternates)
      for (const EndpointInfo& e : a.endpoints)
        if (e.address == endpointAddress && a.format) return a.format->DefaultRate();
  return 0;
}

uint32_t SimDevice::PresenceMask() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_PresenceMask;
}

void SimDevice::SetPresenceMask(uint32_t mask, uint8_t terminal) {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_PresenceMask = mask;
    if (terminal) QueueStatusWordLocked(USB_AUDIO_STATUS_INTERRUPT_PENDING, terminal, 0);
  }
  NotifyPort();
}

uint16_t SimDevice::CurrentOutputType(uint8_t terminal) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return CurrentOutputTypeLocked(terminal);
}

uint16_t SimDevice::CurrentOutputTypeLocked(uint8_t terminal) const {
  auto it = m_OutputTypes.find(terminal);
  if (it != m_OutputTypes.end()) return it->second;
  auto profile = m_Profile.terminals.find(terminal);
  if (profile == m_Profile.terminals.end() || profile->second.outputTypes.empty()) return 0;
  return profile->second.currentType ? profile->second.currentType : profile->second.outputTypes.front().terminalType;
}

void SimDevice::SetCurrentOutputType(uint8_t terminal, uint16_t type, bool notify) {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_OutputTypes[terminal] = type;
    if (notify) QueueStatusWordLocked(USB_AUDIO_STATUS_INTERRUPT_PENDING, terminal, 0);
  }
  NotifyPort();
}

std::optional<uint16_t> SimDevice::VendorDeviceValue(uint8_t request) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  auto it = m_VendorDeviceValues.find(request);
  if (it == m_VendorDeviceValues.end()) return std::nullopt;
  return it->second;
}

bool SimDevice::Suspended() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Suspended;
}

uint32_t SimDevice::BusResets() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_BusResets;
}

uint8_t SimDevice::StatusEndpoint() const {
  if (m_Model.controlInterface < 0) return 0;
  const InterfaceInfo* iface = m_Model.FindInterface(static_cast<uint8_t>(m_Model.controlInterface));
  if (!iface) return 0;
  for (const AltSetting& a : iface->alternates)
    for (const EndpointInfo& e : a.endpoints)
      if (e.IsIn() && e.Type() == USB_ENDPOINT_TYPE_INTERRUPT) return e.address;
  return 0;
}

void SimDevice::QueueStatusWordLocked(uint8_t statusType, uint8_t originator, uint8_t endpoint) {
  if (endpoint == 0) endpoint = StatusEndpoint();
  if (endpoint == 0) return;
  QueueInterruptLocked(endpoint, {statusType, originator});
}

void SimDevice::QueueInterruptLocked(uint8_t endpoint, Bytes message) {
  m_Interrupts[endpoint].push_back(std::move(message));
  m_PendingInterruptNotices.push_back(endpoint);
}

void SimDevice::QueueStatusWord(uint8_t statusType, uint8_t originator, uint8_t endpoint) {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    QueueStatusWordLocked(statusType, originator, endpoint);
  }
  NotifyPort();
}

size_t SimDevice::PendingStatusWords(uint8_t endpoint) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  if (endpoint == 0) endpoint = StatusEndpoint();
  auto it = m_Interrupts.find(endpoint);
  return it == m_Interrupts.end() ? 0 : it->second.size();
}

void SimDevice::SetHidInputReport(const Bytes& report) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_HidInputReport = report;
  m_HidQueuedReports.clear();
}

void SimDevice::QueueHidInputReports(const std::vector<Bytes>& reports) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_HidQueuedReports.insert(m_HidQueuedReports.end(), reports.begin(), reports.end());
}

size_t SimDevice::PendingHidInputReports() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_HidQueuedReports.size();
}

uint64_t SimDevice::HidInputReportReads() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_HidInputReads;
}

std::vector<Bytes> SimDevice::HidOutputReports() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return {m_HidOutputReports.begin(), m_HidOutputReports.end()};
}

IsoSink& SimDevice::Sink(uint8_t endpointAddress) {
  std::lock_guard<std::mutex> guard(m_Lock);
  auto& sink = m_Sinks[endpointAddress];
  if (!sink) sink = std::make_unique<IsoSink>();
  return *sink;
}

IsoSource& SimDevice::Source(uint8_t endpointAddress) {
  std::lock_guard<std::mutex> guard(m_Lock);
  auto& source = m_Sources[endpointAddress];
  if (!source) source = std::make_unique<IsoSource>();
  return *source;
}

void SimDevice::LoopBack(uint8_t outEndpoint, uint8_t inEndpoint) {
  auto loopback = std::make_shared<IsoLoopback>();
  Sink(outEndpoint).SetLoopback(loopback);
  Source(inEndpoint).SetLoopback(loopback);
}

uint64_t SimDevice::IsoPackets() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_IsoPackets;
}

std::vector<RequestRecord> SimDevice::Requests() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return {m_Requests.begin(), m_Requests.end()};
}

void SimDevice::ClearRequests() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Requests.clear();
}

}  // namespace sim
