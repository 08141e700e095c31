// The binaural engine as its effect node drives it: the user-facing settings
// of headphone mode (no cross-talk cancellation) and speaker mode (with it),
// translated into the convolution stage's filter keys, and block processing
// through the engine or, when disabled, through a plain stereo downmix.
#pragma once

#include <cstdint>

#include "globaltopo/common/VSF/AudioApp.h"
#include "kernel/sync.h"
#include "ks/ksmedia.h"

constexpr ULONG VSF_CONTROL_TAG = MakeTag("QLMN");

// Angle index (0-3) or angle code of a mode, with its variant flag, to the
// convolution stage's angle code; -1 for an angle without one.
int32_t MapAngleCode(int32_t flag, int32_t angle);

// Downmix of up to eight channels (front left, front right, centre,
// low-frequency, back left, back right, side left, side right) to two, each
// source scaled by 1/divisor and the centre by 0.707/divisor. Works in place.
void MixdownTo2(float* const* dst, int32_t dstCount, const float* const* src, int32_t srcCount, int32_t frames,
                float divisor);

class CHeadphoneVirtualizer : public CDspPoolObject {
 public:
  CHeadphoneVirtualizer();
  virtual ~CHeadphoneVirtualizer();
  CHeadphoneVirtualizer(const CHeadphoneVirtualizer&) = delete;
  CHeadphoneVirtualizer& operator=(const CHeadphoneVirtualizer&) = delete;

  // 1, or -1 without an engine (or without a format).
  int32_t SetFormat(const WAVEFORMATEX* format);
  void SetEnable(int32_t value) { m_nEnable = value; }
  void SetCtcEnable(int32_t value);
  void SetCtcAngle(int32_t index);
  void SetHeadphoneRoom(int32_t value);
  void SetHeadphoneAngle(int32_t value);
  void SetHeadphoneFlag(int32_t value);
  void SetSpeakerRoom(int32_t value);
  void SetSpeakerAngle(int32_t value);
  void SetSpeakerFlag(int32_t value);

  int32_t GetEnable() const { return m_nEnable; }
  int32_t GetCtcEnable() const { return m_nCtcEnable; }
  int32_t GetCtcAngle() const { return m_nCtcAngle; }
  int32_t GetHeadphoneRoom() const { return m_nHeadphoneRoom; }
  int32_t GetHeadphoneAngle() const { return m_nHeadphoneAngle; }
  int32_t GetHeadphoneFlag() const { return m_nHeadphoneFlag; }
  int32_t GetSpeakerRoom() const { return m_nSpeakerRoom; }
  int32_t GetSpeakerAngle() const { return m_nSpeakerAngle; }
  int32_t GetSpeakerFlag() const { return m_nSpeakerFlag; }

  // In place on eight channel pointers: the binaural pair (one engine block
  // late) or the half-level downmix replaces channels 0 and 1.
  void Process(float* const* channels, int32_t frames);

  CHeadphoneEngine* Engine() { return m_pEngine; }

 private:
  void ReloadHeadphoneFilters();
  void ReloadSpeakerFilters();

  CHeadphoneEngine* m_pEngine = nullptr;
  int32_t m_nCtcEnable = 0;
  int32_t m_nEnable = 0;
  int32_t m_nSpeakerRoom = 1;
  int32_t m_nHeadphoneRoom = 1;
  int32_t m_nSpeakerAngle = 30;
  int32_t m_nHeadphoneAngle = 30;
  int32_t m_nCtcAngle = 20;
  int32_t m_nSpeakerFlag = 0;
  int32_t m_nHeadphoneFlag = 0;
  // A filter reload from a setter must not run inside a block of Process on
  // the stream path: both hold this lock.
  KSPIN_LOCK m_EngineLock{};
};
