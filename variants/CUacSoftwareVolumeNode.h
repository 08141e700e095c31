// A volume node that also applies its level to the stream in software: the
// device gets the level as from any volume node, and the node multiplies
// each channel of the stream by the level's linear gain. Behind a selector
// it works only while its input is the selected one.
//
// The gains are written at PASSIVE_LEVEL (one aligned 32-bit store each)
// and read without a lock by Process, which runs at DISPATCH_LEVEL under
// the stream engine's list lock.
#pragma once

#include <atomic>

#include "variants/CUacDeviceNodes.h"

constexpr ULONG SOFTWARE_VOLUME_GAIN_TAG = MakeTag("VTag");

// The linear gain of a level in 1/65536 dB, in single precision; silence
// gives 0.
float LevelToGain(LONG level);

class CUacSoftwareVolumeNode : public IDspProcessor, public CUacVolumeNode, public ISelectorInputNode {
 public:
  CUacSoftwareVolumeNode(PUNKNOWN outerUnknown, ULONG nodeId) : CUacVolumeNode(outerUnknown, nodeId) {}
  ~CUacSoftwareVolumeNode() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  NTSTATUS InitFromUnit(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT settingsOwner);

  // ---- ILevelNode: the device's answer does not hold the gain back.
  NTSTATUS STDMETHODCALLTYPE SetLevel(ULONG channel, LONG level) override;
  // ---- IOutputTypeSink: every channel takes its level for the new type.
  NTSTATUS STDMETHODCALLTYPE SetOutputType(ULONG outputType, PCALLBACK_OBJECT callbackObject) override;
  // ---- ITopoNode: the device's levels come back through SetLevel.
  NTSTATUS STDMETHODCALLTYPE RefreshFromDevice() override;

  // ---- IDspProcessor
  NTSTATUS STDMETHODCALLTYPE Reserved1() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Reserved2() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE ResetLimiters() override { return STATUS_SUCCESS; }
  // Integer PCM only (as per-channel floats), in place; channels the node
  // has no level for pass unchanged.
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
  NTSTATUS STDMETHODCALLTYPE Reset() override { return STATUS_SUCCESS; }

  // ---- ISelectorInputNode
  NTSTATUS STDMETHODCALLTYPE OnSelectionChange(ULONG, ULONG) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE SetSelectedInput(ULONG input) override;
  NTSTATUS STDMETHODCALLTYPE SetInputIndex(ULONG input) override;

  // The gain Process applies to `channel` (0 for a channel it has none for).
  float GetGain(ULONG channel) const;

 private:
  void StoreGain(ULONG channel, float gain);

  float* m_Gains = nullptr;  // m_ChannelCount + 1 entries
  CSelectorInputState m_Selection;
};
