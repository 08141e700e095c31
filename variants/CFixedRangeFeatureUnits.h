// The feature units of the 7746 and 7762 chips. Their level controls do
// not report usable ranges: each unit class has a fixed range and its own
// fixed conversion between the device's values and 16.16 dB levels, and
// the chips' bass, mid and treble differ (one byte in 1/4 dB on the 7746,
// two bytes through the class's conversion on the 7762). The switch
// controls (mute, AGC, loudness) are one byte on the master alone.
//
// Units are chosen by bUnitID: 9, 10-12 and 13-14 on the 7746; 9, 10 and
// 13 on the 7762. They build the standard control nodes only: no vendor
// control block is read and no processing node is made.
//
// A control present on one channel only is addressed where it is: the
// master when the master carries it, else the first channel.
#pragma once

#include "topology/CUac1FeatureUnit.h"

constexpr ULONG C7746_UNIT_TAG = MakeTag("7746");
constexpr ULONG C7762_UNIT_TAG = MakeTag("7762");
constexpr ULONG C7746_NODE_TAG = MakeTag("6477");
constexpr ULONG C7762_NODE_TAG = C7762_UNIT_TAG;

// (level, device value) pairs of the 7746 unit 9, both in 1/256 dB: the
// device steps 1 dB, the level it stands for does not.
struct DbMapPair {
  SHORT level;
  SHORT device;
};
extern const DbMapPair C7746FeatureUnit9DbMap[38];

class CFixedRangeFeatureUnit : public CUac1FeatureUnit {
 public:
  CFixedRangeFeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId, ULONG nodeTag)
      : CUac1FeatureUnit(outerUnknown, provisionalId), m_NodeTag(nodeTag) {}

  // ---- ISwitchControl: channel 0 (the master) only.
  NTSTATUS STDMETHODCALLTYPE GetSwitchValue(ULONG controlSelector, ULONG channel, PUCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE SetSwitchValue(ULONG controlSelector, ULONG channel, UCHAR value) override;
  NTSTATUS STDMETHODCALLTYPE GetSwitchChannelCount(ULONG controlSelector, PULONG count) override;

  // ---- ILevelControl
  NTSTATUS STDMETHODCALLTYPE GetLevel(ULONG controlSelector, ULONG channel, PLONG level) override;
  NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG controlSelector, ULONG channel, LONG level) override;
  // The device is asked (its failure returned, nothing written), then the
  // class's fixed range is answered whatever the device said; one-byte
  // controls answer the device's values.
  NTSTATUS STDMETHODCALLTYPE GetLevelRange(ULONG controlSelector, PLONG maximum, PLONG minimum,
                                           PLONG step) override;

  // The class's conversions of two-byte values (r is never -32768).
  virtual LONG LevelFromDevice(LONG r) const = 0;
  virtual LONG DeviceFromLevel(LONG level) const = 0;

 protected:
  struct FixedRange {
    LONG maximum, minimum, step;
  };
  virtual FixedRange Range() const = 0;
  // Whether the control is one byte in 1/4 dB (the 7746's tone controls).
  virtual bool IsOneByteLevel(ULONG controlSelector) const = 0;

  // The master entry, then every channel's, must fit: a control size of 0
  // or a descriptor without its master entry is refused.
  bool DescriptorFits(const UCHAR* descriptor, ULONG length) const override;
  NTSTATUS PrepareNodes() override { return STATUS_SUCCESS; }
  NTSTATUS BuildNodes(IAudioHal* owner) override;

 private:
  const ULONG m_NodeTag;
};

class C7746FeatureUnit : public CFixedRangeFeatureUnit {
 public:
  C7746FeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId)
      : CFixedRangeFeatureUnit(outerUnknown, provisionalId, C7746_NODE_TAG) {}

 protected:
  bool IsOneByteLevel(ULONG controlSelector) const override;
};

class C7762FeatureUnit : public CFixedRangeFeatureUnit {
 public:
  C7762FeatureUnit(PUNKNOWN outerUnknown, ULONG provisionalId)
      : CFixedRangeFeatureUnit(outerUnknown, provisionalId, C7762_NODE_TAG) {}

 protected:
  bool IsOneByteLevel(ULONG) const override { return false; }
};

class C7746FeatureUnit9 : public C7746FeatureUnit {
 public:
  using C7746FeatureUnit::C7746FeatureUnit;
  LONG LevelFromDevice(LONG r) const override;
  LONG DeviceFromLevel(LONG level) const override;

 protected:
  FixedRange Range() const override { return {0, LONG(0xFFDF0000), 0x2000}; }
};

// Reads 1.5 dB a count from +6.5 dB at count 0; writes are the exact inverse.
class C7746FeatureUnit10 : public C7746FeatureUnit {
 public:
  using C7746FeatureUnit::C7746FeatureUnit;
  LONG LevelFromDevice(LONG r) const override;
  LONG DeviceFromLevel(LONG level) const override;

 protected:
  FixedRange Range() const override { return {0x210000, LONG(0xFFFA0000), 0x18000}; }
};

class C7746FeatureUnit13 : public C7746FeatureUnit {
 public:
  using C7746FeatureUnit::C7746FeatureUnit;
  LONG LevelFromDevice(LONG r) const override;
  LONG DeviceFromLevel(LONG level) const override;

 protected:
  FixedRange Range() const override { return {0x168000, LONG(0xFFDC0000), 0x18000}; }
};

class C7762FeatureUnit9 : public C7762FeatureUnit {
 public:
  using C7762FeatureUnit::C7762FeatureUnit;
  LONG LevelFromDevice(LONG r) const override;
  LONG DeviceFromLevel(LONG level) const override;

 protected:
  FixedRange Range() const override { return {0, LONG(0xFFDB0000), 0x10000}; }
};

class C7762FeatureUnit10 : public C7762FeatureUnit {
 public:
  using C7762FeatureUnit::C7762FeatureUnit;
  LONG LevelFromDevice(LONG r) const override;
  LONG DeviceFromLevel(LONG level) const override;

 protected:
  FixedRange Range() const override { return {0x168000, 0, 0x18000}; }
};

class C7762FeatureUnit13 : public C7762FeatureUnit {
 public:
  using C7762FeatureUnit::C7762FeatureUnit;
  LONG LevelFromDevice(LONG r) const override;
  LONG DeviceFromLevel(LONG level) const override;

 protected:
  FixedRange Range() const override { return {0x90001, LONG(0xFFF28000), 0x18000}; }
};
