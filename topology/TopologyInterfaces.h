// The private interfaces between the Audio Class unit objects, the control
// nodes they create and the topology filter that shows those nodes. Slots are
// in table order after the three IUnknown slots; users depend on the order,
// so new operations go at the end.
//
// Level values everywhere here are signed 16.16 fixed-point decibels
// (1/65536 dB); LEVEL_MINUS_INFINITY stands for silence and is never clamped.
// Switch values are one byte, 0 off and anything else on. A channel index is
// the control's logical channel 0, 1, ... as the nodes see it; the units map
// it to the device's channel numbers.
#pragma once

#include "driver/common/PrivateInterfaces.h"

constexpr LONG LEVEL_MINUS_INFINITY = static_cast<LONG>(0x80000000);

// ============================================================================
// Unit side: what the nodes ask of the unit that created them
// ============================================================================

// The unit objects' extension of ITopoNode. The hardware model keeps its
// units as ITopoNode pointers of this interface; it is not handed out by
// QueryInterface.
struct IUacUnit : ITopoNode {
  // Keeps a copy of the class-specific descriptor (bLength bytes) and the
  // owning hardware model (no reference).
  virtual NTSTATUS STDMETHODCALLTYPE AttachDescriptor(PVOID descriptor, IAudioHal* owner) = 0;
  // A status word named the unit: re-read what can change and tell which
  // node stands for the unit.
  virtual NTSTATUS STDMETHODCALLTYPE OnControlChange(ULONG controlSelector, ULONG channel, PULONG nodeId) = 0;
};

// One-byte controls of a feature unit (mute, AGC, loudness, vendor bytes).
inline constexpr GUID IID_ISwitchControl =
    DEFINE_GUID_VALUE(0xAE45E80C, 0xD8A3, 0x4E59, 0xB8, 0xDF, 0xC0, 0xEC, 0x0B, 0x62, 0xF3, 0xCC);
struct ISwitchControl : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetSwitchValue(ULONG controlSelector, ULONG channel, PUCHAR value) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetSwitchValue(ULONG controlSelector, ULONG channel, UCHAR value) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetSwitchChannelCount(ULONG controlSelector, PULONG count) = 0;
};

// Level controls of a feature unit (volume and the tone controls).
inline constexpr GUID IID_ILevelControl =
    DEFINE_GUID_VALUE(0x934E9EE1, 0x3402, 0x4AE4, 0xB5, 0x20, 0xE1, 0xE4, 0x92, 0x5F, 0xAC, 0x8E);
struct ILevelControl : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetLevel(ULONG controlSelector, ULONG channel, PLONG level) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG controlSelector, ULONG channel, LONG level) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetLevelRange(ULONG controlSelector, PLONG maximum, PLONG minimum,
                                                   PLONG step) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetLevelChannelCount(ULONG controlSelector, PULONG count) = 0;
};

// A clock entity. No Audio Class 1.0 unit has one; the clock node answers it.
inline constexpr GUID IID_IClockSource =
    DEFINE_GUID_VALUE(0xE1A6E8A0, 0x3C43, 0x4950, 0x90, 0x1B, 0x9E, 0x84, 0xF6, 0xC3, 0xC2, 0xEC);
struct IClockSource : IUnknown {
  // `count` in: room in `rates`; out: the rates copied.
  virtual NTSTATUS STDMETHODCALLTYPE GetRateList(PULONG count, PULONG rates) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetRateCount(PULONG count) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetRate(ULONG rate) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetRate(PULONG rate) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE IsClockValid(PUCHAR valid) = 0;
};

// An Audio Class 2.0 terminal: the id of the clock entity that drives it.
inline constexpr GUID IID_ITerminalClock =
    DEFINE_GUID_VALUE(0x5E15A0B1, 0x31C3, 0x4AA4, 0xA5, 0x89, 0x92, 0xE7, 0xC9, 0xAA, 0xD1, 0xCB);
struct ITerminalClock : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetClockSourceId(PULONG clockId) = 0;
};

// ============================================================================
// Node side: what the topology filter asks of the nodes
// ============================================================================

inline constexpr GUID IID_ISwitchNode =
    DEFINE_GUID_VALUE(0x8EDE1D42, 0x90E4, 0x4B08, 0x96, 0xEF, 0x7C, 0xBB, 0xC4, 0x72, 0xF9, 0xED);
struct ISwitchNode : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetValue(ULONG channel, PUCHAR value) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetValue(ULONG channel, UCHAR value) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetChannelCount(PULONG count) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Init(ULONG sourceId, ULONG channels) = 0;
};

inline constexpr GUID IID_ILevelNode =
    DEFINE_GUID_VALUE(0xB0446B44, 0x06EB, 0x403F, 0x8B, 0x78, 0xE1, 0xE9, 0x63, 0xDE, 0xA3, 0xCD);
struct ILevelNode : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetLevel(ULONG channel, PLONG level) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG channel, LONG level) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetRange(PLONG maximum, PLONG minimum, PLONG step) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetChannelCount(PULONG count) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Init(ULONG sourceId, ULONG channels, LONG maximum, LONG minimum, LONG step) = 0;
};

// Told by an output-type node which terminal type (PinCategory) is in use
// downstream. The callback object, when given, is the hardware model's
// notification object: a sink that reloads its values announces the change
// on it.
inline constexpr GUID IID_IOutputTypeSink =
    DEFINE_GUID_VALUE(0x03449A8C, 0x92DC, 0x45CA, 0x85, 0x9F, 0xAC, 0x21, 0xAD, 0x70, 0xC5, 0x9F);
struct IOutputTypeSink : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE SetOutputType(ULONG outputType, PCALLBACK_OBJECT callbackObject) = 0;
};

// A sum node that can stand in as the stereo-mix input pin.
inline constexpr GUID IID_IStereoMixNode =
    DEFINE_GUID_VALUE(0x9E3FB612, 0xFCD2, 0x4C51, 0x88, 0xBA, 0xB1, 0xBD, 0x37, 0x34, 0xF1, 0xB5);
struct IStereoMixNode : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE SetStereoMixPin(UCHAR stereoMix) = 0;
};

// One byte-sized setting of a device-specific processing block, shown under
// a node name of its own.
inline constexpr GUID IID_IProcessingNode =
    DEFINE_GUID_VALUE(0x34480E1C, 0xF752, 0x41EE, 0x81, 0xAE, 0x70, 0x17, 0x4C, 0x8F, 0xB3, 0xB3);
struct IProcessingNode : IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE GetNameGuid(GUID* name) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetValue(UCHAR value) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetValue(PUCHAR value) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetParameterCount(PULONG count) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetParameters(ULONG first, ULONG count, PULONG values) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE SetParameters(ULONG first, ULONG count, const ULONG* values) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE GetParameterInfo(ULONG index, PULONG info0, PULONG info1, PULONG info2) = 0;
  virtual NTSTATUS STDMETHODCALLTYPE Init(ULONG sourceId) = 0;
};
