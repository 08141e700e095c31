#include "sim/device/Uac2Device.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "usb/usbaudio2.h"

namespace sim {

using platform::usb::ControlOutcome;
using platform::usb::ReadLe16;
using platform::usb::ReadLe32;

namespace {

bool IsIn(const USB_DEFAULT_PIPE_SETUP_PACKET& s) { return (s.bmRequestType & 0x80) != 0; }

Bytes Le(uint32_t value, size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
  return b;
}

int32_t SignedLe(const uint8_t* p, size_t size) {
  uint32_t v = 0;
  for (size_t i = 0; i < size; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  if (size < 4 && (v & (1u << (8 * size - 1)))) v |= ~((1u << (8 * size)) - 1);
  return static_cast<int32_t>(v);
}

bool IsToneControl(uint8_t cs) {
  return cs == USB_AUDIO_FU_BASS_CONTROL || cs == USB_AUDIO_FU_MID_CONTROL || cs == USB_AUDIO_FU_TREBLE_CONTROL;
}

// A clock offers at most 30 discrete rates; a profile's longer list is cut.
constexpr size_t kMaxClockRates = 30;

bool IsFixedClock(const Uac2Entity& clock) {
  return !(ControlPair(clock.controls, USB_AUDIO2_CS_SAM_FREQ_CONTROL) & 2u);
}

DeviceProfile WithClockRatesCapped(DeviceProfile profile) {
  for (auto& [clock, rates] : profile.clockRates)
    if (rates.size() > kMaxClockRates) rates.resize(kMaxClockRates);
  return profile;
}

}  // namespace

size_t Uac2Device::ControlValueSize(uint8_t cs, const DeviceProfile& profile) {
  if (IsToneControl(cs)) return 1;
  switch (cs) {
    case USB_AUDIO_FU_VOLUME_CONTROL:
    case 0x0B:  // input gain
    case USB_AUDIO2_FU_INPUT_GAIN_PAD_CONTROL:
    case 0x82:  // the vendor block's software volume
      return 2;
    case USB_AUDIO_FU_DELAY_CONTROL:
      return 4;
    default:
      break;
  }
  auto vendor = profile.vendorControlSizes.find(cs);
  return vendor == profile.vendorControlSizes.end() ? 1 : vendor->second;
}

Uac2Device::Uac2Device(DescriptorSet descriptors, DeviceProfile profile, platform::usb::Speed speed)
    : SimDevice(std::move(descriptors), WithClockRatesCapped(std::move(profile)), speed),
      m_Entities(ParseUac2Model(m_Descriptors.configurations.empty() ? Bytes{} : m_Descriptors.Configuration())) {
  if (m_Entities.controlInterface >= 0)
    if (const InterfaceInfo* control = m_Model.FindInterface(static_cast<uint8_t>(m_Entities.controlInterface)))
      for (const AltSetting& a : control->alternates)
        for (const EndpointInfo& e : a.endpoints) {
          if (!e.IsIn()) continue;
          if (e.Type() == USB_ENDPOINT_TYPE_INTERRUPT && !m_StatusEndpoint) m_StatusEndpoint = e.address;
          if (e.Type() == USB_ENDPOINT_TYPE_BULK && !m_BulkEndpoint) m_BulkEndpoint = e.address;
        }
  OnBusResetLocked();
}

// ---- Clock ----------------------------------------------------------------------------------------

const std::vector<uint32_t>& Uac2Device::RatesOf(uint8_t clock) const {
  auto it = m_Profile.clockRates.find(clock);
  return it == m_Profile.clockRates.end() ? kDefaultClockRates : it->second;
}

uint32_t Uac2Device::ClockRateLocked(uint8_t clock) const {
  auto it = m_ClockRates.find(clock);
  return it == m_ClockRates.end() ? 0 : it->second;
}

uint32_t Uac2Device::ClockRate(uint8_t clock) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return ClockRateLocked(clock);
}

void Uac2Device::SetClockDrift(double offsetPpm, double ppmPerSecond) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_OffsetPpm = offsetPpm;
  m_PpmPerSecond = ppmPerSecond;
  m_ClockStarted = false;
}

double Uac2Device::IntervalsPerSecond() const { return m_Speed == platform::usb::Speed::High ? 8000.0 : 1000.0; }

