#include "variants/CUacDeviceNodes.h"

#include "driver/common/PoolBuffer.h"

namespace {

constexpr ULONG ALL_CHANNELS = 0xFFFFFFFF;

}  // namespace

// ============================================================================
// Switches

NTSTATUS CUacVendorSwitchNode::SetValue(ULONG channel, UCHAR value) {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  if (!ValidChannel(channel)) return STATUS_INVALID_PARAMETER;
  ISwitchControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ISwitchControl, &control);
  if (!NT_SUCCESS(status)) return status;
  status = control->SetSwitchValue(m_Binding.controlSelector, channel, value);
  control->Release();
  if (NT_SUCCESS(status)) {
    StoreValue(channel, value);
    m_Binding.WriteChannel(channel, &value, sizeof value);
  }
  return status;
}

NTSTATUS CUacBoardSwitchNode::InitFromUnit(ITopoNode* unit, PDEVICE_OBJECT settingsOwner) {
  PAGED_CODE();
  m_Binding.unit = unit;
  NTSTATUS status = Init(0, 1);
  if (!NT_SUCCESS(status)) return status;
  m_Binding.deviceObject = settingsOwner;
  FormatChannelValuePrefix(m_Binding.valueName, m_NodeId, m_OutputType);
  UCHAR value = LoadValue(0);
  m_Binding.ReadChannelIfUsable(0, &value, IsSwitchValue);
  StoreValue(0, value);
  return STATUS_SUCCESS;
}

NTSTATUS CUacBoardSwitchNode::SetValue(ULONG channel, UCHAR value) {
  PAGED_CODE();
  return KeepValue(channel, value);
}

// ============================================================================
// Input gain pad

NTSTATUS CUacInputGainPadNode::GetLevel(ULONG channel, PLONG level) {
  return CUacLevelNode::GetLevel(channel == ALL_CHANNELS ? 0 : channel, level);
}

NTSTATUS CUacInputGainPadNode::SetLevel(ULONG channel, LONG level) {
  PAGED_CODE();
  CBindingGuard guard(m_Binding);
  const bool all = channel == ALL_CHANNELS;
  if (!all && !ValidChannel(channel)) return STATUS_INVALID_PARAMETER;
  if (!m_Values) return STATUS_INVALID_PARAMETER;
  ILevelControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ILevelControl, &control);
  if (!NT_SUCCESS(status)) return status;

  // A pad has no silence: minus infinity is its smallest setting.
  LONG cached = level == LEVEL_MINUS_INFINITY ? m_Minimum : level;
  if (cached < m_Minimum) cached = m_Minimum;
  if (cached > m_Maximum) cached = m_Maximum;
  // A range without a step is sent as it is.
  const LONG sent = m_Step > 0 ? cached / m_Step * m_Step : cached;

  const ULONG first = all ? 0 : channel;
  const ULONG last = all ? m_ChannelCount : channel + 1;
  for (ULONG c = first; c < last; ++c) {
    status = control->SetLevel(m_Binding.controlSelector, c, sent);
    if (!NT_SUCCESS(status)) break;
    m_Values[c] = cached;
    m_Binding.WriteChannel(c, &cached, sizeof cached);
  }
  control->Release();
  return status;
}

// ============================================================================
// Clock

template <typename Fn>
NTSTATUS CUacClockNode::WithUnitClock(Fn&& fn) {
  if (!m_Unit) return STATUS_UNSUCCESSFUL;
  IClockSource* clock = nullptr;
  NTSTATUS status = m_Unit->QueryInterface(IID_IClockSource, reinterpret_cast<PVOID*>(&clock));
  if (!NT_SUCCESS(status)) return status;
  status = fn(clock);
  clock->Release();
  return status;
}

NTSTATUS CUacClockNode::InitFromUnit(ITopoNode* unit) {
  PAGED_CODE();
  m_Unit = unit;
  return WithUnitClock([this](IClockSource* clock) {
    ULONG count = 0;
    if (!NT_SUCCESS(clock->GetRateCount(&count)) || count == 0) return STATUS_UNSUCCESSFUL;
    // More rates than a clock node keeps fail in Init; reading them all
    // first would only size a buffer for nothing.
    if (count > MAX_CLOCK_RATES) return STATUS_INSUFFICIENT_RESOURCES;
    CPoolBuffer rates(PagedPool, count * sizeof(ULONG), CLOCK_NODE_TAG);
    if (!rates) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG read = count;
    NTSTATUS status = clock->GetRateList(&read, rates.As<ULONG>());
    if (!NT_SUCCESS(status)) return status;
    // A unit that reports more rates than it said it had is not believed
    // beyond the buffer.
    return Init(read < count ? read : count, rates.As<ULONG>());
  });
}

NTSTATUS CUacClockNode::SetRate(ULONG rate) {
  PAGED_CODE();
  NTSTATUS status = WithUnitClock([rate](IClockSource* clock) { return clock->SetRate(rate); });
  if (NT_SUCCESS(status)) CClockNode::SetRate(rate);
  return status;
}

NTSTATUS CUacClockNode::IsClockValid(PUCHAR valid) {
  if (!valid) return STATUS_INVALID_PARAMETER;
  return WithUnitClock([valid](IClockSource* clock) { return clock->IsClockValid(valid); });
}

// ============================================================================
// Selector inputs

void CSelectorInputState::SetSelected(ULONG input) { m_SelectedInput.store(input, std::memory_order_relaxed); }

void CSelectorInputState::SetIndex(ULONG input) { m_InputIndex.store(input, std::memory_order_relaxed); }

bool CSelectorInputState::IsSelected() const {
  return m_InputIndex.load(std::memory_order_relaxed) == m_SelectedInput.load(std::memory_order_relaxed);
}

NTSTATUS CUacSelectorInputMuteNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_ISelectorInputNode)) {
    *object = static_cast<ISelectorInputNode*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CUacMuteNode::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUacSelectorInputMuteNode::SetSelectedInput(ULONG input) {
  m_Selection.SetSelected(input);
  return STATUS_SUCCESS;
}

NTSTATUS CUacSelectorInputMuteNode::SetInputIndex(ULONG input) {
  m_Selection.SetIndex(input);
  return STATUS_SUCCESS;
}
