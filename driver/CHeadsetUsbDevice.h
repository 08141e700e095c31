// The product's device object: the USB audio device object with the
// product's choice of hardware model. It is the only device object the
// driver creates.
#pragma once

#include "driver/CUsbAudioDevice.h"

// The shape of a hardware model's factory: the model is created aggregated
// with `outerUnknown` and hands out its non-delegating IUnknown.
using AudioHalFactory = NTSTATUS (*)(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct);

// The two models the product chooses between: one for a single
// vendor/product pair, one for every other device.
struct AudioHalFactories {
  AudioHalFactory k784;   // vendor 0x5E1F, product 0xB9E4
  AudioHalFactory c7719;  // every other device
};

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
};
