// The simulated USB Audio Class 1.0 device: standard requests from its
// descriptors, class requests with real state per unit, control and channel,
// the vendor requests of its profile, isochronous sinks and sources per
// streaming endpoint, status words on the interrupt endpoint, and scripted
// faults. It plugs into a hub port (platform::usb::HubPort) as its function.
//
// Thread safety: the bus calls in from the caller's thread and the clock
// thread, tests from theirs; every entry point takes the device's lock, and
// the device never calls its port while holding it.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/device/ConfigModel.h"
#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"
#include "sim/device/Faults.h"
#include "sim/device/IsoStreams.h"
#include "usb/function.h"

namespace sim {

// One control transfer as the device saw it.
struct RequestRecord {
  USB_DEFAULT_PIPE_SETUP_PACKET setup{};
  platform::usb::ControlOutcome outcome = platform::usb::ControlOutcome::Stall;
  Bytes data;  // OUT: what the host sent; IN: what the device answered
  bool faulted = false;
  LONGLONG time = 0;  // the clock's time when the request arrived (100 ns units)
};

class SimDevice : public platform::usb::UsbFunction {
 public:
  SimDevice(DescriptorSet descriptors, DeviceProfile profile, platform::usb::Speed speed = platform::usb::Speed::Full);
  ~SimDevice() override;

  // ---- platform::usb::UsbFunction ----
  platform::usb::Speed GetSpeed() const override { return m_Speed; }
  platform::usb::ControlReply Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, UCHAR* data) override;
  USBD_STATUS IsoOut(UCHAR endpointAddress, ULONGLONG interval, const UCHAR* data, ULONG length) override;
  USBD_STATUS IsoIn(UCHAR endpointAddress, ULONGLONG interval, UCHAR* data, ULONG maxLength, ULONG* length) override;
  bool InterruptIn(UCHAR endpointAddress, UCHAR* data, ULONG maxLength, ULONG* length, USBD_STATUS* status) override;
  void BusReset() override;
  void SetSuspended(bool suspended) override;
  void Attach(platform::usb::PortEvents* port) override;

  // ---- Description ----
  const DescriptorSet& Descriptors() const { return m_Descriptors; }
  const ConfigModel& Model() const { return m_Model; }
  const DeviceProfile& Profile() const { return m_Profile; }
  // What the device answers beyond its descriptors, one line each: its
  // feature units' ranges and start values (a 2.0 device's clock rates
  // too). For a device known only by its descriptors these are the
  // simulation's guesses.
  virtual std::vector<std::string> AnswersBeyondDescriptors() const;

  // ---- Faults ----
  void AddFault(const ControlFault& fault);
  void AddIsoFault(const IsoFault& fault);
  void UnplugAfterIsoPackets(uint64_t packets);
  void ChangeConfigurationLengthOnRereads(uint16_t totalLength);
  void FailInterruptPolls(USBD_STATUS status);
  void ClearFaults();

  // ---- State ----
  uint8_t Configuration() const;
  uint8_t AlternateSetting(uint8_t interfaceNumber) const;
  // A control's current value (feature, selector, mixer and processing
  // units); empty when the device has no such control.
  Bytes ControlValue(uint8_t unit, uint8_t cs, uint8_t channel);
  // A change made on the device (a button): sets the value and, when
  // `notify`, queues a status word naming the unit.
  bool SetControlValue(uint8_t unit, uint8_t cs, uint8_t channel, const Bytes& value, bool notify);
  uint32_t SamplingRate(uint8_t endpointAddress) const;
  uint32_t PresenceMask() const;
  // A jack plug or unplug: the presence mask changes and, when `terminal` is
  // not 0, a status word names that terminal.
  void SetPresenceMask(uint32_t mask, uint8_t terminal);
  // The output terminal's current type, as vendor request 0x81 reports it.
  uint16_t CurrentOutputType(uint8_t terminal) const;
  void SetCurrentOutputType(uint8_t terminal, uint16_t type, bool notify);
  // The last wValue of each vendor device request (bRequest 7 and friends).
  std::optional<uint16_t> VendorDeviceValue(uint8_t request) const;
  bool Suspended() const;
  uint32_t BusResets() const;

  // ---- Interrupt endpoint ----
  // Queues a status word on the first interrupt IN endpoint of the
  // AudioControl interface (or `endpoint`).
  void QueueStatusWord(uint8_t statusType, uint8_t originator, uint8_t endpoint = 0);
  size_t PendingStatusWords(uint8_t endpoint = 0) const;

  // ---- HID interface (class 3) ----
  // The input report GET_REPORT answers from now on.
  void SetHidInputReport(const Bytes& report);
  // Reports the next GET_REPORTs answer, one each, before the current one;
  // the last of them stays current.
  void QueueHidInputReports(const std::vector<Bytes>& reports);
  size_t PendingHidInputReports() const;
  uint64_t HidInputReportReads() const;
  // Every output report SET_REPORT delivered, oldest first.
  std::vector<Bytes> HidOutputReports() const;

