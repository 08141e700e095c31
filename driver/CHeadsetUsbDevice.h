// The product's device object: the USB audio device object with the
// product's choice of hardware model. It is the only device object the
// driver creates.
#pragma once

#include "driver/CUsbAudioDevice.h"

// The two models the product chooses between: one for a single
// vendor/product pair, one for every other device.
struct AudioHalFactories {
  AudioHalFactory k784;   // vendor 0x5E1F, product 0xB9E4
  AudioHalFactory c7719;  // every other device
};

// Whose factory the product's device object runs: its own (the product's
// two models) or the base device object's chip-identifying one, which the
// product never uses but a device's configuration can ask for to reach the
// other models. The choice is the REG_DWORD MODEL_FACTORY_VALUE in the
// device's own hardware key ("Device Parameters"), as an installed driver's
// configuration sets it; without it the product's models are used.
enum class AudioHalChoice : ULONG { Product = 0, ChipIdentifying = 1 };
inline constexpr WCHAR MODEL_FACTORY_VALUE[] = u"ModelFactory";

constexpr USHORT K784_VENDOR_ID = 0x5E1F;
constexpr USHORT K784_PRODUCT_ID = 0xB9E4;

class CHeadsetUsbDevice : public CUsbAudioDevice {
 public:
  explicit CHeadsetUsbDevice(PUNKNOWN outerUnknown) : CUsbAudioDevice(outerUnknown) {}

  // A new device object (nonpaged pool, "PcCr") controlling its own
  // reference count; `unknown` gets its IAudioHal interface with one
  // reference.
  static NTSTATUS Create(PUNKNOWN* unknown);

  NTSTATUS STDMETHODCALLTYPE CreateAudioHal() override;

  // The factories CreateAudioHal uses: the product's own models unless a
  // test installs a model of its own here (null factories: no model, and
  // a start ends with STATUS_NOT_IMPLEMENTED). Returns the previous setting.
  static AudioHalFactories SetAudioHalFactories(const AudioHalFactories& factories);
  static AudioHalFactories GetAudioHalFactories();

  // The device's MODEL_FACTORY_VALUE; a value that names no factory, or is
  // no REG_DWORD, is STATUS_INVALID_PARAMETER.
  static NTSTATUS ReadAudioHalChoice(PDEVICE_OBJECT physicalDeviceObject, AudioHalChoice* choice);
};
