#include "globaltopo/common/VSF/LinearPhaseIIR.h"

#include "primitives/Vector.h"

namespace {

// A coefficient copy followed by its history, in one block.
float* AllocateCopyWithHistory(const float* coefficients, int32_t count) {
  float* p = DspAllocateArray<float>(2 * static_cast<size_t>(count), VSF_POOL_TAG);
  if (p) {
    for (int32_t k = 0; k < count; ++k) p[k] = coefficients[k];
  }
  return p;
}

}  // namespace

CIirSection::CIirSection(const float* b, int32_t nb, const float* a, int32_t na) {
  m_bValid = 1;
  if (!((b && nb >= 1) || (a && na >= 1))) return;
  // A part of one coefficient is no filter at all and stays absent.
  auto take = [this](const float* coefficients, int32_t count, float*& copy, float*& history, int32_t& stored) {
    if (!coefficients || count <= 1) return;
    copy = AllocateCopyWithHistory(coefficients, count);
    if (!copy) {
      m_bValid = 0;
      return;
    }
    stored = count;
    history = copy + count;
  };
  take(b, nb, m_pB, m_pBHistory, m_nB);
  if (m_bValid) take(a, na, m_pA, m_pAHistory, m_nA);
  if (m_bValid) Reset();
}

void CIirSection::Free() {
  DspFreeArray(m_pA);
  DspFreeArray(m_pB);
  m_pA = m_pB = m_pAHistory = m_pBHistory = nullptr;
  m_nA = m_nB = 0;
}

void CIirSection::Reset() {
  for (int32_t k = 0; k < m_nB; ++k) m_pBHistory[k] = 0.0f;
  for (int32_t k = 0; k < m_nA; ++k) m_pAHistory[k] = 0.0f;
  m_nBIndex = 0;
  m_nAIndex = 0;
}

float* CIirSection::Process(float* out, const float* in, int32_t n) {
  float* dst = out ? out : const_cast<float*>(in);
  for (int32_t i = 0; i < n; ++i) {
    const float x = in[i];
    float acc;
    // Both histories run backwards through their rings: the slot at the
    // index holds the newest value, the slots above it the older ones.
    if (m_nB > 0) {
      m_pBHistory[m_nBIndex] = x;
      acc = 0.0f;
      for (int32_t k = 0; k < m_nB; ++k) acc += m_pB[k] * m_pBHistory[(m_nBIndex + k) % m_nB];
      m_nBIndex = (m_nBIndex == 0) ? m_nB - 1 : m_nBIndex - 1;
    } else {
      acc = x;
    }
    if (m_nA > 0) {
      float feedback = 0.0f;
      for (int32_t k = 1; k < m_nA; ++k) feedback += m_pA[k] * m_pAHistory[(m_nAIndex + k) % m_nA];
      acc -= feedback;
      m_pAHistory[m_nAIndex] = acc;
      m_nAIndex = (m_nAIndex == 0) ? m_nA - 1 : m_nAIndex - 1;
    }
    dst[i] = acc;
  }
  return dst;
}

CLinearPhaseIir::CLinearPhaseIir(int32_t lookAhead) {
  m_nMaxBlock = EachChannelSampleCntMax;
  m_nLookAhead = lookAhead > 0 ? lookAhead : 0;
  m_nBufLen = m_nMaxBlock + m_nLookAhead;
  m_pForwardBuf = DspAllocateArray<float>(3 * static_cast<size_t>(m_nBufLen), VSF_POOL_TAG);
  if (m_pForwardBuf) {
    m_pReversedBuf = m_pForwardBuf + m_nBufLen;
    m_pBackwardBuf = m_pReversedBuf + m_nBufLen;
  }
}

CLinearPhaseIir::~CLinearPhaseIir() {
  FreeSections();
  DspFreeArray(m_pForwardBuf);
}

void CLinearPhaseIir::FreeSections() {
  delete m_pForward;
  delete m_pBackward;
  m_pForward = m_pBackward = nullptr;
}

bool CLinearPhaseIir::IsValid() const {
  return m_pForwardBuf && m_pForward && m_pForward->IsValid() && m_pBackward && m_pBackward->IsValid();
}

void CLinearPhaseIir::SetCoefficients(const float* b, int32_t nb, const float* a, int32_t na) {
  FreeSections();
  m_pForward = new (NonPagedPool, VSF_POOL_TAG) CIirSection(b, nb, a, na);
  m_pBackward = new (NonPagedPool, VSF_POOL_TAG) CIirSection(b, nb, a, na);
}

void CLinearPhaseIir::Process(float* out, const float* in, int32_t n) {
  VSF_ASSERT(n <= (EachChannelSampleCntMax));
  if (n <= 0) return;
  // The three buffers hold look-ahead + EachChannelSampleCntMax values.
  if (n > m_nMaxBlock || !IsValid()) {
    VecZeroF32(out, n);
    return;
  }
  const int32_t span = m_nLookAhead + n;
  m_pForward->Process(m_pForwardBuf + m_nLookAhead, in, n);
  for (int32_t k = 0; k < span; ++k) m_pReversedBuf[k] = m_pForwardBuf[span - 1 - k];
  m_pBackward->Process(m_pBackwardBuf, m_pReversedBuf, span);
  for (int32_t k = 0; k < n; ++k) out[k] = m_pBackwardBuf[span - 1 - k];
  if (m_nLookAhead > 0) VecCopyF32(m_pForwardBuf + n, m_pForwardBuf, m_nLookAhead);
}