double Uac2Device::SecondsAt(uint64_t interval) const {
  if (!m_ClockStarted || interval < m_ClockOrigin) return 0;
  return static_cast<double>(interval - m_ClockOrigin) / IntervalsPerSecond();
}

double Uac2Device::PpmAt(uint64_t interval) const { return m_OffsetPpm + m_PpmPerSecond * SecondsAt(interval); }

double Uac2Device::ClockPpm() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return PpmAt(m_LastInterval);
}

double Uac2Device::ActualRate(uint8_t clock) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return ClockRateLocked(clock) * (1.0 + PpmAt(m_LastInterval) * 1e-6);
}

void Uac2Device::SetClockValid(uint8_t clock, bool valid, bool notify) {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_ClockValid[clock] = valid;
    if (notify) QueueStatusMessageLocked(clock, USB_AUDIO2_CS_CLOCK_VALID_CONTROL, 0);
  }
  NotifyPort();
}

void Uac2Device::OverrideFeedback(std::optional<uint32_t> wireValue) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_FeedbackOverride = wireValue;
}

uint32_t Uac2Device::FeedbackValue(uint8_t clock, uint64_t interval) const {
  if (m_FeedbackOverride) return *m_FeedbackOverride;
  const double rate = ClockRateLocked(clock) * (1.0 + PpmAt(interval) * 1e-6);
  // Samples per frame in 10.14, or per microframe in 16.16.
  return m_Speed == platform::usb::Speed::High ? static_cast<uint32_t>(std::floor(rate * 65536.0 / 8000.0))
                                               : static_cast<uint32_t>(std::floor(rate * 16384.0 / 1000.0));
}

uint8_t Uac2Device::StreamClock(uint8_t interfaceNumber) const {
  const InterfaceInfo* iface = m_Model.FindInterface(interfaceNumber);
  if (!iface) return 0;
  for (const AltSetting& a : iface->alternates)
    if (const Uac2Entity* terminal = m_Entities.Find(a.terminalLink); terminal && a.terminalLink)
      return terminal->clock;
  return 0;
}

uint8_t Uac2Device::FeedbackEndpoint(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  const InterfaceInfo* iface = m_Model.FindInterface(interfaceNumber);
  auto alt = m_Alternates.find(interfaceNumber);
  const AltSetting* a = iface && alt != m_Alternates.end() ? iface->Find(alt->second) : nullptr;
  if (a)
    for (const EndpointInfo& e : a->endpoints)
      if (e.IsIn() && (e.attributes & USB_ENDPOINT_USAGE_MASK) == USB_ENDPOINT_USAGE_FEEDBACK) return e.address;
  return 0;
}

// ---- Changes on the device ---------------------------------------------------------------------

void Uac2Device::QueueStatusMessageLocked(uint8_t entity, uint8_t cs, uint8_t channel) {
  if (!m_StatusEndpoint) return;
  const uint8_t iface = static_cast<uint8_t>(m_Entities.controlInterface < 0 ? 0 : m_Entities.controlInterface);
  QueueInterruptLocked(m_StatusEndpoint, {0, USB_AUDIO2_CUR, channel, cs, iface, entity});
}

void Uac2Device::QueueStatusMessage(uint8_t entity, uint8_t cs, uint8_t channel) {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    QueueStatusMessageLocked(entity, cs, channel);
  }
  NotifyPort();
}

void Uac2Device::QueueStatusMessage(Bytes message) {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_StatusEndpoint) QueueInterruptLocked(m_StatusEndpoint, std::move(message));
  }
  NotifyPort();
}

void Uac2Device::QueueBulkData(Bytes data) {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_BulkEndpoint) QueueInterruptLocked(m_BulkEndpoint, std::move(data));
  }
  NotifyPort();
}

Bytes Uac2Device::EntityControl(uint8_t entity, uint8_t cs, uint8_t channel) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  const Uac2Entity* e = m_Entities.Find(entity);
  if (!e) return {};
  auto it = m_Controls.find({entity, cs, channel});
  if (it != m_Controls.end()) return it->second;
  if (e->subtype == USB_AUDIO2_AC_SELECTOR_UNIT) return {1};
  if (e->subtype != USB_AUDIO2_AC_FEATURE_UNIT) return {};
  const ControlRange* range = m_Profile.RangeFor(entity, cs);
  return range ? Le(static_cast<uint32_t>(range->start), ControlValueSize(cs, m_Profile)) : Bytes{};
}

