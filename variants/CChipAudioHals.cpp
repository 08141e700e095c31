#include "variants/CChipAudioHals.h"

#include "topology/CUac1MixerUnit.h"
#include "topology/CUac1SelectorUnit.h"
#include "variants/CChipTerminals.h"
#include "variants/CFixedRangeFeatureUnits.h"

namespace {

constexpr USHORT VENDOR_HEADPHONE_TERMINALS = 0x1B1C;
constexpr USHORT PRODUCT_NARROW_MASK = 0x0A06;
constexpr UCHAR C7762_HEADPHONE_TERMINAL_ID = 6;

// The terminal, mixer and selector classes of one chip, with the chip's
// pool tag; feature units are chosen by id apart.
template <typename TInput, typename TOutput>
CUacUnit* NewChipUnit(const UCHAR* descriptor, ULONG provisionalId, ULONG tag) {
  switch (descriptor[2]) {
    case UAC_SUBTYPE_INPUT_TERMINAL:
      return new (NonPagedPool, tag) TInput(nullptr, provisionalId);
    case UAC_SUBTYPE_OUTPUT_TERMINAL:
      return new (NonPagedPool, tag) TOutput(nullptr, provisionalId);
    case UAC_SUBTYPE_MIXER_UNIT:
      return new (NonPagedPool, tag) CUac1MixerUnit(nullptr, provisionalId);
    case UAC_SUBTYPE_SELECTOR_UNIT:
      return new (NonPagedPool, tag) CUac1SelectorUnit(nullptr, provisionalId);
    default:
      return nullptr;
  }
}

}  // namespace

// ---- Shared ------------------------------------------------------------------------------------

NTSTATUS CChipAudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IUsbAudioHal)) {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  return CUac1AudioHal::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CChipAudioHal::UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                      ULONG bytesToEnd) {
  return ParseAudioControl(interfaceDescriptor, bytesToEnd);
}

// ---- 7746 --------------------------------------------------------------------------------------

NTSTATUS C7746AudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId) {
  return CreateModel<C7746AudioHal>(innerUnknown, outerUnknown, vendorId, productId, C7746_HAL_TAG);
}

void C7746AudioHal::SetCapabilityRecord() {
  m_Caps = DeviceCapsRecord{};
  m_Caps.CapabilityMask = 0x3FE02F;
  m_Caps.ModelValue = 12;
}

CUacUnit* C7746AudioHal::NewUnit(const UCHAR* descriptor, ULONG provisionalId) {
  if (descriptor[2] == UAC_SUBTYPE_FEATURE_UNIT) return NewFeatureUnit(descriptor[3], provisionalId);
  return NewChipUnit<C7746InputTerminal, C7746OutputTerminal>(descriptor, provisionalId, C7746_UNIT_TAG);
}

CUacUnit* C7746AudioHal::NewFeatureUnit(UCHAR unitId, ULONG provisionalId) {
  if (unitId == 9) return new (NonPagedPool, C7746_UNIT_TAG) C7746FeatureUnit9(nullptr, provisionalId);
  if (unitId >= 10 && unitId <= 12) return new (NonPagedPool, C7746_UNIT_TAG) C7746FeatureUnit10(nullptr, provisionalId);
  if (unitId == 13 || unitId == 14) return new (NonPagedPool, C7746_UNIT_TAG) C7746FeatureUnit13(nullptr, provisionalId);
  return new (NonPagedPool, C7746_UNIT_TAG) CUac1FeatureUnit(nullptr, provisionalId);
}

// ---- 7762 --------------------------------------------------------------------------------------

NTSTATUS C7762AudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId) {
  return CreateModel<C7762AudioHal>(innerUnknown, outerUnknown, vendorId, productId, C7762_HAL_TAG);
}

void C7762AudioHal::SetCapabilityRecord() {
  m_Caps = DeviceCapsRecord{};
  m_Caps.CapabilityMask = m_VendorId == VENDOR_HEADPHONE_TERMINALS && m_ProductId == PRODUCT_NARROW_MASK ? 0x24 : 0x0F;
}

CUacUnit* C7762AudioHal::NewUnit(const UCHAR* descriptor, ULONG provisionalId) {
  if (descriptor[2] == UAC_SUBTYPE_FEATURE_UNIT) return NewFeatureUnit(descriptor[3], provisionalId);
  return NewChipUnit<C7762InputTerminal, C7762OutputTerminal>(descriptor, provisionalId, C7762_UNIT_TAG);
}

CUacUnit* C7762AudioHal::NewFeatureUnit(UCHAR unitId, ULONG provisionalId) {
  if (unitId == 9) return new (NonPagedPool, C7762_UNIT_TAG) C7762FeatureUnit9(nullptr, provisionalId);
  if (unitId == 10) return new (NonPagedPool, C7762_UNIT_TAG) C7762FeatureUnit10(nullptr, provisionalId);
  if (unitId == 13) return new (NonPagedPool, C7762_UNIT_TAG) C7762FeatureUnit13(nullptr, provisionalId);
  return new (NonPagedPool, C7762_UNIT_TAG) CUac1FeatureUnit(nullptr, provisionalId);
}

NTSTATUS C7762AudioHal::CreateUnit(const UCHAR* descriptor) {
  PAGED_CODE();
  AnnounceHeadphoneTerminal(descriptor, C7762_HEADPHONE_TERMINAL_ID);
  return AddUnitFor(descriptor);
}
