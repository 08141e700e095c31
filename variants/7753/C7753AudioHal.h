// The hardware model of the 7753, an Audio Class 1.0 multichannel chip, and
// of the boards built around it. It is the generic Audio Class 1.0 model
// with these additions:
//
// - fourteen switches (Settings values, then board overrides) decide which
//   inputs, monitor and recording paths and output layouts the chip shows:
//   its configuration descriptor is rewritten before it is parsed;
// - boards are told apart by their USB IDs and two chip bytes read with a
//   vendor request to "other";
// - the codec's registers are written through HID output reports on
//   interface 3; the model keeps a shadow of six of them and writes the
//   marked ones again after every return to D0;
// - on one board a status poll reads the HID input report every 50 ms and
//   drives a forced mute on unit 11 and the render gain (C7753StatusHistory
//   says how); a reading that fails leaves the state as it is;
// - its own units, nodes, render stream and software processors;
// - an output-type change re-registers the wave filter under its new name.
//
// Threads: configuration, start, stop, power and subdevice changes run at
// PASSIVE_LEVEL; the poll thread runs at priority 16 beside property
// requests. Codec register writes are serialised by the model's codec
// mutex, so two writers of one register never interleave between reading
// the shadow and updating it.
#pragma once

#include <atomic>

#include "variants/7753/C7753Codec.h"
#include "variants/7753/C7753DescriptorRewrite.h"
#include "variants/7753/C7753StatusHistory.h"
#include "driver/hal/CUac1AudioHal.h"

class CRenderGainNode;
class C7753FeatureUnit11ForcedMute;

// HID class requests to the board's HID interface.
constexpr USHORT C7753_HID_INTERFACE = 3;
constexpr UCHAR HID_GET_REPORT = 0x01;
constexpr UCHAR HID_SET_REPORT = 0x09;
constexpr USHORT C7753_INPUT_REPORT = 0x0100;   // input report, id 0
constexpr USHORT C7753_OUTPUT_REPORT = 0x0200;  // output report, id 0
constexpr UCHAR C7753_CODEC_WRITE = 0x20;       // {0x20, value low, value high, register}
constexpr ULONG C7753_CODEC_REPORT_BYTES = 4;
constexpr ULONG C7753_STATUS_REPORT_BYTES = 3;
// A control URB as the model allocates it.
constexpr ULONG C7753_URB_BYTES = sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST);

// The chip probe: one byte each from wIndex 9 and 8 (vendor request 0x81 to
// "other"); a 7753 answers 0x9F and 3.
constexpr UCHAR C7753_PROBE_REQUEST = 0x81;
constexpr USHORT C7753_PROBE_INDEX_HIGH = 9;
constexpr USHORT C7753_PROBE_INDEX_LOW = 8;
constexpr UCHAR C7753_PROBE_HIGH = 0x9F;
constexpr UCHAR C7753_PROBE_LOW = 3;

// The boards with overrides of their own.
constexpr USHORT C7753_POLL_BOARD_VENDOR = 0x1E7D;
constexpr USHORT C7753_POLL_BOARD_PRODUCT = 0x3750;
constexpr USHORT C7753_SOFT_MUTE_VENDOR = 0x6B3E;
constexpr USHORT C7753_SOFT_MUTE_PRODUCT = 0x4E13;
constexpr USHORT C7753_LED_SWITCH_VENDOR = 0x28DA;
constexpr USHORT C7753_LED_SWITCH_PRODUCT = 0x268E;
constexpr ULONG C7753_CAPABILITY_MASK = 0x3FE00F;

constexpr LONG C7753_POLL_PERIOD_MS = 50;
constexpr LONGLONG C7753_POLL_FIRST_DUE = 500000;  // 50 ms after the first reading, 100 ns units
constexpr KPRIORITY C7753_POLL_PRIORITY = 16;

struct C7753CodecRegister {
  USHORT value;
  USHORT flags;
};

