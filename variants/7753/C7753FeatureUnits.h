// The 7753's feature units: Audio Class 1.0 feature units whose level
// scale, node set or mute handling the chip needs changed. The AudioControl
// parse picks the class by unit id and board:
//
// - 13, the master unit after the monitor mixer: its volume goes through a
//   39-entry dB map, its mute lights the mute LED (codec register 1) when
//   "NeedMuteLED" says so, and its nodes also act in software on S/PDIF;
// - 9 and 11, the monitor units: device levels are stretched x3 above 0 dB
//   and x1.5 below; 11 on one board also ORs a forced mute into its mute;
// - 2, 8 and 15, the recording units: x3 above 0 dB, x0.375 below; on one
//   board mute in software only, on another with an LED switch beside;
// - 16, the S/PDIF recording unit: a mute node only, which also mutes in
//   software while its recording input is selected.
//
// Units 13, 16 and the software-mute and LED-switch variants read no vendor
// control block. Everything runs at PASSIVE_LEVEL; the forced mute is set
// from the model's status poll while the property path sets the user's
// mute, so unit 11 serialises the two under a mutex of its own.
#pragma once

#include "driver/common/CKernelMutex.h"
#include "topology/CUac1FeatureUnit.h"

class IC7753CodecWriter;

// The Settings values of the mute LED (one byte each).
constexpr WCHAR C7753_NEED_MUTE_LED[] = u"NeedMuteLED";
constexpr WCHAR C7753_REVERSE_MUTE_LED[] = u"ReverseMuteLED";

// The 39-entry map of unit 13: levels reported and levels sent, both in
// the device's 1/256 dB.
constexpr ULONG C7753_DB_MAP_ENTRIES = 39;
extern const SHORT C7753ReportedLevels[C7753_DB_MAP_ENTRIES];
extern const SHORT C7753DeviceLevels[C7753_DB_MAP_ENTRIES];

// What every 7753 feature unit shares: the model it belongs to and whether
// its initialisation reads the vendor control block.
class C7753FeatureUnit : public CUac1FeatureUnit {
 public:
  C7753FeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec, bool readsVendorBlock)
      : CUac1FeatureUnit(outerUnknown, provisionalId), m_Codec(codec), m_ReadsVendorBlock(readsVendorBlock) {}

 protected:
  NTSTATUS PrepareNodes() override;
  // A node of this unit (nonpaged, "7753") with id *nextId: made, bound by
  // `init`, added to the model and the unit; *nextId advances on success.
  // `made` (optional) tells whether the node could be allocated at all.
  template <typename TNode, typename TInit>
  NTSTATUS AddOwnNode(IAudioHal* owner, PULONG nextId, TInit init, bool* made = nullptr);
  // The node builder of the units with nodes of their own: the unit's
  // identity, the mute node (required) and, where the unit has a volume
  // control and the class a volume node, that node.
  template <typename TMute, typename TVolume>
  NTSTATUS BuildOwnNodes(IAudioHal* owner);

  IC7753CodecWriter* const m_Codec;  // no reference: the model owns this unit
  const bool m_ReadsVendorBlock;
};

class C7753FeatureUnit13 : public C7753FeatureUnit {
 public:
  C7753FeatureUnit13(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec)
      : C7753FeatureUnit(outerUnknown, provisionalId, codec, false) {}

  // The device's mute, then the LED when the board has one.
  NTSTATUS STDMETHODCALLTYPE SetSwitchValue(ULONG controlSelector, ULONG channel, UCHAR value) override;
  // Volume levels through the dB map; the tone controls as any unit's.
  NTSTATUS STDMETHODCALLTYPE GetLevel(ULONG controlSelector, ULONG channel, PLONG level) override;
  NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG controlSelector, ULONG channel, LONG level) override;
  // The device's range on channel 1 through the map, in quarter-dB steps.
  NTSTATUS STDMETHODCALLTYPE GetLevelRange(ULONG controlSelector, PLONG maximum, PLONG minimum, PLONG step) override;

  UCHAR NeedMuteLed() const { return m_NeedMuteLed; }
  UCHAR ReverseMuteLed() const { return m_ReverseMuteLed; }

 protected:
  NTSTATUS PrepareNodes() override;
  NTSTATUS BuildNodes(IAudioHal* owner) override;

  UCHAR m_NeedMuteLed = 0;
  UCHAR m_ReverseMuteLed = 0;
};