bool Uac2Device::SetEntityControl(uint8_t entity, uint8_t cs, uint8_t channel, const Bytes& value, bool notify) {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Entities.Find(entity)) return false;
    m_Controls[{entity, cs, channel}] = value;
    if (notify) QueueStatusMessageLocked(entity, cs, channel);
  }
  NotifyPort();
  return true;
}

void Uac2Device::SetConnectorMask(uint32_t mask, uint8_t terminal, bool notify) {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_PresenceMask = mask;
    if (notify) QueueStatusMessageLocked(terminal, USB_AUDIO2_TE_CONNECTOR_CONTROL, 0);
  }
  NotifyPort();
}

uint16_t Uac2Device::TerminalType(uint8_t terminal) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  auto it = m_TerminalTypes.find(terminal);
  if (it != m_TerminalTypes.end()) return it->second;
  return CurrentOutputTypeLocked(terminal);
}

void Uac2Device::SetTerminalType(uint8_t terminal, uint16_t type, bool notify) {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_TerminalTypes[terminal] = type;
    if (notify) QueueStatusMessageLocked(terminal, USB_AUDIO2_TERMINAL_TYPE_VALUE >> 8, 0);
  }
  NotifyPort();
}

// ---- Class requests ------------------------------------------------------------------------------

SimDevice::Answer Uac2Device::HandleClass(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) {
  if (!m_Configuration || (s.bmRequestType & 0x1F) != BMREQUEST_TO_INTERFACE) return {};
  const uint8_t iface = static_cast<uint8_t>(s.wIndex);
  const uint8_t entity = static_cast<uint8_t>(s.wIndex >> 8);
  if (m_Entities.controlInterface >= 0 && iface == m_Entities.controlInterface) {
    const Uac2Entity* e = entity ? m_Entities.Find(entity) : nullptr;
    return e ? EntityRequest(*e, s, data) : Answer{};
  }
  return entity == 0 ? StreamingRequest(iface, s, data) : Answer{};
}

SimDevice::Answer Uac2Device::EntityRequest(const Uac2Entity& entity, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                            UCHAR* data) {
  if (s.bRequest == USB_AUDIO2_MEM) {
    auto memory = m_Profile.unitMemory.find(entity.id);
    if (!IsIn(s) || memory == m_Profile.unitMemory.end() || s.wValue >= memory->second.size()) return {};
    return Reply(Bytes(memory->second.begin() + s.wValue, memory->second.end()), s, data);
  }
  switch (entity.subtype) {
    case USB_AUDIO2_AC_CLOCK_SOURCE:
      return ClockRequest(entity, s, data);
    case USB_AUDIO2_AC_FEATURE_UNIT:
      return FeatureRequest(entity, s, data);
    case USB_AUDIO2_AC_INPUT_TERMINAL:
    case USB_AUDIO2_AC_OUTPUT_TERMINAL:
      return TerminalRequest(entity, s, data);
    case USB_AUDIO2_AC_SELECTOR_UNIT: {
      if (s.bRequest != USB_AUDIO2_CUR || s.wValue != (USB_AUDIO2_SU_SELECTOR_CONTROL << 8)) return {};
      const ControlKey key{entity.id, USB_AUDIO2_SU_SELECTOR_CONTROL, 0};
      if (IsIn(s)) {
        auto it = m_Controls.find(key);
        return Reply(it == m_Controls.end() ? Bytes{1} : it->second, s, data);
      }
      if (s.wLength != 1 || !data || data[0] < 1 || data[0] > entity.sources.size()) return {};
      m_Controls[key] = {data[0]};
      return {ControlOutcome::Ack, 1};
    }
    default:
      return {};
  }
}

