// The simulated USB Audio Class 2.0 device. It keeps the Audio Class 1.0
// device's standard requests, streams, interrupt endpoints and scripted
// faults, and answers the 2.0 class requests: CUR, RANGE and MEM to its
// clock sources, terminals and units, and CUR to its AudioStreaming
// interfaces (the valid alternate settings).
//
// Its clock runs at a rate of its own: the selected sampling frequency off
// by a settable offset in ppm that drifts linearly with time. The render
// side is asynchronous: every OUT data endpoint feeds a 40 ms buffer that
// starts playing when it holds 20 ms and then drains at the clock's rate,
// and the explicit feedback endpoint reports that rate (10.14 samples per
// frame in 3 bytes at full speed, 16.16 samples per microframe in 4 bytes at
// high speed). The feedback carries the clock only: the buffer's fill level
// does not correct it.
//
// Changes on the device (a button, a jack, the clock losing lock) are
// reported as 6-byte interrupt data messages on the AudioControl
// interface's interrupt endpoint; a bulk IN endpoint, when the interface
// has one, carries whatever is queued on it.
//
// What a well-behaved device answers is fixed: sampling-frequency ranges are
// discrete (dMIN = dMAX, dRES = 0, at most 30 of them) and every level range
// has one subrange. A clock whose frequency control is read-only in its
// descriptor is a fixed clock: it runs at its start rate (48 kHz when its
// profile offers it, else the first rate), its range is that rate alone,
// and a SET CUR of its frequency stalls. Anything else (several level subranges, continuous
// frequency ranges, short replies) is scripted with the inherited faults.
#pragma once

#include <optional>

#include "sim/device/SimDevice.h"
#include "sim/device/Uac2Model.h"

namespace sim {

class Uac2Device final : public SimDevice {
 public:
  Uac2Device(DescriptorSet descriptors, DeviceProfile profile, platform::usb::Speed speed = platform::usb::Speed::High);

  const Uac2Model& Entities() const { return m_Entities; }

  std::vector<std::string> AnswersBeyondDescriptors() const override;

  // ---- Clock ----
  // The selected sampling frequency of a clock source.
  uint32_t ClockRate(uint8_t clock) const;
  // The device clock runs `offsetPpm` off the selected rate, changing by
  // `ppmPerSecond` every second from the first packet after this call.
  void SetClockDrift(double offsetPpm, double ppmPerSecond);
  // The offset now, and the rate a clock runs at now (Hz).
  double ClockPpm() const;
  double ActualRate(uint8_t clock) const;
  // The clock-valid control; `notify` reports the change.
  void SetClockValid(uint8_t clock, bool valid, bool notify);
  // Feedback values sent as they are instead of the clock's (raw wire
  // value in the endpoint's format); nullopt: the clock's again.
  void OverrideFeedback(std::optional<uint32_t> wireValue);

  // The size of a feature-unit control's CUR value: one byte for the tone
  // controls and the switches, two for the levels.
  static size_t ControlValueSize(uint8_t cs, const DeviceProfile& profile);

  // ---- Entities: changes on the device ----
  // A feature or selector unit's current value (the bytes of a CUR reply);
  // empty when the entity has no such control.
  Bytes EntityControl(uint8_t entity, uint8_t cs, uint8_t channel) const;
  bool SetEntityControl(uint8_t entity, uint8_t cs, uint8_t channel, const Bytes& value, bool notify);
  // Channels connected to a terminal's connector (a jack in or out).
  void SetConnectorMask(uint32_t mask, uint8_t terminal, bool notify);
  // An output terminal's current type, as the device switched it.
  uint16_t TerminalType(uint8_t terminal) const;
  void SetTerminalType(uint8_t terminal, uint16_t type, bool notify);
  // The interrupt data message for (entity, selector, channel), or any bytes.
  void QueueStatusMessage(uint8_t entity, uint8_t cs, uint8_t channel);
  void QueueStatusMessage(Bytes message);
  void QueueBulkData(Bytes data);
  uint8_t StatusEndpointAddress() const { return m_StatusEndpoint; }
  uint8_t BulkEndpointAddress() const { return m_BulkEndpoint; }

