// The models of three Audio Class 1.0 chips that the chip-identifying
// factory knows by their vendor strings: the 7746, the 7762 and the TQ4187.
// They are the generic model with their own configuration and AudioControl
// parse: no probing (the capability record is fixed per chip, per profile
// on the TQ4187), and the chip's units without the generic model's vendor
// rewrite and layout check. The TQ4187 also announces its render formats as
// 7.1; every other AudioStreaming rule is the generic model's.
//
// Their non-delegating unknown does not answer IUsbAudioHal, so the device
// object holds none for them: whatever asks the device object for it (an
// output-type change, for one) is refused.
#pragma once

#include "driver/hal/CUac1AudioHal.h"

constexpr ULONG C7746_HAL_TAG = MakeTag("7746");
constexpr ULONG C7762_HAL_TAG = MakeTag("7762");
constexpr ULONG TQ4187_HAL_TAG = MakeTag("4187");

// A TQ4187 whose device descriptor names release 2.00 or later (bcdDevice)
// runs the chip's second firmware, with the second capability profile.
constexpr USHORT TQ4187_SECOND_PROFILE_RELEASE = 0x0200;

class CChipAudioHal : public CUac1AudioHal {
 public:
  using CUac1AudioHal::CUac1AudioHal;

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IUsbAudioHal
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                                                           ULONG bytesToEnd) override;
  using CUac1AudioHal::UsbParseAudioControlInterface;

  // ---- IAudioHal: the record, both parses, then the hardware state.
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override { return ConfigureWithOwnRecord(); }

 protected:
  NTSTATUS CreateUnit(const UCHAR* descriptor) override { return AddUnitFor(descriptor); }
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

// The TQ4187's feature units are its effects units (variants/effects), its
// render streams CTQ4187Render engines that announce every format as 7.1
// and send the device channels 0 and 1.
class CTQ4187AudioHal : public CChipAudioHal {
 public:
  using CChipAudioHal::CChipAudioHal;
  static NTSTATUS Create(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);

  // Which capability profile the attached chip has (1 or 2), as the last
  // configuration found it.
  ULONG Profile() const { return m_Profile; }

 protected:
  // The profile is the chip firmware's: the device descriptor's release.
  void SetCapabilityRecord() override;
  CUacUnit* NewFeatureUnit(UCHAR unitId, ULONG provisionalId) override;
  CUsbStreamEngine* NewRenderEngine(UCHAR interfaceNumber, ULONG terminalNodeId) override;
  WORD AnnouncedChannels(bool render, ULONG channels) const override;
  DWORD AnnouncedChannelMask(bool render, ULONG channels) const override;

 private:
  ULONG m_Profile = 1;
};
