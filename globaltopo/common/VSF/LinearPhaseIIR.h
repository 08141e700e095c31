// Direct-form IIR filtering for the engine's rate converters: one section,
// and a forward-backward pair of sections that gives a linear-phase response
// at the price of a fixed look-ahead.
#pragma once

#include <cstdint>

#include "globaltopo/common/VSF/VsfCommon.h"

// y[n] = sum b[k] x[n-k] - sum over k >= 1 of a[k] y[n-k]; a[0] is taken as
// 1. A numerator or denominator of one coefficient counts as absent, so a
// section without either passes its input through.
class CIirSection : public CDspPoolObject {
 public:
  CIirSection(const float* b, int32_t nb, const float* a, int32_t na);
  ~CIirSection() { Free(); }

  // Filters n samples into out, or in place when out is null; returns where
  // the result went.
  float* Process(float* out, const float* in, int32_t n);
  void Reset();
  void Free();

  bool IsValid() const { return m_bValid != 0; }

 private:
  int32_t m_bValid = 0;
  float* m_pA = nullptr;  // na coefficients, then na history values
  float* m_pB = nullptr;  // nb coefficients, then nb history values
  int32_t m_nA = 0;
  int32_t m_nB = 0;
  int32_t m_nBIndex = 0;
  int32_t m_nAIndex = 0;
  float* m_pBHistory = nullptr;
  float* m_pAHistory = nullptr;
};

// Runs the signal through a section forwards, then the last look-ahead +
// n forward results backwards through a second section, so each backward
// pass starts look-ahead samples ahead of what it delivers. The output is
// the forward-backward result delayed by the look-ahead.
class CLinearPhaseIir : public CDspPoolObject {
 public:
  explicit CLinearPhaseIir(int32_t lookAhead);
  ~CLinearPhaseIir();

  void SetCoefficients(const float* b, int32_t nb, const float* a, int32_t na);
  // n is at most EachChannelSampleCntMax; a longer block is refused with a
  // silent output.
  void Process(float* out, const float* in, int32_t n);

  int32_t LookAhead() const { return m_nLookAhead; }
  bool IsValid() const;

 private:
  void FreeSections();

  int32_t m_nMaxBlock = EachChannelSampleCntMax;
  int32_t m_nBufLen = 0;
  int32_t m_nLookAhead = 0;
  CIirSection* m_pForward = nullptr;
  CIirSection* m_pBackward = nullptr;
  float* m_pForwardBuf = nullptr;
  float* m_pReversedBuf = nullptr;
  float* m_pBackwardBuf = nullptr;
};
