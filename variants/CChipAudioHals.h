// The models of three Audio Class 1.0 chips that the chip-identifying
// factory knows by their vendor strings: the 7746, the 7762 and the TQ4187.
// They take the generic model's AudioStreaming parse and formats but none
// of its probing: the capability record is fixed per chip (per profile on
// the TQ4187), and the AudioControl parse is the chip's own, without the
// generic model's vendor rewrite and layout check.
//
// Their non-delegating unknown does not answer IUsbAudioHal, so the device
// object holds none for them: whatever asks the device object for it (an
// output-type change, for one) is refused.
#pragma once

#include "variants/CUac1GenericAudioHal.h"

constexpr ULONG C7746_HAL_TAG = MakeTag("7746");
constexpr ULONG C7762_HAL_TAG = MakeTag("7762");
constexpr ULONG TQ4187_HAL_TAG = MakeTag("4187");

// A TQ4187 whose device descriptor names release 2.00 or later (bcdDevice)
// runs the chip's second firmware, with the second capability profile.
constexpr USHORT TQ4187_SECOND_PROFILE_RELEASE = 0x0200;

class CChipAudioHal : public CUac1GenericAudioHal {
 public:
  using CUac1GenericAudioHal::CUac1GenericAudioHal;

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IUsbAudioHal
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                           ULONG bytesToEnd) override;
  using CUac1GenericAudioHal::UsbParseAudioControlInterface;

  // ---- IAudioHal: the record, both parses, then the hardware state.
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override { return C7719AudioHal::ConfigureDevice(); }

 protected:
  NTSTATUS CreateUnit(const UCHAR* descriptor) override { return C7719AudioHal::CreateUnit(descriptor); }
};

class C7746AudioHal : public CChipAudioHal {
 public:
  using CChipAudioHal::CChipAudioHal;
  static NTSTATUS Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);

 protected:
  void SetCapabilityRecord() override;
  CUacUnit* NewUnit(const UCHAR* descriptor, ULONG provisionalId) override;
  CUacUnit* NewFeatureUnit(UCHAR unitId, ULONG provisionalId) override;
};

class C7762AudioHal : public CChipAudioHal {
 public:
  using CChipAudioHal::CChipAudioHal;
  static NTSTATUS Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);

 protected:
  void SetCapabilityRecord() override;
  CUacUnit* NewUnit(const UCHAR* descriptor, ULONG provisionalId) override;
  CUacUnit* NewFeatureUnit(UCHAR unitId, ULONG provisionalId) override;
  // One vendor's speaker terminal 6 is a headphone jack.
  NTSTATUS CreateUnit(const UCHAR* descriptor) override;
};
