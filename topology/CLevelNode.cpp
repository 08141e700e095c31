#include "topology/CLevelNode.h"

#include "topology/OutputTypeChannels.h"

namespace {

LONG Clamp(LONG level, LONG minimum, LONG maximum) {
  if (level > maximum) level = maximum;
  if (level < minimum) level = minimum;
  return level;
}

// Truncates toward zero to a multiple of the step; |result| <= |level|. The
// one quotient that would overflow is left as it is.
LONG RoundToStep(LONG level, LONG step) {
  if (step == 0 || (step == -1 && level == LEVEL_MINUS_INFINITY)) return level;
  return (level / step) * step;
}

}  // namespace

LevelPlan PlanLevel(LONG level, LONG minimum, LONG maximum, LONG step, bool minusInfinityIsSilence) {
  if (level == LEVEL_MINUS_INFINITY) {
    if (minusInfinityIsSilence) return {LEVEL_MINUS_INFINITY, LEVEL_MINUS_INFINITY};
    return {Clamp(RoundToStep(minimum, step), minimum, maximum), LEVEL_MINUS_INFINITY};
  }
  const LONG clamped = Clamp(level, minimum, maximum);
  return {Clamp(RoundToStep(clamped, step), minimum, maximum), clamped};
}

CLevelNode::CLevelNode(PUNKNOWN outerUnknown, ULONG nodeId, ULONG nodeType)
    : CTopoNode(outerUnknown, nodeId, nodeType) {}

CLevelNode::~CLevelNode() {
  if (m_Values) ExFreePool(m_Values);
}

NTSTATUS CLevelNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_ILevelNode)) {
    *object = static_cast<ILevelNode*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IOutputTypeSink)) {
    *object = static_cast<IOutputTypeSink*>(this);
  } else {
    return CTopoNode::NonDelegatingQueryInterface(iid, object);
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::GetLevel(ULONG channel, PLONG level) {
  PAGED_CODE();
  if (!level || !ValidChannel(channel)) return STATUS_INVALID_PARAMETER;
  *level = m_Values[channel];
  return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::SetLevel(ULONG channel, LONG level) {
  PAGED_CODE();
  if (!ValidChannel(channel)) return STATUS_INVALID_PARAMETER;
  m_Values[channel] = level;
  return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::GetRange(PLONG maximum, PLONG minimum, PLONG step) {
  if (!maximum || !minimum || !step) return STATUS_INVALID_PARAMETER;
  *maximum = m_Maximum;
  *minimum = m_Minimum;
  *step = m_Step;
  return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::GetChannelCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = ReportedChannelCount(m_ChannelCount, m_OutputType);
  return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::Init(ULONG sourceId, ULONG channels, LONG maximum, LONG minimum, LONG step) {
  PAGED_CODE();
  if (m_Values) ExFreePool(m_Values);
  m_ChannelCount = 0;
  const SIZE_T bytes = (SIZE_T(channels) + 1) * sizeof(LONG);
  m_Values = static_cast<PLONG>(ExAllocatePoolWithTag(PagedPool, bytes, LEVEL_NODE_TAG));
  NTSTATUS status = m_Values ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  if (m_Values) {
    RtlZeroMemory(m_Values, bytes);
    status = SetSourceIds(1, &sourceId);
  }
  if (!NT_SUCCESS(status)) {
    if (m_Values) ExFreePool(m_Values);
    m_Values = nullptr;
    return status;
  }
  m_ChannelCount = channels;
  m_Maximum = maximum;
  m_Minimum = minimum;
  m_Step = step;
  return STATUS_SUCCESS;
}

NTSTATUS CLevelNode::SetOutputType(ULONG outputType, PCALLBACK_OBJECT) {
  m_OutputType = outputType;
  return STATUS_SUCCESS;
}
