#include "driver/CHeadsetUsbDevice.h"

#include <atomic>

#include "driver/hal/CK784AudioHal.h"

namespace {

// bInterfaceProtocol of an Audio Class 1.0 function.
constexpr UCHAR AUDIO_CLASS_1_PROTOCOL = 0;

std::atomic<AudioHalFactory> g_k784Factory{CK784AudioHal::Create};
std::atomic<AudioHalFactory> g_c7719Factory{C7719AudioHal::Create};
std::atomic<AudioHalChoice> g_choice{AudioHalChoice::Product};

}  // namespace

AudioHalFactories CHeadsetUsbDevice::SetAudioHalFactories(const AudioHalFactories& factories) {
  AudioHalFactories previous{g_k784Factory.exchange(factories.k784), g_c7719Factory.exchange(factories.c7719)};
  return previous;
}

AudioHalFactories CHeadsetUsbDevice::GetAudioHalFactories() { return {g_k784Factory.load(), g_c7719Factory.load()}; }

AudioHalChoice CHeadsetUsbDevice::SetAudioHalChoice(AudioHalChoice choice) { return g_choice.exchange(choice); }

AudioHalChoice CHeadsetUsbDevice::GetAudioHalChoice() { return g_choice.load(); }

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
  if (g_choice.load() == AudioHalChoice::ChipIdentifying) return CUsbAudioDevice::CreateAudioHal();
  PUSB_INTERFACE_DESCRIPTOR control = FindControlInterface();
  if (!control || control->bInterfaceProtocol != AUDIO_CLASS_1_PROTOCOL) return STATUS_UNSUCCESSFUL;

  AudioHalFactory factory =
      (m_VendorId == K784_VENDOR_ID && m_ProductId == K784_PRODUCT_ID) ? g_k784Factory.load() : g_c7719Factory.load();
  if (!factory) return STATUS_NOT_IMPLEMENTED;
  return CreateModel(factory);
}
