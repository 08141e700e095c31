#include "driver/hal/C7719AudioHal.h"

#include "streaming/CUac1Render.h"
#include "topology/CProductFeatureUnits.h"

namespace {

constexpr const char* AS_STEP = "UsbParseAudioStreamInterface";

}  // namespace

NTSTATUS C7719AudioHal::Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId) {
  return CreateModel<C7719AudioHal>(innerUnknown, outerUnknown, vendorId, productId, C7719_HAL_TAG);
}

// ============================================================================
// Configuration, start and stop

NTSTATUS C7719AudioHal::ConfigureDevice() { return ConfigureWithOwnRecord(); }

void C7719AudioHal::SetCapabilityRecord() {
  m_Caps.CapabilityMask = 4;
  m_Caps.ModelValue = 8;
}

NTSTATUS C7719AudioHal::Start() {
  PAGED_CODE();
  // Without a status thread the device still plays; it only reports no
  // device-side changes.
  CUac1AudioHal::Start();
  ULONG count = GetUnitCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* unit = nullptr;
    if (NT_SUCCESS(GetUnit(i, &unit))) unit->OnHalStart(i, nullptr);
  }
  return STATUS_SUCCESS;
}

NTSTATUS C7719AudioHal::Stop() {
  PAGED_CODE();
  CUac1AudioHal::Stop();
  ULONG count = GetUnitCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* unit = nullptr;
    if (NT_SUCCESS(GetUnit(i, &unit))) unit->OnHalStop(i, nullptr);
  }
  return STATUS_SUCCESS;
}

// ============================================================================
// AudioControl

CUacUnit* C7719AudioHal::NewFeatureUnit(UCHAR, ULONG provisionalId) {
  return new (NonPagedPool, UAC1_HAL_TAG) C7719FeatureUnit(nullptr, provisionalId);
}

NTSTATUS C7719AudioHal::UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                      ULONG bytesToEnd) {
  return ParseAudioControl(interfaceDescriptor, bytesToEnd);
}

// ============================================================================
// AudioStreaming

NTSTATUS C7719AudioHal::UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                     PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                     ULONG bytesToEnd) {
  return ParseAudioStreaming(configuration, interfaceDescriptor, bytesToEnd);
}

ULONG C7719AudioHal::HighestCarriedRate(CUsbStreamEngine* engine, const UCHAR* formatType,
                                        const USB_ENDPOINT_DESCRIPTOR* endpoint) {
  PAGED_CODE();
  if (!endpoint) return 0;
  const bool capture = engine->IsCapture() == STREAM_DIRECTION_CAPTURE;
  const bool isochronous = (endpoint->bmAttributes & 0x03) == 0x01;
  const bool feedback = ((endpoint->bmAttributes >> 4) & 0x03) == 0x01;
  const bool in = (endpoint->bEndpointAddress & 0x80) != 0;
  if (!isochronous || feedback || in != capture) return 0;
  bool highSpeed = false;
  if (IUsbDevice* usb = QueryUsbDevice()) {
    highSpeed = usb->IsHighSpeed() != FALSE;
    usb->Release();
  }
  return UsbHighestCarriedRate(endpoint->wMaxPacketSize, endpoint->bInterval, highSpeed,
                               ULONG(formatType[4]) * formatType[5]);
}

CUsbStreamEngine* C7719AudioHal::NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId) {
  return new (NonPagedPool, UAC1_HAL_TAG) CTQ4187Render(nullptr, interfaceNumber, terminalNodeId);
}

bool C7719AudioHal::CarriesFormat(bool render, ULONG channels, ULONG subframe) const {
  // Formats no stream could carry are left out.
  if (subframe == 0 || subframe > MAXIMUM_SUBFRAME_BYTES) return false;
  if (render) return channels == RENDER_DEVICE_CHANNELS;
  return channels != 0 && channels <= CAPTURE_MAXIMUM_CHANNELS;
}

WORD C7719AudioHal::AnnouncedChannels(bool render, ULONG channels) const {
  return render ? RENDER_ANNOUNCED_CHANNELS : static_cast<WORD>(channels);
}

DWORD C7719AudioHal::AnnouncedChannelMask(bool render, ULONG channels) const {
  return render ? RENDER_CHANNEL_MASK
         : channels == 1 ? KSAUDIO_SPEAKER_MONO
         : channels == 2 ? KSAUDIO_SPEAKER_STEREO
                         : 0;
}

NTSTATUS C7719AudioHal::AddFormatType(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                                      UCHAR alternateSetting, const USB_ENDPOINT_DESCRIPTOR* endpoint) {
  PAGED_CODE();
  const bool render = engine->IsCapture() != STREAM_DIRECTION_CAPTURE;
  // A rate whose packets the alternate setting's data endpoint cannot carry
  // would fail every transfer: it is not offered. The others are.
  FormatRates rates;
  NTSTATUS status = AddFormatTemplate(engine, formatType, formatTag, alternateSetting,
                                      render ? RENDER_MINIMUM_RATE : 1,
                                      HighestCarriedRate(engine, formatType, endpoint), &rates);
  if (!NT_SUCCESS(status) || !rates.carried) return status;
  // Nothing to offer refuses the device; rates offered that the data
  // endpoint carries none of leave this alternate setting out.
  if (!rates.offered) {
    Refuse(AS_STEP, "alternate setting %u: a FORMAT_TYPE offers no format this product can use", STATUS_UNSUCCESSFUL,
           alternateSetting);
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

NTSTATUS C7719AudioHal::AddStreamFormats(CUsbStreamEngine* engine, const UCHAR* formatType, USHORT formatTag,
                                         UCHAR alternateSetting, WAVEFORMATEXTENSIBLE* format) {
  PAGED_CODE();
  if (!engine || !formatType || !format) return STATUS_INVALID_PARAMETER;
  const bool render = engine->IsCapture() != STREAM_DIRECTION_CAPTURE;
  FormatRates rates;
  NTSTATUS status = AddFormatRates(engine, formatType, formatTag, alternateSetting, format,
                                   render ? RENDER_MINIMUM_RATE : 1, MAXULONG, &rates);
  if (!NT_SUCCESS(status)) return status;
  return rates.added ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