  // ---- Streams ----
  // The sink of an OUT endpoint and the source of an IN endpoint exist from
  // the start and keep what they saw across alternate-setting changes.
  IsoSink& Sink(uint8_t endpointAddress);
  IsoSource& Source(uint8_t endpointAddress);
  uint64_t IsoPackets() const;
  // The device's loopback: the IN endpoint plays back what the OUT endpoint
  // receives, from the next packet on.
  void LoopBack(uint8_t outEndpoint, uint8_t inEndpoint);

  // ---- Log ----
  std::vector<RequestRecord> Requests() const;
  void ClearRequests();

 protected:
  struct ControlKey {
    uint8_t unit, cs, channel;
    auto operator<=>(const ControlKey&) const = default;
  };
  struct Answer {
    platform::usb::ControlOutcome outcome = platform::usb::ControlOutcome::Stall;
    uint32_t length = 0;
  };

  Answer HandleStandard(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer HandleGetDescriptor(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  virtual Answer HandleClass(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer HandleUnitRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, bool vendor);
  Answer HandleFeatureUnit(const UnitInfo& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer HandleSelectorUnit(const UnitInfo& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer HandleMixerUnit(const UnitInfo& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer HandleProcessingUnit(const UnitInfo& unit, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer HandleEndpointRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  virtual Answer HandleVendor(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer HandleTerminalVendor(uint8_t terminal, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer HandleOther(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer HandleHid(const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  bool IsHidInterface(uint8_t number) const;
  // A value request on a control with a range: GET_CUR/MIN/MAX/RES and SET_CUR.
  Answer ValueRequest(const ControlKey& key, uint8_t size, const ControlRange& range, bool isSigned,
                      const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer EqualizerRequest(const ControlKey& key, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);
  Answer Reply(const Bytes& value, const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data);

  bool SelectAlternate(uint8_t interfaceNumber, uint8_t alternate);
  virtual void StartStreams(uint8_t interfaceNumber);
  const EndpointInfo* ActiveEndpoint(uint8_t address) const;
  // One isochronous packet of an active endpoint: counted, given the status
  // an iso fault sets for it, else moved by `move` (under the lock), an IN
  // packet's `inLength` then cut as a fault says; the unplug-after fault is
  // checked after it.
  USBD_STATUS IsoPacket(UCHAR endpointAddress, const std::function<USBD_STATUS()>& move, ULONG* inLength = nullptr);
  EndpointTiming TimingOf(const EndpointInfo& endpoint) const;
  virtual StreamFormat StreamFormatOf(uint8_t interfaceNumber, uint8_t endpointAddress) const;
  // Hooks of derived devices, called with the lock held: an OUT packet the
  // device took, an IN packet it may answer itself (true when it did), and
  // a bus reset.
  virtual void OnIsoOutLocked(uint8_t, uint64_t /*interval*/, const UCHAR*, ULONG) {}
  virtual bool FillIsoInLocked(uint8_t, uint64_t /*interval*/, UCHAR*, ULONG /*maxLength*/, ULONG* /*length*/) {
    return false;
  }
  virtual void OnBusResetLocked() {}
  uint8_t StatusEndpoint() const;
  uint32_t SamplingRateLocked(uint8_t endpointAddress) const;
  uint16_t CurrentOutputTypeLocked(uint8_t terminal) const;
  void QueueStatusWordLocked(uint8_t statusType, uint8_t originator, uint8_t endpoint);
  // Queues `message` on an interrupt or bulk IN endpoint.
  void QueueInterruptLocked(uint8_t endpoint, Bytes message);
  void NotifyPort();  // raises the events collected while locked

  const DescriptorSet m_Descriptors;
  const ConfigModel m_Model;
  const DeviceProfile m_Profile;
  const platform::usb::Speed m_Speed;

  mutable std::mutex m_Lock;
  platform::usb::PortEvents* m_Port = nullptr;
  FaultScript m_Faults;
  std::vector<uint32_t> m_FaultHits;  // per control fault: matches seen
  uint8_t m_Configuration = 0;
  std::map<uint8_t, uint8_t> m_Alternates;
  std::map<ControlKey, Bytes> m_Values;
  std::map<uint8_t, uint32_t> m_Rates;
  std::map<uint8_t, uint8_t> m_Pitch;
  std::map<uint8_t, uint16_t> m_OutputTypes;
  std::map<uint8_t, uint16_t> m_VendorDeviceValues;
  std::map<uint8_t, std::deque<Bytes>> m_Interrupts;
  std::map<uint8_t, std::unique_ptr<IsoSink>> m_Sinks;
  std::map<uint8_t, std::unique_ptr<IsoSource>> m_Sources;
  std::map<uint8_t, uint64_t> m_IsoPacketsPerEndpoint;
  uint32_t m_PresenceMask = 0;
  uint32_t m_ConfigurationReads = 0;
  uint64_t m_IsoPackets = 0;
  bool m_Suspended = false;
  bool m_Unplugged = false;
  uint32_t m_BusResets = 0;
  std::deque<RequestRecord> m_Requests;
  Bytes m_HidInputReport;
  std::deque<Bytes> m_HidQueuedReports;
  std::deque<Bytes> m_HidOutputReports;
  uint64_t m_HidInputReads = 0;
  // Port events collected under the lock, raised after it.
  std::vector<uint8_t> m_PendingInterruptNotices;
  bool m_PendingUnplug = false;
};

}  // namespace sim
