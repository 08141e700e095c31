// The room effect node: a processing node on a unit's room-effect control
// (vendor control 139) that also sits in the render stream engine's
// processor list. Every block goes down two paths, a dry one (all channels
// folded into the front pair, limited at unity gain) and a wet one (the room
// effect, limited with +9 dB of make-up gain); the node's value picks the
// path, and a change of value crossfades over 2 + 2 ms so that it never
// clicks.
//
// The node is built by whichever unit owns the control: Init binds it to
// that unit (which must answer ISwitchControl) and creates every part. A
// node short of any part fails Init and never processes.
#pragma once

#include "dsp/CPeakLimiter.h"
#include "dsp/CRoomEffect.h"
#include "topology/CUacProcessingNode.h"

// {AC02E636-CB62-42EF-A97C-5F4C1CDFEC13}
inline constexpr GUID NODE_NAME_ROOM_EFFECT =
    DEFINE_GUID_VALUE(0xAC02E636, 0xCB62, 0x42EF, 0xA9, 0x7C, 0x5F, 0x4C, 0x1C, 0xDF, 0xEC, 0x13);

constexpr ULONG ROOM_EFFECT_CONTROL = 0x8B;
constexpr ULONG ROOM_NODE_BLOCK_FRAMES = 512;  // the stream engine's chunk
constexpr ULONG ROOM_NODE_BUFFER_TAG = MakeTag("DoHP");
constexpr ULONG ROOM_NODE_LIMITER_TAG = MakeTag("QLMN");
constexpr float ROOM_WET_LIMITER_GAIN = 2.8183f;  // +9 dB
// Keeps the filters of both paths away from denormal numbers.
constexpr float ROOM_DENORMAL_GUARD = 1e-12f;

class CRoomEffectNode : public CUacProcessingNode {
 public:
  enum CrossfadeState : ULONG { CROSSFADE_STEADY = 1, CROSSFADE_TO_WET = 2, CROSSFADE_TO_DRY = 3 };

  CRoomEffectNode(PUNKNOWN outerUnknown, ULONG nodeId);
  ~CRoomEffectNode() override;

  // Binds the node to `unit`'s control and builds every part. A failed
  // binding returns its own status; a part that cannot be allocated gives
  // STATUS_INSUFFICIENT_RESOURCES with the node still bound, so that a
  // builder can tell a node it may leave out from a unit that is broken.
  NTSTATUS Init(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject);
  using CUacProcessingNode::Init;

  // ---- IDspProcessor
  NTSTATUS STDMETHODCALLTYPE SetFormat(const WAVEFORMATEXTENSIBLE* format) override;
  NTSTATUS STDMETHODCALLTYPE ResetLimiters() override;
  // `data` is the engine's array of per-channel float buffers for PCM.
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
  NTSTATUS STDMETHODCALLTYPE Reset() override;

  // The unit binding succeeded (whatever became of the parts).
  bool IsBoundToUnit() const { return m_BoundToUnit; }
  // Every part processing needs is there.
  bool HasEveryPart() const;
  ULONG EffectSwitch() const { return m_EffectSwitch; }
  ULONG Crossfade() const { return m_Crossfade; }

 protected:
  // Both buffer sets, the effect and both limiters, each only when it is not
  // there yet.
  NTSTATUS CreateParts();

  bool m_BoundToUnit = false;

 private:
  NTSTATUS CreateBufferSet(float* (&set)[MAX_SOFTWARE_DSP_PROCESS_CHANNELS]);
  NTSTATUS CreateRoomEffect();
  NTSTATUS CreateLimiter(CPeakLimiter*& limiter, float gain);
  // Takes the node value over as the effect switch when the setter flagged
  // it; true when the switch changed.
  bool TakeSetting();
  void CrossfadeFrontPair(float* const* out, ULONG frames);

  KSPIN_LOCK m_ProcessLock;
  ULONG m_EffectSwitch = 0;
  ULONG m_Crossfade = CROSSFADE_STEADY;
  CRoomEffect* m_RoomEffect = nullptr;
  float* m_DrySet[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
  float* m_WetSet[MAX_SOFTWARE_DSP_PROCESS_CHANNELS] = {};
  CPeakLimiter* m_WetLimiter = nullptr;
  CPeakLimiter* m_DryLimiter = nullptr;
};
