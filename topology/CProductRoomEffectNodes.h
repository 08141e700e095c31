// The product's room effect nodes: the room effect processing, plus what
// the product does around a switch of the effect. Every switch plays a
// prompt through the tone node the room effect node owns, which it binds to
// the hardware model's first render engine once the topology is built.
//
// C7719RoomEffectNode (the product model) sends its value to the device and
// re-reads it when the device reports a change. CK784RoomEffectNode (the
// fixed-ID device) keeps its value in the driver alone and plays a prompt
// only when the value really changes.
//
// Lock order: this node's mutex, then the tone node's.
#pragma once

#include "topology/CRoomEffectNode.h"

// The pool tag of the product's feature units' nodes and of what they
// allocate.
constexpr ULONG PRODUCT_FEATURE_NODE_TAG = MakeTag("9177");

class C7719RoomEffectNode : public CRoomEffectNode, public IStreamEngineBinding {
 public:
  C7719RoomEffectNode(PUNKNOWN outerUnknown, ULONG nodeId) : CRoomEffectNode(outerUnknown, nodeId) {}
  ~C7719RoomEffectNode() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // The hardware model whose render engines the prompt plays on (no
  // reference: the model owns its nodes).
  void SetAudioHal(IAudioHal* audioHal) { m_AudioHal = audioHal; }

  // ---- IProcessingNode
  // The device's set, then the prompt; the set's status is returned, as a
  // prompt that cannot play does not undo a value that took effect.
  NTSTATUS STDMETHODCALLTYPE SetValue(UCHAR value) override;

  // ---- ITopoNode
  // The cached value to the device again, without a prompt.
  NTSTATUS STDMETHODCALLTYPE ApplyToDevice(ULONG nodeIndex, PVOID context) override;
  // A value the device changed on its own is taken over with a prompt.
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override;
  NTSTATUS STDMETHODCALLTYPE OnHalStop(ULONG nodeIndex, PVOID context) override;

  // ---- IStreamEngineBinding: the tone node on the first render engine.
  // A model without render engines leaves the node unbound, with success.
  NTSTATUS STDMETHODCALLTYPE BindStreamEngines(ULONG unused) override;

  bool IsBound() const { return m_Bound; }
  IToneNode* GetToneNode() const { return m_ToneNode; }

 protected:
  // Selects the prompt of the current value and plays it;
  // STATUS_UNSUCCESSFUL without a bound tone node.
  NTSTATUS PlayPrompt();

  IAudioHal* m_AudioHal = nullptr;

 private:
  ULONG m_EngineIndex = 0;
  bool m_Bound = false;
  ULONG m_RenderEngineCount = 0;
  IStreamEngine** m_RenderEngines = nullptr;  // no references
  IToneNode* m_ToneNode = nullptr;            // one reference
};

class CK784RoomEffectNode : public C7719RoomEffectNode {
 public:
  CK784RoomEffectNode(PUNKNOWN outerUnknown, ULONG nodeId) : C7719RoomEffectNode(outerUnknown, nodeId) {}

  // The stored value (when 0 or 1), never the device's. Like
  // CRoomEffectNode::Init, a failed binding returns its status and a
  // missing part gives STATUS_INSUFFICIENT_RESOURCES with the node bound.
  NTSTATUS Init(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject, IAudioHal* audioHal);

  // Kept and stored; a change plays its prompt. Always succeeds.
  NTSTATUS STDMETHODCALLTYPE SetValue(UCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE ApplyToDevice(ULONG nodeIndex, PVOID context) override;
  // The device knows nothing of the value.
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override { return STATUS_SUCCESS; }
};
