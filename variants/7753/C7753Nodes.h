// The control nodes and software processors of the 7753 model.
//
// Four nodes also process the stream (they answer IDspProcessor, so the
// engine that carries them runs them on every buffer):
// - the mute and volume nodes of the master feature unit 13 act in software
//   while the S/PDIF output type is selected (the chip's S/PDIF path does
//   not pass through the unit);
// - the mute node of the S/PDIF recording unit 16 acts in software while
//   its recording input is the selected one;
// - the software mute of one board's recording units never reaches the
//   device at all.
// The LED switch writes the mute-LED bits of codec register 1. Two stand-
// alone processors sit in render engines: the gain node the status poll
// drives (pass, x0.25, silence) and the swap of channel pairs 4-5 and 6-7
// of eight-channel streams.
//
// Process runs at DISPATCH_LEVEL under the engine's list lock and reads
// the mode, the gates, the switch bytes and the gains without a lock (one
// aligned 32-bit or byte access each); a change takes effect at the next
// buffer. Streams of more than eight channels pass every processor
// untouched: the engine's channel buffers hold eight.
#pragma once

#include <atomic>

#include "dsp/DspFormat.h"
#include "topology/CUacLevelNode.h"
#include "topology/CUacSwitchNode.h"
#include "variants/CUacDeviceNodes.h"

class IC7753CodecWriter;

constexpr ULONG C7753_MAX_PROCESSED_CHANNELS = MAX_SOFTWARE_DSP_PROCESS_CHANNELS;
// The output type and the recording input on which the nodes of units 13
// and 16 act in software.
constexpr ULONG C7753_SPDIF_OUTPUT_TYPE = PIN_CATEGORY_SPDIF;

// The software mute of every 7753 mute node: PCM channel buffers zeroed,
// another format's interleaved chunk zeroed when it fits an engine channel
// buffer (2,048 bytes); streams of more than eight channels untouched.
void C7753MuteStream(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames);

// The IDspProcessor slots every 7753 processor fills alike.
class C7753ProcessorSlots : public IDspProcessor {
 public:
  NTSTATUS STDMETHODCALLTYPE Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE ResetLimiters() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Reset() override { return STATUS_SUCCESS; }
};

// Unit 13's mute: the device's mute as any mute node, and in software while
// its output type is S/PDIF.
class C7753FeatureUnit13MuteNode : public C7753ProcessorSlots, public CUacMuteNode {
 public:
  C7753FeatureUnit13MuteNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacMuteNode(outerUnknown, nodeId) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
};

// Unit 13's volume: the device's level as any volume node, and per channel
// as a linear gain in software while its output type is S/PDIF.
class C7753FeatureUnit13VolumeNode : public C7753ProcessorSlots, public CUacVolumeNode {
 public:
  C7753FeatureUnit13VolumeNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacVolumeNode(outerUnknown, nodeId) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // Bound to the unit's control; a unit with more than eight channels is
  // refused with STATUS_UNSUCCESSFUL (the node keeps eight gains).
  NTSTATUS Init(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject);
  using CUacVolumeNode::Init;

  NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG channel, LONG level) override;
  NTSTATUS STDMETHODCALLTYPE SetOutputType(ULONG outputType, PCALLBACK_OBJECT callbackObject) override;
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override;
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;

  float GetGain(ULONG channel) const;

 private:
  // gain = 10^(level / 1,310,720): the level's dB / 20 as a power of ten.
  void ComputeGains(ULONG first, ULONG count);

  float m_Gains[C7753_MAX_PROCESSED_CHANNELS] = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
};

// Unit 16's mute: the device's mute, and in software while its recording
// input is the selected one.
class C7753FeatureUnit16MuteNode : public C7753ProcessorSlots, public CUacSelectorInputMuteNode {
 public:
  C7753FeatureUnit16MuteNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacSelectorInputMuteNode(outerUnknown, nodeId) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
};

// A mute that lives in the driver alone: its value is cached and persisted
// like a board switch's and never sent to the device.
class C7753SoftwareMuteNode : public C7753ProcessorSlots, public CUacMuteNode {
 public:
  C7753SoftwareMuteNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacMuteNode(outerUnknown, nodeId) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE SetValue(ULONG channel, UCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
};

// A board switch that drives the mute LED itself: its byte is the LED's own
// sense, the opposite of a mute's (non-zero writes the unmuted bits 0x0010,
// zero the muted bits 0x0030 of codec register 1); a value the register
// write refuses is neither cached nor persisted.
class C7753LedSwitchNode : public CUacBoardSwitchNode {
 public:
  C7753LedSwitchNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacBoardSwitchNode(outerUnknown, nodeId) {}

  NTSTATUS Init(ITopoNode* unit, PDEVICE_OBJECT deviceObject, IC7753CodecWriter* codec);
  using CUacBoardSwitchNode::Init;
  NTSTATUS STDMETHODCALLTYPE GetValue(ULONG channel, PUCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE SetValue(ULONG channel, UCHAR value) override;

 private:
  IC7753CodecWriter* m_Codec = nullptr;  // no reference: the model owns the unit and so this node
};

// The render gain the status poll drives: mode 0 passes, 1 attenuates PCM
// to a quarter, 2 silences PCM.
class CRenderGainNode : public C7753ProcessorSlots, public CUnknownBase {
 public:
  explicit CRenderGainNode(PUNKNOWN outerUnknown) : CUnknownBase(outerUnknown) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;

  NTSTATUS ResetMode();
  void SetMode(ULONG mode) { m_Mode.store(mode, std::memory_order_relaxed); }
  ULONG GetMode() const { return m_Mode.load(std::memory_order_relaxed); }

 private:
  std::atomic<ULONG> m_Mode{0};
};

// Trades channel pairs 4-5 and 6-7 (from 0) of eight-channel PCM render
// streams by exchanging the channel-buffer pointers: the processors after it
// and the interleave back into the stream see the pairs swapped. The engine
// deinterleaves the next chunk through the same (now swapped) pointers, so
// every chunk comes out swapped.
class C7753ChannelSwapProcessor : public C7753ProcessorSlots, public CUnknownBase {
 public:
  explicit C7753ChannelSwapProcessor(PUNKNOWN outerUnknown) : CUnknownBase(outerUnknown) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
};