SimDevice::Answer Uac2Device::ClockRequest(const Uac2Entity& clock, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                           UCHAR* data) {
  const uint8_t cs = static_cast<uint8_t>(s.wValue >> 8);
  if ((s.wValue & 0xFF) != 0) return {};
  if (cs == USB_AUDIO2_CS_CLOCK_VALID_CONTROL && s.bRequest == USB_AUDIO2_CUR && IsIn(s)) {
    auto valid = m_ClockValid.find(clock.id);
    return Reply({static_cast<uint8_t>(valid == m_ClockValid.end() || valid->second ? 1 : 0)}, s, data);
  }
  if (cs != USB_AUDIO2_CS_SAM_FREQ_CONTROL) return {};
  // A clock whose frequency the host may not set is a fixed clock: it offers
  // the one rate it runs at.
  const bool fixed = IsFixedClock(clock);
  const std::vector<uint32_t> fixedRate{ClockRateLocked(clock.id)};
  const std::vector<uint32_t>& rates = fixed ? fixedRate : RatesOf(clock.id);
  if (s.bRequest == USB_AUDIO2_RANGE && IsIn(s)) {
    // One discrete subrange per rate.
    Bytes reply = Le(static_cast<uint32_t>(rates.size()), 2);
    for (uint32_t rate : rates) {
      PutLe32(reply, rate);
      PutLe32(reply, rate);
      PutLe32(reply, 0);
    }
    return Reply(reply, s, data);
  }
  if (s.bRequest != USB_AUDIO2_CUR) return {};
  if (IsIn(s)) return Reply(Le(ClockRateLocked(clock.id), 4), s, data);
  if (s.wLength != 4 || !data || fixed) return {};
  const uint32_t rate = ReadLe32(data);
  if (std::find(rates.begin(), rates.end(), rate) == rates.end()) return {};
  m_ClockRates[clock.id] = rate;
  // Every stream on this clock follows, and a render buffer starts over.
  for (const InterfaceInfo& i : m_Model.interfaces) {
    if (StreamClock(i.number) != clock.id) continue;
    for (const AltSetting& a : i.alternates)
      for (const EndpointInfo& e : a.endpoints) {
        if (m_Sinks.count(e.address)) m_Sinks[e.address]->SetRate(rate);
        if (m_Sources.count(e.address)) m_Sources[e.address]->SetRate(rate);
        if (auto b = m_Buffers.find(e.address); b != m_Buffers.end()) b->second = EmptyBuffer(b->second.blockAlign, clock.id);
      }
  }
  return {ControlOutcome::Ack, 4};
}

bool Uac2Device::VendorBlockHas(uint8_t unit, uint8_t cs, uint8_t channel, bool write) const {
  // The unit's memory: the block's length at 16-17, one 32-bit word per
  // channel from 18, selector 0x80 | k in bit pair k.
  auto memory = m_Profile.unitMemory.find(unit);
  if (memory == m_Profile.unitMemory.end() || memory->second.size() < 18) return false;
  const Bytes& block = memory->second;
  const size_t at = 18 + 4 * static_cast<size_t>(channel);
  if (at + 4 > block.size() || at + 4 > ReadLe16(block.data() + 16)) return false;
  const uint32_t pair = ControlPair(ReadLe32(block.data() + at), cs & 0x7F);
  return (pair & (write ? 2u : 1u)) != 0;
}

SimDevice::Answer Uac2Device::FeatureRequest(const Uac2Entity& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                             UCHAR* data) {
  const uint8_t cs = static_cast<uint8_t>(s.wValue >> 8);
  const uint8_t channel = static_cast<uint8_t>(s.wValue);
  const bool vendor = (cs & 0x80) != 0;
  const bool write = !IsIn(s);
  const bool present = vendor ? VendorBlockHas(unit.id, cs, channel, write)
                              : (write ? unit.FeatureWritable(cs, channel) : unit.FeatureReadable(cs, channel));
  const ControlRange* range = m_Profile.RangeFor(unit.id, cs);
  if (!present || !range) return {};
  const size_t size = ControlValueSize(cs, m_Profile);
  const ControlKey key{unit.id, cs, channel};
  if (s.bRequest == USB_AUDIO2_RANGE && IsIn(s)) {
    // One subrange; the tone controls in their one-byte form.
    const size_t field = IsToneControl(cs) ? 1 : 2;
    Bytes reply = Le(1, 2);
    for (int32_t v : {range->min, range->max, range->res}) {
      Bytes part = Le(static_cast<uint32_t>(v), field);
      reply.insert(reply.end(), part.begin(), part.end());
    }
    return Reply(reply, s, data);
  }
  if (s.bRequest != USB_AUDIO2_CUR) return {};
  if (!write) {
    auto it = m_Controls.find(key);
    return Reply(it != m_Controls.end() ? it->second : Le(static_cast<uint32_t>(range->start), size), s, data);
  }
  if (s.wLength != size || !data) return {};
  const int32_t value = SignedLe(data, size);
  // Volume's 0x8000 is silence, not a level: always taken.
  const bool silence = size == 2 && value == -0x8000 && !IsToneControl(cs);
  if (!silence && (value < range->min || value > range->max)) return {};
  m_Controls[key] = Bytes(data, data + size);
  return {ControlOutcome::Ack, static_cast<uint32_t>(size)};
}

