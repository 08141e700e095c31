#include "globaltopo/common/VSF/HeadphoneVirtualizer.h"

#include "driver/common/SpinLockScope.h"
#include "primitives/Vector.h"

namespace {

constexpr float kCentreLevel = 0.707f;

}  // namespace

int32_t MapAngleCode(int32_t flag, int32_t angle) {
  const int32_t variant = flag != 0 ? 1 : 0;
  switch (angle) {
    case 0: case 25: return 24 + variant;
    case 1: case 30: return 29 + variant;
    case 2: case 35: return 34 + variant;
    case 3: case 40: return 39 + variant;
    case 31: return 31;
    default: return -1;
  }
}

void MixdownTo2(float* const* dst, int32_t dstCount, const float* const* src, int32_t srcCount, int32_t frames,
                float divisor) {
  if (srcCount == 1) {
    if (dstCount >= 1 && dst[0] != src[0]) VecCopyF32(src[0], dst[0], frames);
    return;
  }
  if (srcCount == 2) {
    for (int32_t c = 0; c < 2 && c < dstCount; ++c)
      if (dst[c] != src[c]) VecCopyF32(src[c], dst[c], frames);
    return;
  }
  if (dstCount != 2) {
    CopyChannels(dst, dstCount, src, srcCount, frames);
    return;
  }
  if (srcCount < 1) return;
  // Channels the source does not have count as silence.
  const float c = 1.0f / divisor;
  auto at = [&](int32_t ch, int32_t i) { return ch < srcCount ? src[ch][i] : 0.0f; };
  for (int32_t i = 0; i < frames; ++i) {
    const float s2 = kCentreLevel * at(2, i);
    float l = c * (at(0, i) + s2 + at(3, i) + at(4, i));
    float r = c * (at(1, i) + s2 + at(3, i) + at(5, i));
    if (srcCount >= 8) {
      l += c * src[6][i];
      r += c * src[7][i];
    }
    dst[0][i] = l;
    dst[1][i] = r;
  }
}

CHeadphoneVirtualizer::CHeadphoneVirtualizer() {
  KeInitializeSpinLock(&m_EngineLock);
  m_pEngine = new (NonPagedPool, VSF_POOL_TAG) CHeadphoneEngine();
}

CHeadphoneVirtualizer::~CHeadphoneVirtualizer() {
  delete m_pEngine;
  m_pEngine = nullptr;
}

int32_t CHeadphoneVirtualizer::SetFormat(const WAVEFORMATEX* format) {
  if (!m_pEngine || !format) return -1;
  CSpinLockScope guard(m_EngineLock);
  return m_pEngine->Configure(int32_t(format->nSamplesPerSec), VSF_MAX_CHANNELS, format->nChannels);
}

void CHeadphoneVirtualizer::SetCtcEnable(int32_t value) {
  m_nCtcEnable = value;
  if (!m_pEngine) return;
  CSpinLockScope guard(m_EngineLock);
  m_pEngine->Fir().SetCtcAngle(value != 0 ? m_nCtcAngle : 0);
}

void CHeadphoneVirtualizer::SetCtcAngle(int32_t index) {
  static constexpr int32_t kDegrees[5] = {5, 10, 15, 20, 30};
  m_nCtcAngle = (index >= 0 && index < 5) ? kDegrees[index] : index;
  if (!m_pEngine) return;
  CSpinLockScope guard(m_EngineLock);
  m_pEngine->Fir().SetCtcAngle(m_nCtcEnable != 0 ? m_nCtcAngle : 0);
}

void CHeadphoneVirtualizer::ReloadHeadphoneFilters() {
  if (!m_pEngine || m_nCtcEnable != 0) return;
  CSpinLockScope guard(m_EngineLock);
  m_pEngine->Fir().SelectRoom(m_nHeadphoneRoom, MapAngleCode(m_nHeadphoneFlag, m_nHeadphoneAngle));
}

void CHeadphoneVirtualizer::ReloadSpeakerFilters() {
  if (!m_pEngine || m_nCtcEnable == 0) return;
  CSpinLockScope guard(m_EngineLock);
  m_pEngine->Fir().SelectRoom(m_nSpeakerRoom, MapAngleCode(m_nSpeakerFlag, m_nSpeakerAngle));
}

void CHeadphoneVirtualizer::SetHeadphoneRoom(int32_t value) {
  m_nHeadphoneRoom = value;
  ReloadHeadphoneFilters();
}

void CHeadphoneVirtualizer::SetHeadphoneAngle(int32_t value) {
  m_nHeadphoneAngle = value;
  ReloadHeadphoneFilters();
}

void CHeadphoneVirtualizer::SetHeadphoneFlag(int32_t value) {
  m_nHeadphoneFlag = value;
  ReloadHeadphoneFilters();
}

void CHeadphoneVirtualizer::SetSpeakerRoom(int32_t value) {
  m_nSpeakerRoom = value;
  ReloadSpeakerFilters();
}

void CHeadphoneVirtualizer::SetSpeakerAngle(int32_t value) {
  m_nSpeakerAngle = value;
  ReloadSpeakerFilters();
}

void CHeadphoneVirtualizer::SetSpeakerFlag(int32_t value) {
  m_nSpeakerFlag = value;
  ReloadSpeakerFilters();
}

void CHeadphoneVirtualizer::Process(float* const* channels, int32_t frames) {
  if (m_nEnable != 0 && m_pEngine) {
    CSpinLockScope guard(m_EngineLock);
    if (m_pEngine->IsReady()) {
      m_pEngine->ProcessFrames(channels, 2, channels, VSF_MAX_CHANNELS, frames);
      return;
    }
  }
  MixdownTo2(channels, 2, channels, VSF_MAX_CHANNELS, frames, 2.0f);
}