  // ---- Render buffer and feedback ----
  struct BufferStats {
    bool playing = false;  // it reached the start level
    double levelMs = 0;
    double minMs = 0;  // since it started playing
    double maxMs = 0;
    uint64_t underrunFrames = 0;
    uint64_t overflowFrames = 0;
    // (seconds since the buffer started filling, level in ms), once a second.
    std::vector<std::pair<double, double>> history;
  };
  // The buffer behind an OUT data endpoint (0: the first one).
  BufferStats RenderBuffer(uint8_t endpoint = 0) const;
  struct FeedbackStats {
    uint64_t values = 0;
    uint32_t first = 0, last = 0;  // wire values
    double minRate = 0, maxRate = 0;  // what they stood for, in Hz
  };
  FeedbackStats Feedback() const;
  // The feedback endpoint of an AudioStreaming interface's current setting.
  uint8_t FeedbackEndpoint(uint8_t interfaceNumber) const;

  static constexpr double kBufferMs = 40;
  static constexpr double kStartLevelMs = 20;

 protected:
  Answer HandleClass(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data) override;
  Answer HandleVendor(const USB_DEFAULT_PIPE_SETUP_PACKET&, UCHAR*) override { return {}; }
  StreamFormat StreamFormatOf(uint8_t interfaceNumber, uint8_t endpointAddress) const override;
  void StartStreams(uint8_t interfaceNumber) override;
  void OnIsoOutLocked(uint8_t endpoint, uint64_t interval, const UCHAR* data, ULONG length) override;
  bool FillIsoInLocked(uint8_t endpoint, uint64_t interval, UCHAR* data, ULONG maxLength, ULONG* length) override;
  void OnBusResetLocked() override;

 private:
  struct Buffer {
    uint32_t blockAlign = 0;
    uint8_t clock = 0;
    bool filling = false;
    bool playing = false;
    double frames = 0;
    double minFrames = 0, maxFrames = 0;
    uint64_t lastInterval = 0;
    uint64_t firstInterval = 0;
    uint64_t nextHistory = 0;
    uint64_t underruns = 0, overflows = 0;
    std::vector<std::pair<double, double>> history;
  };

  static Buffer EmptyBuffer(uint32_t blockAlign, uint8_t clock) {
    Buffer b;
    b.blockAlign = blockAlign;
    b.clock = clock;
    return b;
  }
  Answer EntityRequest(const Uac2Entity& entity, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer ClockRequest(const Uac2Entity& clock, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer FeatureRequest(const Uac2Entity& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer TerminalRequest(const Uac2Entity& terminal, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer StreamingRequest(uint8_t interfaceNumber, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);

  const std::vector<uint32_t>& RatesOf(uint8_t clock) const;
  // The rate a clock runs at after a reset: 48 kHz when it offers it, else
  // its first rate.
  uint32_t StartRate(uint8_t clock) const;
  uint32_t ClockRateLocked(uint8_t clock) const;
  // The clock behind an AudioStreaming interface (its terminal's clock).
  uint8_t StreamClock(uint8_t interfaceNumber) const;
  double SecondsAt(uint64_t interval) const;
  double PpmAt(uint64_t interval) const;
  double IntervalsPerSecond() const;
  bool VendorBlockHas(uint8_t unit, uint8_t cs, uint8_t channel, bool write) const;
  uint32_t FeedbackValue(uint8_t clock, uint64_t interval) const;
  void AdvanceBuffer(Buffer& buffer, uint64_t interval);
  void QueueStatusMessageLocked(uint8_t entity, uint8_t cs, uint8_t channel);

  const Uac2Model m_Entities;
  uint8_t m_StatusEndpoint = 0;
  uint8_t m_BulkEndpoint = 0;
  std::map<uint8_t, uint32_t> m_ClockRates;
  std::map<uint8_t, bool> m_ClockValid;
  std::map<ControlKey, Bytes> m_Controls;
  std::map<uint8_t, uint16_t> m_TerminalTypes;
  double m_OffsetPpm = 0;
  double m_PpmPerSecond = 0;
  bool m_ClockStarted = false;
  uint64_t m_ClockOrigin = 0;
  uint64_t m_LastInterval = 0;
  std::optional<uint32_t> m_FeedbackOverride;
  FeedbackStats m_Feedback;
  std::map<uint8_t, Buffer> m_Buffers;
};

}  // namespace sim