SimDevice::Answer Uac2Device::TerminalRequest(const Uac2Entity& terminal, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                              UCHAR* data) {
  auto profile = m_Profile.terminals.find(terminal.id);
  const TerminalProfile* tp = profile == m_Profile.terminals.end() ? nullptr : &profile->second;
  const bool output = terminal.subtype == USB_AUDIO2_AC_OUTPUT_TERMINAL;
  auto currentType = [&] {
    auto it = m_TerminalTypes.find(terminal.id);
    return it != m_TerminalTypes.end() ? it->second : CurrentOutputTypeLocked(terminal.id);
  };
  if (s.wValue == USB_AUDIO2_JACK_INFO_VALUE && s.bRequest == USB_AUDIO2_CUR && IsIn(s)) {
    if (!tp) return {};
    const std::vector<JackEntry>* jacks = &tp->jacks;
    for (const OutputType& t : tp->outputTypes)
      if (t.terminalType == currentType()) jacks = &t.jacks;
    Bytes reply{static_cast<uint8_t>(jacks->size())};
    for (const JackEntry& j : *jacks) {
      PutLe32(reply, j.channelMask);
      PutLe32(reply, j.configuration);
    }
    return Reply(reply, s, data);
  }
  if (s.wValue == (USB_AUDIO2_TE_CONNECTOR_CONTROL << 8) && s.bRequest == USB_AUDIO2_CUR && IsIn(s)) {
    if (!terminal.HasConnector()) return {};
    // bNrChannels, bmChannelConfig, iChannelNames of what is plugged in.
    Bytes reply{static_cast<uint8_t>(__builtin_popcount(m_PresenceMask))};
    PutLe32(reply, m_PresenceMask);
    reply.push_back(0);
    return Reply(reply, s, data);
  }
  if (!output || s.wValue != USB_AUDIO2_TERMINAL_TYPE_VALUE || !tp || tp->outputTypes.empty()) return {};
  if (s.bRequest == USB_AUDIO2_RANGE && IsIn(s)) {
    Bytes reply = Le(static_cast<uint32_t>(tp->outputTypes.size()), 2);
    for (const OutputType& t : tp->outputTypes) {
      PutLe16(reply, t.terminalType);
      PutLe16(reply, t.terminalType);
      PutLe16(reply, 0);
    }
    return Reply(reply, s, data);
  }
  if (s.bRequest != USB_AUDIO2_CUR) return {};
  if (IsIn(s)) return Reply(Le(currentType(), 2), s, data);
  if (s.wLength != 2 || !data) return {};
  const uint16_t type = ReadLe16(data);
  if (std::none_of(tp->outputTypes.begin(), tp->outputTypes.end(),
                   [&](const OutputType& t) { return t.terminalType == type; }))
    return {};
  m_TerminalTypes[terminal.id] = type;
  return {ControlOutcome::Ack, 2};
}

SimDevice::Answer Uac2Device::StreamingRequest(uint8_t interfaceNumber, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                               UCHAR* data) {
  const InterfaceInfo* iface = m_Model.FindInterface(interfaceNumber);
  if (!iface || s.bRequest != USB_AUDIO2_CUR || !IsIn(s) || s.wValue != (USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL << 8))
    return {};
  // bControlSize, then one bit per alternate setting: every setting the
  // interface has is valid.
  uint8_t highest = 0;
  for (const AltSetting& a : iface->alternates) highest = std::max(highest, a.alternate);
  Bytes reply(1 + highest / 8 + 1, 0);
  reply[0] = static_cast<uint8_t>(highest / 8 + 1);
  for (const AltSetting& a : iface->alternates) reply[1 + a.alternate / 8] |= static_cast<uint8_t>(1u << (a.alternate % 8));
  return Reply(reply, s, data);
}

// ---- Streams ---------------------------------------------------------------------------------------

