#include "driver/hal/CK784AudioHal.h"

#include "topology/CProductFeatureUnits.h"
#include "topology/CUac1FeatureUnit.h"

NTSTATUS CK784AudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId) {
  return CreateModel<CK784AudioHal>(innerUnknown, outerUnknown, vendorId, productId, K784_HAL_TAG);
}

NTSTATUS CK784AudioHal::ConfigureDevice() {
  PAGED_CODE();
  m_Refusal = ModelRefusal{};
  SetCapabilityRecord();
  NTSTATUS status = UsbParseAudioControlInterface();
  DbgPrint("UsbParseAudioControlInterface = %x\n", static_cast<unsigned>(status));
  Refuse("UsbParseAudioControlInterface", nullptr, status);
  if (NT_SUCCESS(status)) {
    status = UsbParseAudioStreamInterface();
    DbgPrint("UsbParseAudioStreamInterface = %x\n", static_cast<unsigned>(status));
    Refuse("UsbParseAudioStreamInterface", nullptr, status);
  }
  return status;
}

CUacUnit* CK784AudioHal::NewFeatureUnit(UCHAR unitId, ULONG provisionalId) {
  if (unitId == 2) return new (NonPagedPool, UAC1_HAL_TAG) CK784FeatureUnit(nullptr, provisionalId);
  return new (NonPagedPool, UAC1_HAL_TAG) CUac1FeatureUnit(nullptr, provisionalId);
}
