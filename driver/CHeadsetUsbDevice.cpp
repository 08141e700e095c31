#include "driver/CHeadsetUsbDevice.h"

#include <atomic>
#include <cstddef>

#include "driver/common/UnalignedAccess.h"
#include "driver/hal/CK784AudioHal.h"

namespace {

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

NTSTATUS CHeadsetUsbDevice::ReadAudioHalChoice(PDEVICE_OBJECT physicalDeviceObject, AudioHalChoice* choice) {
  PAGED_CODE();
  *choice = AudioHalChoice::Product;
  HANDLE key = nullptr;
  // A device without a hardware key has had no choice made for it.
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(physicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key)))
    return STATUS_SUCCESS;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, MODEL_FACTORY_VALUE);
  constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  alignas(KEY_VALUE_PARTIAL_INFORMATION) UCHAR buffer[kHeader + sizeof(ULONG)] = {};
  ULONG size = 0;
  NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &size);
  ZwClose(key);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
  // Longer than a REG_DWORD is no choice either.
  if (!NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;
  const auto* value = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  if (value->Type != REG_DWORD || value->DataLength != sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  const ULONG stored = ReadUlong(value->Data);
  if (stored != static_cast<ULONG>(AudioHalChoice::Product) &&
      stored != static_cast<ULONG>(AudioHalChoice::ChipIdentifying))
    return STATUS_INVALID_PARAMETER;
  *choice = static_cast<AudioHalChoice>(stored);
  return STATUS_SUCCESS;
}

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
  AudioHalChoice choice = AudioHalChoice::Product;
  NTSTATUS status = ReadAudioHalChoice(m_PhysicalDeviceObject, &choice);
  if (!NT_SUCCESS(status)) return status;
  if (choice == AudioHalChoice::ChipIdentifying) return CUsbAudioDevice::CreateAudioHal();
  PUSB_INTERFACE_DESCRIPTOR control = FindControlInterface();
  if (!control || control->bInterfaceProtocol != AUDIO_CLASS_1_PROTOCOL) return STATUS_UNSUCCESSFUL;

  AudioHalFactory factory =
      (m_VendorId == K784_VENDOR_ID && m_ProductId == K784_PRODUCT_ID) ? g_k784Factory.load() : g_c7719Factory.load();
  if (!factory) return STATUS_NOT_IMPLEMENTED;
  return CreateModel(factory);
}
