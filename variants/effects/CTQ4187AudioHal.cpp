// The TQ4187 model's parsers and configuration: the generic model's, with
// effects feature units, 7.1 render formats and the chip's capability
// profiles.
#include "streaming/CUac1Render.h"
#include "usb/usbdlib.h"
#include "variants/CChipAudioHals.h"
#include "variants/effects/CTQ4187FeatureUnit.h"

namespace {

constexpr USHORT VENDOR_NARROW_MASK = 0x17EF;
constexpr USHORT PRODUCT_NARROW_MASK = 0x6073;

constexpr WORD RENDER_CHANNELS_7_1 = 8;
constexpr DWORD RENDER_MASK_7_1 = 0x63F;

// The device descriptor's bcdDevice; 0 when it cannot be read.
USHORT ReadDeviceRelease(IUsbDevice* usb) {
  USB_DEVICE_DESCRIPTOR device{};
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  UsbBuildGetDescriptorRequest(&urb, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device,
                               nullptr, sizeof device, nullptr);
  if (!NT_SUCCESS(usb->SubmitUrb(&urb)) || urb.UrbControlDescriptorRequest.TransferBufferLength < sizeof device)
    return 0;
  return device.bcdDevice;
}

}  // namespace

NTSTATUS CTQ4187AudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId) {
  return CreateModel<CTQ4187AudioHal>(innerUnknown, outerUnknown, vendorId, productId, TQ4187_HAL_TAG);
}

void CTQ4187AudioHal::SetCapabilityRecord() {
  PAGED_CODE();
  // A chip whose release cannot be read is taken for the first firmware.
  m_Profile = 1;
  if (IUsbDevice* usb = QueryUsbDevice()) {
    if (ReadDeviceRelease(usb) >= TQ4187_SECOND_PROFILE_RELEASE) m_Profile = 2;
    usb->Release();
  }
  m_Caps = DeviceCapsRecord{};
  if (m_Profile == 2) {
    m_Caps.CapabilityMask = 0x20006;
    m_Caps.ModelValue = 8;
  } else if (m_VendorId == VENDOR_NARROW_MASK && m_ProductId == PRODUCT_NARROW_MASK) {
    m_Caps.CapabilityMask = 0x3E0084;
    m_Caps.Flags = 0x41;
  } else {
    m_Caps.CapabilityMask = 0x3E1084;
    m_Caps.Flags = 0x40;
  }
}

CUacUnit* CTQ4187AudioHal::NewFeatureUnit(UCHAR, ULONG provisionalId) {
  return new (NonPagedPool, UAC1_HAL_TAG) CTQ4187FeatureUnit(nullptr, provisionalId);
}

CUsbStreamEngine* CTQ4187AudioHal::NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId) {
  return new (NonPagedPool, UAC1_HAL_TAG) CTQ4187Render(nullptr, interfaceNumber, terminalNodeId);
}

WORD CTQ4187AudioHal::AnnouncedChannels(bool render, ULONG channels) const {
  return render ? RENDER_CHANNELS_7_1 : static_cast<WORD>(channels);
}

DWORD CTQ4187AudioHal::AnnouncedChannelMask(bool render, ULONG channels) const {
  return render ? RENDER_MASK_7_1 : GenericChannelMask(channels, true);
}