StreamFormat Uac2Device::StreamFormatOf(uint8_t interfaceNumber, uint8_t) const {
  StreamFormat f;
  const InterfaceInfo* iface = m_Model.FindInterface(interfaceNumber);
  auto alt = m_Alternates.find(interfaceNumber);
  const AltSetting* a = iface && alt != m_Alternates.end() ? iface->Find(alt->second) : nullptr;
  if (!a || !a->format) return f;
  f.channels = a->format->channels;
  f.subframeSize = a->format->subframeSize;
  f.bitResolution = a->format->bitResolution;
  f.rate = ClockRateLocked(StreamClock(interfaceNumber));
  return f;
}

void Uac2Device::StartStreams(uint8_t interfaceNumber) {
  SimDevice::StartStreams(interfaceNumber);
  const InterfaceInfo* iface = m_Model.FindInterface(interfaceNumber);
  if (!iface) return;
  // A buffer keeps what it saw until its endpoint streams again.
  auto alt = m_Alternates.find(interfaceNumber);
  const AltSetting* a = alt != m_Alternates.end() ? iface->Find(alt->second) : nullptr;
  if (!a || !a->format) return;
  for (const EndpointInfo& e : a->endpoints)
    if (!e.IsIn() && e.Type() == USB_ENDPOINT_TYPE_ISOCHRONOUS && (e.attributes & USB_ENDPOINT_USAGE_MASK) == 0)
      m_Buffers[e.address] = EmptyBuffer(a->format->BlockAlign(), StreamClock(interfaceNumber));
}

void Uac2Device::AdvanceBuffer(Buffer& b, uint64_t interval) {
  const double perSecond = IntervalsPerSecond();
  for (uint64_t i = b.lastInterval + 1; i <= interval; ++i) {
    if (!b.playing) continue;
    const double due = ClockRateLocked(b.clock) * (1.0 + PpmAt(i) * 1e-6) / perSecond;
    if (b.frames >= due) {
      b.frames -= due;
    } else {
      b.underruns += static_cast<uint64_t>(std::ceil(due - b.frames));
      b.frames = 0;
    }
    b.minFrames = std::min(b.minFrames, b.frames);
  }
  b.lastInterval = std::max(b.lastInterval, interval);
}

void Uac2Device::OnIsoOutLocked(uint8_t endpoint, uint64_t interval, const UCHAR*, ULONG length) {
  m_LastInterval = interval;
  if (!m_ClockStarted) {
    m_ClockStarted = true;
    m_ClockOrigin = interval;
  }
  auto it = m_Buffers.find(endpoint);
  if (it == m_Buffers.end() || it->second.blockAlign == 0) return;
  Buffer& b = it->second;
  const double framesPerMs = ClockRateLocked(b.clock) / 1000.0;
  if (!b.filling) {
    b.filling = true;
    b.firstInterval = b.lastInterval = b.nextHistory = interval;
  }
  AdvanceBuffer(b, interval);
  b.frames += static_cast<double>(length / b.blockAlign);
  const double capacity = kBufferMs * framesPerMs;
  if (b.frames > capacity) {
    b.overflows += static_cast<uint64_t>(b.frames - capacity);
    b.frames = capacity;
  }
  if (!b.playing && b.frames >= kStartLevelMs * framesPerMs) {
    b.playing = true;
    b.minFrames = b.maxFrames = b.frames;
  }
  if (b.playing) b.maxFrames = std::max(b.maxFrames, b.frames);
  if (interval >= b.nextHistory) {
    b.history.emplace_back(static_cast<double>(interval - b.firstInterval) / IntervalsPerSecond(),
                           framesPerMs > 0 ? b.frames / framesPerMs : 0);
    b.nextHistory = interval + static_cast<uint64_t>(IntervalsPerSecond());
  }
}

