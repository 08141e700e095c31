// Integer-factor sample-rate conversion of one channel between a device rate
// and the engine rate, in both directions, with its Butterworth designs.
#pragma once

#include <cstdint>

#include "globaltopo/common/VSF/LinearPhaseIIR.h"

// Butterworth designs by the bilinear transform with prewarping, cutoff at
// 1/f of the Nyquist frequency, one row per f = 2, 3, 4.
constexpr int32_t VSF_FILTER_DESIGNS = 3;
constexpr int32_t VSF_ORDER3_COUNT = 4;
constexpr int32_t VSF_ORDER6_COUNT = 7;
extern const float LowPass3B[VSF_FILTER_DESIGNS][VSF_ORDER3_COUNT];
extern const float LowPass3A[VSF_FILTER_DESIGNS][VSF_ORDER3_COUNT];
extern const float HighPass3B[VSF_FILTER_DESIGNS][VSF_ORDER3_COUNT];
extern const float HighPass3A[VSF_FILTER_DESIGNS][VSF_ORDER3_COUNT];
extern const float LowPass6B[VSF_FILTER_DESIGNS][VSF_ORDER6_COUNT];
extern const float LowPass6A[VSF_FILTER_DESIGNS][VSF_ORDER6_COUNT];

// Row of the designs for a conversion factor: factor 1 takes f = 2, factor 2
// f = 3, factor 3 f = 4. Larger factors have no design of their own and take
// the narrowest one.
int32_t VsfDesignRow(int32_t factor);

constexpr int32_t VSF_FILTER_PLAIN = 0;         // sixth order, forwards only
constexpr int32_t VSF_FILTER_LINEAR_PHASE = 1;  // third order, forwards and backwards
constexpr int32_t VSF_LINEAR_PHASE_LOOK_AHEAD = 64;
constexpr int32_t VSF_SRC_WORK_LENGTH = EachChannelSampleCntMax * 4;

class CIntegerSrc : public CDspPoolObject {
 public:
  CIntegerSrc(int32_t deviceRate, int32_t engineRate, int32_t filterKind);
  ~CIntegerSrc();

  // Filters n input samples and keeps every factor-th: n / factor outputs.
  void Decimate(float* out, const float* in, int32_t n);
  // Stuffs factor - 1 zeros after every input, filters and restores the
  // level: n x factor outputs.
  void Interpolate(float* out, const float* in, int32_t n);

  int32_t Direction() const { return m_nDirection; }
  int32_t Factor() const { return m_nSrcFactor; }
  int32_t FilterKind() const { return m_nFilterKind; }
  // Samples of look-ahead the decimation or interpolation filter adds.
  int32_t LookAhead() const { return m_nFilterKind == VSF_FILTER_LINEAR_PHASE ? VSF_LINEAR_PHASE_LOOK_AHEAD : 0; }
  bool IsValid() const;

 private:
  void Init();
  // Runs one direction's filter over n samples of src into dst; false when
  // the block is refused.
  bool Filter(CLinearPhaseIir* linear, CIirSection* plain, float* dst, const float* src, int32_t n);

  int32_t m_nEngineRate = 0;
  int32_t m_nDeviceRate = 0;
  int32_t m_nDirection = 0;
  int32_t m_nSrcFactor = 1;
  CLinearPhaseIir* m_pDecimateLinear = nullptr;
  CLinearPhaseIir* m_pInterpolateLinear = nullptr;
  CIirSection* m_pDecimatePlain = nullptr;
  CIirSection* m_pInterpolatePlain = nullptr;
  float* m_pWork = nullptr;
  int32_t m_nFilterKind = VSF_FILTER_LINEAR_PHASE;
};
