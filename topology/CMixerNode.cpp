#include "topology/CMixerNode.h"

namespace {
// What the stereo-mix pin reports about its one jack.
constexpr JackRecord kStereoMixJack = {
    /*ChannelMapping*/ 3, /*Color*/ 0, /*ConnectionType*/ 7, /*GeoLocation*/ 14, /*GenLocation*/ 1,
    /*PortConnection*/ 1, /*NoPresenceDetectCapability*/ 0, /*IsConnected*/ 1, /*PresenceReported*/ 0};
constexpr PinCategory kStereoMixCategory = PIN_CATEGORY_STEREOMIX;
}  // namespace

CMixerNode::CMixerNode(PUNKNOWN outerUnknown, ULONG nodeId) : CTerminalNode(outerUnknown, nodeId, NODE_TYPE_SUM) {}

NTSTATUS CMixerNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IStereoMixNode)) {
    *object = static_cast<IStereoMixNode*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  if (IsEqualGUIDAligned(iid, IID_ITerminal) && !m_StereoMix) {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  return CTerminalNode::NonDelegatingQueryInterface(iid, object);
}

ULONG CMixerNode::GetSourceCount() { return m_StereoMix ? 0 : m_SourceCount; }

NTSTATUS CMixerNode::GetSourceIds(PULONG count, PULONG ids) {
  if (count && ids && m_StereoMix) {
    *count = 0;
    return STATUS_SUCCESS;
  }
  return CTerminalNode::GetSourceIds(count, ids);
}

NTSTATUS CMixerNode::SetStereoMixPin(UCHAR stereoMix) {
  m_NodeType = stereoMix ? NODE_TYPE_INPUT_PIN : NODE_TYPE_SUM;
  m_StereoMix = stereoMix;
  return STATUS_SUCCESS;
}

NTSTATUS CMixerNode::Init(ULONG inputCount, const ULONG* inputIds) {
  PAGED_CODE();
  NTSTATUS status = InitTerminal(1, &kStereoMixCategory, 1, &kStereoMixJack);
  if (NT_SUCCESS(status)) status = SetSourceIds(inputCount, inputIds);
  return status;
}