class C7753AudioHal : public CUac1AudioHal, public IC7753CodecWriter {
 public:
  C7753AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);
  ~C7753AudioHal() override;

  // Nonpaged ("7753"), aggregated with `outerUnknown`; one reference on the
  // non-delegating unknown handed out.
  static NTSTATUS Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);

  // ---- IUsbAudioHal
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                           ULONG bytesToEnd) override;
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                          PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                          ULONG bytesToEnd) override;
  using CUac1AudioHal::UsbParseAudioControlInterface;
  using CUac1AudioHal::UsbParseAudioStreamInterface;
  // Codec reset (register 5 off, 1 ms, on), then every marked register of
  // 0-4 written again from the shadow; the first failure stops.
  NTSTATUS STDMETHODCALLTYPE RestoreHardwareState() override;

  // ---- IAudioHal
  // Only the polled board has a thread to start or stop; the base's status
  // thread and the nodes' start and stop hooks do not run for this chip.
  NTSTATUS STDMETHODCALLTYPE Start() override;
  NTSTATUS STDMETHODCALLTYPE Stop() override;
  // Shadow reset, chip probe, switches, board overrides, descriptor
  // rewrite, parse, codec restore.
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override;

  // Through a HID output report to the board's HID interface.
  NTSTATUS WriteCodecRegister(ULONG index, USHORT value, USHORT mask) override;
  NTSTATUS RewriteConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR configuration);

  // ---- What the host's report and the tests look at
  C7753CodecRegister GetCodecRegister(ULONG index) const;
  UCHAR GetSwitch(ULONG index) const { return index < C7753_SWITCH_COUNT ? m_Switches[index] : 0; }
  bool ProbeMatched() const { return m_ProbeMatched; }
  bool IsPollEnabled() const { return m_PollEnable != 0; }
  // Whether a poll thread runs now.
  bool IsPollRunning() const;
  // The poll's state (C7753PollState) as last applied.
  ULONG GetPollState() const { return m_PollState.load(); }
  CRenderGainNode* GetRenderGainNode() const { return m_RenderGainNode; }
  C7753FeatureUnit11ForcedMute* GetForcedMuteUnit() const { return m_ForcedMuteUnit; }

 protected:
  // The unit classes by kind, id and board.
  CUacUnit* NewFeatureUnit(UCHAR unitId, ULONG provisionalId) override;
  CUacUnit* NewUnit(const UCHAR* descriptor, ULONG provisionalId) override;
  // No vendor's terminal-type rewrite here: the chip's units as they come.
  NTSTATUS CreateUnit(const UCHAR* descriptor) override { return AddUnitFor(descriptor); }
  CUsbStreamEngine* NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId) override;
  // A source id that names no unit refuses the device.
  bool UnknownSourceFailsParse() const override { return true; }
  // After an engine whose output type changed came back, the unit's change
  // is handled as a status word naming it would be.
  void AfterSubdeviceRefresh(ULONG unitId) override { HandleUnitStatus(unitId); }

 private:
  NTSTATUS ProbeChip(IUsbDevice* usb, bool* matched);
  void ReadSwitches();
  void ApplyBoardOverrides(bool probeMatched);
  bool IsBoard(USHORT vendorId, USHORT productId) const { return m_VendorId == vendorId && m_ProductId == productId; }
  // The gain node (polled board) and the channel swap on every render engine.
  NTSTATUS AttachRenderProcessors(NTSTATUS walkStatus);

  // The poll thread's body: the first reading, then one reading per timer
  // tick until the stop event or the device is gone; a failed reading
  // changes nothing.
  void PollThreadMain();
  static void PollThreadStart(PVOID context);
  NTSTATUS ReadStatusReport(IUsbDevice* usb, PURB urb, PUCHAR report);
  // The forced mute and the gain mode of a poll state.
  void EnterPollState(ULONG state);
  void StopPollThread();

  C7753CodecRegister m_Codec[C7753_CODEC_REGISTERS] = {};
  CKernelMutex m_CodecLock;
  UCHAR m_PollEnable = 0;
  std::atomic<UCHAR> m_PollRunning{0};
  std::atomic<ULONG> m_PollState{C7753_POLL_FORCED_MUTE};
  KTIMER m_PollTimer;
  UCHAR m_Switches[C7753_SWITCH_COUNT] = {};
  bool m_ProbeMatched = false;
  CRenderGainNode* m_RenderGainNode = nullptr;                 // one reference
  C7753FeatureUnit11ForcedMute* m_ForcedMuteUnit = nullptr;  // no reference: the unit list holds it
};
