// The TQ4187 effects unit's headphone node (vendor control 140): a
// processing node whose on/off byte and two settings (room 0-2, variant
// flag) steer the headphone virtualiser, and the stream engine's processor
// that renders up to eight channels binaurally.
//
// Each block is converted to the engine rate (48,000 Hz, or 44,100 Hz for
// the 44.1 kHz family), then two outputs are formed: "dry", the stream folded
// to stereo and peak-limited, and "wet", the virtualiser's binaural pair,
// peak-limited. Six- to eight-channel streams get the wet output while the
// effect is on and the dry one while it is off; a switch crossfades over one
// block (two fifths out, two fifths in). The result is converted back to the
// stream rate; what the two conversions produce beyond the block is carried
// into the next one. Stereo streams pass through unchanged.
//
// A block is at most 512 frames, and so is everything the node converts,
// carries and limits: the conversion stops there, and the return conversion
// writes into a scratch set of the node's own before it reaches the stream.
// A stream rate the converters cannot take leaves the stream untouched.
//
// Threads: Init and the settings at PASSIVE_LEVEL; SetFormat, Reset and
// Process on the stream engine's path, Process at DISPATCH_LEVEL under the
// engine's list lock. They meet only in the change flag and the crossfade
// state, both exchanged atomically.
#pragma once

#include "dsp/CDspConverter.h"
#include "dsp/CPeakLimiter.h"
#include "globaltopo/common/VSF/HeadphoneVirtualizer.h"
#include "topology/CUacProcessingNode.h"

constexpr ULONG HEADPHONE_NODE_TAG = MakeTag("DoHP");
constexpr ULONG HEADPHONE_LIMITER_TAG = MakeTag("QLMN");

// {C7600B33-1AA6-4383-918D-30D848BBAD3E}
inline constexpr GUID NODENAME_HeadphoneEffect =
    DEFINE_GUID_VALUE(0xC7600B33, 0x1AA6, 0x4383, 0x91, 0x8D, 0x30, 0xD8, 0x48, 0xBB, 0xAD, 0x3E);

constexpr ULONG HEADPHONE_SETTING_ROOM = 0;
constexpr ULONG HEADPHONE_SETTING_VARIANT = 1;
constexpr ULONG HEADPHONE_SETTING_COUNT = 2;
// Rooms 0 to this one have filter sets.
constexpr LONG HEADPHONE_MAXIMUM_ROOM = 2;

// Frames per channel buffer of the node (and of the stream engine).
constexpr ULONG HEADPHONE_BLOCK_FRAMES = 512;
constexpr ULONG HEADPHONE_CHANNELS = 8;

// Crossfade states.
constexpr LONG HEADPHONE_STEADY = 1;
constexpr LONG HEADPHONE_TO_WET = 2;
constexpr LONG HEADPHONE_TO_DRY = 3;

class CHeadphoneEffectNode : public CUacProcessingNode {
 public:
  CHeadphoneEffectNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacProcessingNode(outerUnknown, nodeId) {}
  ~CHeadphoneEffectNode() override;

  // Binds the node to the unit's control (its byte from the device, the
  // persisted one over it), then creates its buffers, converters, limiters
  // and virtualiser and loads the persisted settings it has a use for (a
  // room with filters, a variant of 0 or 1). Only the binding's
  // failure is reported: a node whose parts could not all be made leaves
  // every stream untouched.
  NTSTATUS Init(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject);
  using CUacProcessingNode::Init;

  // ---- IProcessingNode: the settings, room and variant flag. A set of a
  // block in which no value was taken is refused; an accepted block is
  // stored and persisted whole.
  NTSTATUS STDMETHODCALLTYPE GetParameters(ULONG first, ULONG count, PULONG values) override;
  NTSTATUS STDMETHODCALLTYPE SetParameters(ULONG first, ULONG count, const ULONG* values) override;

  // ---- IDspProcessor
  NTSTATUS STDMETHODCALLTYPE SetFormat(const WAVEFORMATEXTENSIBLE* format) override;
  NTSTATUS STDMETHODCALLTYPE ResetLimiters() override;
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
  NTSTATUS STDMETHODCALLTYPE Reset() override;

  // ---- For tests and the host's report
  CHeadphoneVirtualizer* Virtualizer() const { return m_Virtualizer; }
  CPeakLimiter* WetLimiter() const { return m_WetLimiter; }
  CPeakLimiter* DryLimiter() const { return m_DryLimiter; }
  ULONG EngineRate() const { return m_EngineRate; }
  const WAVEFORMATEXTENSIBLE& EngineSideFormat() const { return m_EngineSide; }
  const WAVEFORMATEXTENSIBLE& StreamSideFormat() const { return m_StreamSide; }
  const WAVEFORMATEX& EngineFormat() const { return m_EngineFormat; }
  ULONG CarryCount() const { return m_CarryCount; }
  LONG CrossfadeState() const { return m_Crossfade; }
  bool ConvertersReady() const { return m_ConvertersReady; }

 protected:
  // Moves `inFrames` frames through `converter` from `in` to `out`, at most
  // HEADPHONE_BLOCK_FRAMES into `out`. STATUS_UNSUCCESSFUL when the
  // converter fails; a call that neither takes nor gives ends the loop.
  static NTSTATUS ConvertBlock(CDspNonInterleaveSrc* converter, ULONG inFrames, PULONG produced,
                               float* const* in, float* const* out);
  // The crossfade on channels 0 and 1 of `output` against the dry set.
  virtual void Crossfade(float* const* output, ULONG frames, LONG state);
  // The carry set's samples, then the `frames` converted samples of each
  // channel in `fresh`, fill the stream's block of `blockFrames` in order;
  // what is left over is carried (up to HEADPHONE_BLOCK_FRAMES), and a
  // block the two cannot fill starts with silence.
  void DeliverWithCarry(const float* const* fresh, float* const* stream, ULONG channels, ULONG blockFrames,
                        ULONG frames);

  CDspNonInterleaveSrc* m_Forward = nullptr;
  CDspNonInterleaveSrc* m_Return = nullptr;
  float* m_Dry[HEADPHONE_CHANNELS] = {};
  float* m_Wet[HEADPHONE_CHANNELS] = {};

 private:
  bool AllocateSets();
  void ApplySettings();

  CHeadphoneVirtualizer* m_Virtualizer = nullptr;
  float* m_Carry[HEADPHONE_CHANNELS] = {};
  float* m_Returned[HEADPHONE_CHANNELS] = {};
  WAVEFORMATEX m_EngineFormat{};
  LONG m_Settings[HEADPHONE_SETTING_COUNT] = {};
  CPeakLimiter* m_WetLimiter = nullptr;
  CPeakLimiter* m_DryLimiter = nullptr;
  ULONG m_EngineRate = 0;
  WAVEFORMATEXTENSIBLE m_EngineSide{};
  WAVEFORMATEXTENSIBLE m_StreamSide{};
  WAVEFORMATEXTENSIBLE m_StreamCopy{};
  bool m_ConvertersReady = false;
  ULONG m_CarryCount = 0;
  volatile LONG m_Crossfade = HEADPHONE_STEADY;
};