// A unit whose device levels are stretched: x3 above 0 dB and by
// `belowNumerator` / `belowDenominator` below, with a maximum whose low bits
// the device does not mean (`maximumMask`) and a 1.5 dB step.
class C7753ScaledFeatureUnit : public C7753FeatureUnit {
 public:
  struct Scale {
    LONG belowNumerator;
    LONG belowDenominator;
    USHORT maximumMask;
    // One-byte (tone) ranges read as they are; otherwise as two bytes.
    bool toneRangeUnscaled;
  };

  C7753ScaledFeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec, bool readsVendorBlock,
                         const Scale& scale)
      : C7753FeatureUnit(outerUnknown, provisionalId, codec, readsVendorBlock), m_Scale(scale) {}

  NTSTATUS STDMETHODCALLTYPE GetLevel(ULONG controlSelector, ULONG channel, PLONG level) override;
  NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG controlSelector, ULONG channel, LONG level) override;
  NTSTATUS STDMETHODCALLTYPE GetLevelRange(ULONG controlSelector, PLONG maximum, PLONG minimum, PLONG step) override;

  // A device level as reported, and a level to send (both truncate toward
  // zero); minus infinity passes unchanged.
  LONG ToReported(LONG level) const;
  LONG ToDevice(LONG level) const;

 private:
  const Scale m_Scale;
};

// Monitor units 9 and 11.
class C7753FeatureUnit9 : public C7753ScaledFeatureUnit {
 public:
  C7753FeatureUnit9(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec);
};

// Recording units 2, 8 and 15.
class C7753FeatureUnit2 : public C7753ScaledFeatureUnit {
 public:
  C7753FeatureUnit2(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec, bool readsVendorBlock = true);
};

class C7753FeatureUnit16 : public C7753FeatureUnit {
 public:
  C7753FeatureUnit16(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec)
      : C7753FeatureUnit(outerUnknown, provisionalId, codec, false) {}

 protected:
  NTSTATUS BuildNodes(IAudioHal* owner) override;
};

// A recording unit whose mute lives in the driver alone.
class C7753FeatureUnit2SoftMute : public C7753FeatureUnit2 {
 public:
  C7753FeatureUnit2SoftMute(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec)
      : C7753FeatureUnit2(outerUnknown, provisionalId, codec, false) {}

 protected:
  NTSTATUS BuildNodes(IAudioHal* owner) override;
};

// A recording unit with the generic nodes and a switch that drives the LED.
class C7753FeatureUnit2LedSwitch : public C7753FeatureUnit2 {
 public:
  C7753FeatureUnit2LedSwitch(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec)
      : C7753FeatureUnit2(outerUnknown, provisionalId, codec, false) {}

 protected:
  NTSTATUS BuildNodes(IAudioHal* owner) override;
};

// Unit 11 on the polled board: channel 0 only; the device gets the user's
// mute byte OR the forced mute, so it always ends with both applied.
class C7753FeatureUnit11ForcedMute : public C7753FeatureUnit9 {
 public:
  C7753FeatureUnit11ForcedMute(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec)
      : C7753FeatureUnit9(outerUnknown, provisionalId, codec) {}

  NTSTATUS STDMETHODCALLTYPE GetSwitchValue(ULONG controlSelector, ULONG channel, PUCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE SetSwitchValue(ULONG controlSelector, ULONG channel, UCHAR value) override;

  // Sets or clears the forced mute and sends the mute again.
  NTSTATUS SetForcedMute(UCHAR forced);
  UCHAR GetForcedMute() const { return m_ForcedMute; }

 private:
  CKernelMutex m_MuteLock;
  UCHAR m_ForcedMute = 0;
  UCHAR m_LastMute = 0;
};
