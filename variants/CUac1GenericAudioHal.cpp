#include "variants/CUac1GenericAudioHal.h"

#include "driver/common/PoolBuffer.h"
#include "streaming/CUac1Render.h"
#include "topology/CUac1FeatureUnit.h"
#include "usb/usbdlib.h"

namespace {

// Devices the probe knows by their IDs.
constexpr USHORT VENDOR_HEADPHONE_TERMINALS = 0x1B1C;
constexpr USHORT PRODUCT_TWO_OUTPUTS = 0x0A04;
constexpr USHORT VENDOR_NO_STRING = 0x5E1F;
constexpr USHORT PRODUCT_NO_STRING = 0xB9E5;
constexpr USHORT VENDOR_ALT_MASK = 0x09DA;
constexpr USHORT VENDOR_NO_BIT12 = 0x6B3E;
constexpr USHORT PRODUCT_NO_BIT12 = 0x4E25;

constexpr UCHAR HEADPHONE_TERMINAL_ID = 16;
constexpr UCHAR SECOND_OUTPUT_TERMINAL_ID = 64;
constexpr USHORT TERMINAL_SPEAKER = 0x0301;
constexpr USHORT TERMINAL_HEADPHONES = 0x0302;
constexpr ULONG OUTPUT_TERMINAL_TYPE_BYTES = 6;

}  // namespace

DWORD GenericChannelMask(ULONG channels, bool capture) {
  switch (channels) {
    case 1:
      return KSAUDIO_SPEAKER_MONO;
    case 2:
      return KSAUDIO_SPEAKER_STEREO;
    case 4:
      return capture ? 0 : 0x33;
    case 6:
      return capture ? 0 : 0x3F;
    case 8:
      return capture ? 0 : 0x63F;
    default:
      return 0;
  }
}

CUac1GenericAudioHal::CUac1GenericAudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId)
    : C7719AudioHal(outerUnknown, vendorId, productId) {
  // A generic device is offered every rate it names.
  m_RenderMinimumRate = 0;
}

NTSTATUS CUac1GenericAudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId,
                                      USHORT productId) {
  return CreateModel<CUac1GenericAudioHal>(innerUnknown, outerUnknown, vendorId, productId, UAC1_HAL_TAG);
}

// ============================================================================
// Configuration

NTSTATUS CUac1GenericAudioHal::ConfigureDevice() {
  PAGED_CODE();
  m_Refusal = ModelRefusal{};
  PVOID object = nullptr;
  NTSTATUS status = static_cast<IAudioHal*>(this)->QueryInterface(IID_IUsbDevice, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* usb = static_cast<IUsbDevice*>(object);
  CPoolBuffer buffer(NonPagedPool, UAC1_PROBE_STRING_BYTES, UAC1_PROBE_TAG);
  CPoolBuffer urb(NonPagedPool, sizeof(URB), UAC1_PROBE_TAG);
  if (!buffer || !urb) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    status = ProbeChip(usb, urb.As<URB>(), buffer.As<UCHAR>());
    Refuse("ConfigureDevice", "a read of the chip's registers (vendor request to \"other\") failed", status);
    if (NT_SUCCESS(status)) status = C7719AudioHal::UsbParseAudioControlInterface();
    if (NT_SUCCESS(status)) status = C7719AudioHal::UsbParseAudioStreamInterface();
  }
  usb->Release();
  return status;
}

NTSTATUS CUac1GenericAudioHal::ReadOtherRegister(IUsbDevice* usb, PURB urb, UCHAR request, USHORT value,
                                                 PUCHAR byte, USHORT index) {
  *byte = 0;
  RtlZeroMemory(urb, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
  UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_OTHER, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, request, value, index, byte, nullptr,
                        1, nullptr);
  return usb->SubmitUrb(urb);
}

