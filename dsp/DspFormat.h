// What the signal path needs to know of a wave format.
#pragma once

#include "kernel/ntdef.h"
#include "ks/ksmedia.h"

// The software signal path processes at most this many channels; every
// per-channel array of its objects has this many entries.
constexpr ULONG MAX_SOFTWARE_DSP_PROCESS_CHANNELS = 8;

// Pool tags of the signal path's objects and buffers.
constexpr ULONG DSP_OBJECT_TAG = MakeTag("DSPS");   // converters, their stages and work buffers
constexpr ULONG DSP_STAGE_TAG = MakeTag("SRCX");    // per-channel states and buffers of a stage
constexpr ULONG DSP_LIMITER_TAG = MakeTag("DSPs");  // per-channel buffers of a peak limiter

// wFormatTag, or for an extensible format the first 16 bits of its
// sub-format: 1 integer PCM, 3 IEEE float.
inline USHORT EffectiveFormatTag(const WAVEFORMATEXTENSIBLE& format) {
  if (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) return static_cast<USHORT>(format.SubFormat.Data1 & 0xFFFF);
  return format.Format.wFormatTag;
}
