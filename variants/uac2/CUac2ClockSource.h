// An Audio Class 2.0 clock source: the device's sampling-frequency
// authority. It keeps nothing of its own; every rate query goes to the
// device. Its one node is a clock node, which the stream engines ask for
// the rates their formats are offered at and set when a stream opens.
#pragma once

#include "variants/uac2/Uac2Entity.h"

class CUac2ClockSource : public CUac2Entity, public IClockSource {
 public:
  CUac2ClockSource(PUNKNOWN outerUnknown, ULONG provisionalId)
      : CUac2Entity(outerUnknown, provisionalId, UAC2_SUBTYPE_CLOCK_SOURCE) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IClockSource
  // `count` in: room in `rates`; out: the rates stored, at most that.
  // Only discrete subranges (dMIN = dMAX, dRES 0) give a rate; any other
  // makes the answer STATUS_INVALID_PARAMETER, with the discrete ones
  // stored all the same. A rate no stream could carry (0, or above
  // UAC2_MAX_CLOCK_RATE) is left out.
  NTSTATUS STDMETHODCALLTYPE GetRateList(PULONG count, PULONG rates) override;
  NTSTATUS STDMETHODCALLTYPE GetRateCount(PULONG count) override;
  // A clock whose frequency control the host may not set (bmControls) is
  // not asked: the rate it runs at succeeds, any other is
  // STATUS_NOT_SUPPORTED, with a debug line naming both.
  NTSTATUS STDMETHODCALLTYPE SetRate(ULONG rate) override;
  // A reply shorter than the value leaves the caller's variable as it was;
  // a rate no stream could carry is STATUS_DEVICE_DATA_ERROR.
  NTSTATUS STDMETHODCALLTYPE GetRate(PULONG rate) override;
  NTSTATUS STDMETHODCALLTYPE IsClockValid(PUCHAR valid) override;

 protected:
  bool DescriptorFits(const UCHAR*, ULONG length) const override { return length >= 4; }
  bool IsFrequencyProgrammable() const;
  // CUR of the sampling frequency as the device answers it.
  NTSTATUS ReadCurrentRate(PULONG rate);
  NTSTATUS BuildNodes(IAudioHal* model) override;
};