NTSTATUS CUac1GenericAudioHal::ProbeChip(IUsbDevice* usb, PURB urb, PUCHAR buffer) {
  PAGED_CODE();
  ULONG received = 0;
  NTSTATUS status = ReadChipString(usb, urb, buffer, &received);
  m_Caps = DeviceCapsRecord{};

  if (!NT_SUCCESS(status)) {
    if (m_VendorId == VENDOR_HEADPHONE_TERMINALS && m_ProductId == PRODUCT_TWO_OUTPUTS) {
      m_Caps.CapabilityMask = 0x24;
      return STATUS_SUCCESS;
    }
    if (m_VendorId == VENDOR_NO_STRING && m_ProductId == PRODUCT_NO_STRING) {
      m_Caps.CapabilityMask = 0x3C0264;
      m_Caps.ModelValue = 12;
      return STATUS_SUCCESS;
    }
    Refuse("ConfigureDevice", "the chip's vendor string (string descriptor 0x50, else 0x32) cannot be read", status);
    return status;
  }

  if (ChipStringBegins(buffer, received, "7794")) {
    UCHAR chip = 0;
    status = ReadOtherRegister(usb, urb, 0x02, 0x0051, &chip);
    if (!NT_SUCCESS(status)) return status;
    if (chip == 0x1F) {
      m_Caps.CapabilityMask = 0x3E10A0;
      if (m_VendorId == VENDOR_ALT_MASK && m_ProductId >= 0x2701 && m_ProductId <= 0x2703)
        m_Caps.CapabilityMask = 0x3E00A5;
      if (m_VendorId == VENDOR_NO_BIT12 && m_ProductId == PRODUCT_NO_BIT12) m_Caps.CapabilityMask &= ~0x1000u;
      m_Caps.Flags = 0x41;
    }
  } else if (ChipStringBegins(buffer, received, "VZR417")) {
    UCHAR a = 0, b = 0;
    status = ReadOtherRegister(usb, urb, 0x00, 0x001A, &a);
    if (!NT_SUCCESS(status)) return status;
    status = ReadOtherRegister(usb, urb, 0x00, 0x0020, &b);
    if (!NT_SUCCESS(status)) return status;
    const UCHAR kind = a & 0x0E;
    if ((b & 0x02) == 0 && kind == 0x08) {
      m_Caps.CapabilityMask = 0x3E087;
    } else if ((b & 0x02) == 0 && kind == 0x0E) {
      m_Caps.CapabilityMask = 0x3E087;
      m_Caps.Flags = DEVICE_CAPS_FLAG_ASIO;
    } else {
      Refuse("ConfigureDevice", "the chip's registers name a variant this model cannot drive", STATUS_UNSUCCESSFUL);
      return STATUS_UNSUCCESSFUL;
    }
  }
  // "VZR419" and any other string: an all-zero record.
  return STATUS_SUCCESS;
}

// ============================================================================
// AudioControl

CUacUnit* CUac1GenericAudioHal::NewFeatureUnit(UCHAR, ULONG provisionalId) {
  return new (NonPagedPool, UAC1_HAL_TAG) CUac1FeatureUnit(nullptr, provisionalId);
}

void CUac1GenericAudioHal::AnnounceHeadphoneTerminal(const UCHAR* descriptor, UCHAR terminalId) {
  // The vendor's speaker terminal is a headphone jack: the stored
  // configuration says so from here on, for every later reader.
  if (m_VendorId == VENDOR_HEADPHONE_TERMINALS && descriptor[2] == UAC_SUBTYPE_OUTPUT_TERMINAL &&
      descriptor[0] >= OUTPUT_TERMINAL_TYPE_BYTES && descriptor[3] == terminalId &&
      (descriptor[4] | descriptor[5] << 8) == TERMINAL_SPEAKER) {
    auto* writable = const_cast<UCHAR*>(descriptor);
    writable[4] = static_cast<UCHAR>(TERMINAL_HEADPHONES & 0xFF);
    writable[5] = static_cast<UCHAR>(TERMINAL_HEADPHONES >> 8);
  }
}

NTSTATUS CUac1GenericAudioHal::CreateUnit(const UCHAR* descriptor) {
  PAGED_CODE();
  AnnounceHeadphoneTerminal(descriptor, HEADPHONE_TERMINAL_ID);
  return C7719AudioHal::CreateUnit(descriptor);
}

NTSTATUS CUac1GenericAudioHal::UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                             ULONG bytesToEnd) {
  PAGED_CODE();
  NTSTATUS status = ParseAudioControl(interfaceDescriptor, bytesToEnd);
  if (NT_SUCCESS(status) && m_VendorId == VENDOR_HEADPHONE_TERMINALS && m_ProductId == PRODUCT_TWO_OUTPUTS)
    status = CheckLayout();
  return status;
}

NTSTATUS CUac1GenericAudioHal::CheckLayout() {
  PAGED_CODE();
  for (ULONG id : {ULONG{HEADPHONE_TERMINAL_ID}, ULONG{SECOND_OUTPUT_TERMINAL_ID}}) {
    ITopoNode* unit = nullptr;
    NTSTATUS status = FindUnitById(id, &unit);
    if (!NT_SUCCESS(status)) {
      Refuse("UsbParseAudioControlInterface", "an output terminal of the product's layout is missing", status);
      return status;
    }
    if (unit->GetType() != UAC_SUBTYPE_OUTPUT_TERMINAL) {
      Refuse("UsbParseAudioControlInterface", "a unit of the product's layout is no output terminal",
             STATUS_UNSUCCESSFUL);
      return STATUS_UNSUCCESSFUL;
    }
  }
  return STATUS_SUCCESS;
}

// ============================================================================
// AudioStreaming

CUsbStreamEngine* CUac1GenericAudioHal::NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId) {
  return new (NonPagedPool, UAC1_HAL_TAG) CUac1Render(nullptr, interfaceNumber, terminalNodeId);
}

bool CUac1GenericAudioHal::CarriesFormat(bool, ULONG channels, ULONG subframeBytes) const {
  // A format without channels or samples would give a stream of empty
  // frames; one with wider samples than a stream carries cannot be opened.
  return channels != 0 && subframeBytes != 0 && subframeBytes <= MAXIMUM_SUBFRAME_BYTES;
}
