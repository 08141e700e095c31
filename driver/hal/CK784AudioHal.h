// The hardware model of the one fixed-ID device: the product model with its
// feature unit 2 made the product's own feature unit (every other feature
// unit a plain one), and a configuration that reports both parse results in
// the debugger output.
#pragma once

#include "driver/hal/C7719AudioHal.h"

constexpr ULONG K784_HAL_TAG = MakeTag("K784");

class CK784AudioHal : public C7719AudioHal {
 public:
  CK784AudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId)
      : C7719AudioHal(outerUnknown, vendorId, productId) {}

  static NTSTATUS Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);

  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override;

 protected:
  // Feature unit 2 is the product's own, every other one a plain one.
  CUacUnit* NewFeatureUnit(UCHAR unitId, ULONG provisionalId) override;
};
