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
// product never uses but the host can ask for to reach the other models.
enum class AudioHalChoice { Product, ChipIdentifying };

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
  // Driver-wide, for the device objects started from now on. Returns the
  // previous choice.
  static AudioHalChoice SetAudioHalChoice(AudioHalChoice choice);
  static AudioHalChoice GetAudioHalChoice();
};
