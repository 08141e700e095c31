#include "variants/uac2/CUac2MixerSelector.h"

#include "topology/CUacMixerNode.h"
#include "topology/CUacSelectorNode.h"

namespace {

constexpr UCHAR CS_SELECTOR = USB_AUDIO2_SU_SELECTOR_CONTROL;

}  // namespace

// ============================================================================
// Mixer and extension units

NTSTATUS CUac2MixerUnit::BuildNodes(IAudioHal* model) {
  PAGED_CODE();
  const ULONG at = CountOffset();
  NTSTATUS status = SetIdentity(m_Subtype, m_Descriptor[at], m_Descriptor + at + 1);
  if (!NT_SUCCESS(status)) return status;
  ITopoNode* const unit = static_cast<IUacUnit*>(this);
  return AddEntityNode<CUacMixerNode>(model, [unit](CUacMixerNode* node) { return node->InitFromUnit(unit); });
}

// ============================================================================
// Selector unit

NTSTATUS CUac2SelectorUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_ISelector)) {
    *object = static_cast<ISelector*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CUacUnit::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUac2SelectorUnit::BuildNodes(IAudioHal* model) {
  PAGED_CODE();
  NTSTATUS status = SetIdentity(UAC_SUBTYPE_SELECTOR_UNIT, m_Descriptor[4], m_Descriptor + 5);
  if (!NT_SUCCESS(status)) return status;
  ITopoNode* const unit = static_cast<IUacUnit*>(this);
  const PDEVICE_OBJECT device = model->GetDeviceObject();
  return AddEntityNode<CUacSelectorNode>(model,
                                         [&](CUacSelectorNode* node) { return node->InitFromUnit(unit, device); });
}

NTSTATUS CUac2SelectorUnit::GetInput(PULONG input) {
  PAGED_CODE();
  if (!input || !IsSelector()) return STATUS_INVALID_PARAMETER;
  UCHAR value = 0;
  NTSTATUS status = ReadWhole(USB_AUDIO2_CUR, CS_SELECTOR, 0, &value, 1);
  if (NT_SUCCESS(status)) *input = value;
  return status;
}

NTSTATUS CUac2SelectorUnit::SetInput(ULONG input) {
  PAGED_CODE();
  if (!IsSelector() || input < 1 || input > m_Descriptor[4]) return STATUS_INVALID_PARAMETER;
  UCHAR value = static_cast<UCHAR>(input);
  return Request(false, USB_AUDIO2_CUR, CS_SELECTOR, 0, &value, 1);
}

NTSTATUS CUac2SelectorUnit::GetInputCount(PULONG count) {
  if (!count || !IsSelector()) return STATUS_INVALID_PARAMETER;
  *count = m_Descriptor[4];
  return STATUS_SUCCESS;
}