bool Uac2Device::FillIsoInLocked(uint8_t endpoint, uint64_t interval, UCHAR* data, ULONG maxLength, ULONG* length) {
  uint8_t interfaceNumber = 0;
  const EndpointInfo* e = m_Model.FindEndpoint(endpoint, &interfaceNumber);
  if (!e || (e->attributes & USB_ENDPOINT_USAGE_MASK) != USB_ENDPOINT_USAGE_FEEDBACK) return false;
  m_LastInterval = interval;
  if (!m_ClockStarted) {
    m_ClockStarted = true;
    m_ClockOrigin = interval;
  }
  const uint8_t clock = StreamClock(interfaceNumber);
  const uint32_t value = FeedbackValue(clock, interval);
  const ULONG size = m_Speed == platform::usb::Speed::High ? USB_AUDIO2_FEEDBACK_BYTES_HIGH_SPEED
                                                            : USB_AUDIO2_FEEDBACK_BYTES_FULL_SPEED;
  const Bytes wire = Le(value, size);
  *length = std::min<ULONG>(size, maxLength);
  std::memcpy(data, wire.data(), *length);
  const double rate = m_Speed == platform::usb::Speed::High ? value * 8000.0 / 65536.0 : value * 1000.0 / 16384.0;
  if (m_Feedback.values++ == 0) {
    m_Feedback.first = value;
    m_Feedback.minRate = m_Feedback.maxRate = rate;
  }
  m_Feedback.last = value;
  m_Feedback.minRate = std::min(m_Feedback.minRate, rate);
  m_Feedback.maxRate = std::max(m_Feedback.maxRate, rate);
  return true;
}

Uac2Device::BufferStats Uac2Device::RenderBuffer(uint8_t endpoint) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  BufferStats stats;
  auto it = endpoint ? m_Buffers.find(endpoint) : m_Buffers.begin();
  if (it == m_Buffers.end()) return stats;
  const Buffer& b = it->second;
  const double framesPerMs = ClockRateLocked(b.clock) / 1000.0;
  if (framesPerMs <= 0) return stats;
  stats.playing = b.playing;
  stats.levelMs = b.frames / framesPerMs;
  stats.minMs = b.minFrames / framesPerMs;
  stats.maxMs = b.maxFrames / framesPerMs;
  stats.underrunFrames = b.underruns;
  stats.overflowFrames = b.overflows;
  stats.history = b.history;
  return stats;
}

Uac2Device::FeedbackStats Uac2Device::Feedback() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Feedback;
}

void Uac2Device::OnBusResetLocked() {
  m_ClockRates.clear();
  m_ClockValid.clear();
  m_Controls.clear();
  m_TerminalTypes.clear();
  m_Buffers.clear();
  m_Feedback = FeedbackStats{};
  m_ClockStarted = false;
  for (const auto& [id, entity] : m_Entities.entities)
    if (entity.subtype == USB_AUDIO2_AC_CLOCK_SOURCE) m_ClockRates[id] = StartRate(id);
}

uint32_t Uac2Device::StartRate(uint8_t clock) const {
  const std::vector<uint32_t>& rates = RatesOf(clock);
  const bool has48 = std::find(rates.begin(), rates.end(), 48000u) != rates.end();
  return has48 ? 48000u : rates.empty() ? 0u : rates.front();
}

std::vector<std::string> Uac2Device::AnswersBeyondDescriptors() const {
  std::vector<std::string> out;
  // The clocks first: every stream's formats come from them.
  for (const auto& [id, entity] : m_Entities.entities) {
    if (entity.subtype != USB_AUDIO2_AC_CLOCK_SOURCE) continue;
    std::string line = "clock ";
    line += std::to_string(id);
    if (IsFixedClock(entity)) {
      line += " fixed at ";
      line += std::to_string(StartRate(id));
      line += " Hz";
    } else {
      line += " rates";
      for (uint32_t rate : RatesOf(id)) {
        line += ' ';
        line += std::to_string(rate);
      }
      line += ", ";
      line += std::to_string(StartRate(id));
      line += " Hz at start";
    }
    out.push_back(line);
  }
  for (const auto& [id, entity] : m_Entities.entities) {
    if (entity.subtype != USB_AUDIO2_AC_FEATURE_UNIT) continue;
    // Bit pairs of a 32-bit bmaControls: selectors 1 to 16.
    for (uint8_t cs = 1; cs <= 16; ++cs) {
      bool present = false;
      for (size_t channel = 0; channel < entity.featureControls.size(); ++channel)
        present = present || entity.FeatureReadable(cs, static_cast<uint8_t>(channel));
      const ControlRange* range = m_Profile.RangeFor(id, cs);
      if (present && range) out.push_back(FeatureUnitLine(id, DescribeFeatureRange(cs, *range)));
    }
  }
  return out;
}

}  // namespace sim
