#include "driver/CHeadsetUsbDevice.h"

#include <atomic>

#include "driver/hal/CK784AudioHal.h"
#include "usb/usbdlib.h"

namespace {

constexpr LONG USB_CLASS_AUDIO = 1;
constexpr LONG USB_SUBCLASS_AUDIOCONTROL = 1;
// bInterfaceProtocol of an Audio Class 1.0 function.
constexpr UCHAR AUDIO_CLASS_1_PROTOCOL = 0;

std::atomic<AudioHalFactory> g_k784Factory{CK784AudioHal::Create};
std::atomic<AudioHalFactory> g_c7719Factory{C7719AudioHal::Create};

}  // namespace

AudioHalFactories CHeadsetUsbDevice::SetAudioHalFactories(const AudioHalFactories& factories) {
  AudioHalFactories previous{g_k784Factory.exchange(factories.k784), g_c7719Factory.exchange(factories.c7719)};
  return previous;
}

AudioHalFactories CHeadsetUsbDevice::GetAudioHalFactories() { return {g_k784Factory.load(), g_c7719Factory.load()}; }

NTSTATUS CHeadsetUsbDevice::Create(PUNKNOWN* unknown) {
  PAGED_CODE();
  if (!unknown) return STATUS_INVALID_PARAMETER;
  *unknown = nullptr;
  auto* device = new (NonPagedPool, USB_AUDIO_DEVICE_TAG) CHeadsetUsbDevice(nullptr);
  if (!device) return STATUS_INSUFFICIENT_RESOURCES;
  IAudioHal* hal = device;
  hal->AddRef();
  *unknown = hal;
  return STATUS_SUCCESS;
}

NTSTATUS CHeadsetUsbDevice::CreateAudioHal() {
  PAGED_CODE();
  PUSB_CONFIGURATION_DESCRIPTOR configuration = m_ConfigurationDescriptor;
  if (!configuration) return STATUS_UNSUCCESSFUL;
  PUSB_INTERFACE_DESCRIPTOR control = USBD_ParseConfigurationDescriptorEx(
      configuration, configuration, -1, -1, USB_CLASS_AUDIO, USB_SUBCLASS_AUDIOCONTROL, -1);
  if (!control) return STATUS_UNSUCCESSFUL;
  m_ControlInterfaceNumber = control->bInterfaceNumber;
  if (control->bInterfaceProtocol != AUDIO_CLASS_1_PROTOCOL) return STATUS_UNSUCCESSFUL;

  AudioHalFactory factory =
      (m_VendorId == K784_VENDOR_ID && m_ProductId == K784_PRODUCT_ID) ? g_k784Factory.load() : g_c7719Factory.load();
  if (!factory) return STATUS_NOT_IMPLEMENTED;
  PUNKNOWN model = nullptr;
  NTSTATUS status = factory(&model, static_cast<IAudioHal*>(this), m_VendorId, m_ProductId);
  if (!NT_SUCCESS(status)) return status;
  return AdoptAudioHal(model);
}
