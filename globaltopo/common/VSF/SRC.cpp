#include "globaltopo/common/VSF/SRC.h"

#include "primitives/Vector.h"

const float LowPass3B[VSF_FILTER_DESIGNS][VSF_ORDER3_COUNT] = {
    {1.0f / 6.0f, 0.5f, 0.5f, 1.0f / 6.0f},
    {0.0638559245f, 0.191567774f, 0.191567774f, 0.0638559245f},
    {0.0316893438f, 0.0950680315f, 0.0950680315f, 0.0316893438f},
};
const float LowPass3A[VSF_FILTER_DESIGNS][VSF_ORDER3_COUNT] = {
    {1.0f, 0.0f, 1.0f / 3.0f, 0.0f},
    {1.0f, -0.965779713f, 0.582644166f, -0.106017057f},
    {1.0f, -1.45902906f, 0.910369000f, -0.197825187f},
};
const float HighPass3B[VSF_FILTER_DESIGNS][VSF_ORDER3_COUNT] = {
    {1.0f / 6.0f, -0.5f, 0.5f, -1.0f / 6.0f},
    {0.331805117f, -0.995415351f, 0.995415351f, -0.331805117f},
    {0.445902906f, -1.33770872f, 1.33770872f, -0.445902906f},
};
const float HighPass3A[VSF_FILTER_DESIGNS][VSF_ORDER3_COUNT] = {
    {1.0f, 0.0f, 1.0f / 3.0f, 0.0f},
    {1.0f, -0.965779713f, 0.582644166f, -0.106017057f},
    {1.0f, -1.45902906f, 0.910369000f, -0.197825187f},
};
const float LowPass6B[VSF_FILTER_DESIGNS][VSF_ORDER6_COUNT] = {
    {0.0295882236f, 0.177529342f, 0.443823355f, 0.591764473f, 0.443823355f, 0.177529342f, 0.0295882236f},
    {0.00431049764f, 0.0258629858f, 0.0646574646f, 0.0862099527f, 0.0646574646f, 0.0258629858f, 0.00431049764f},
    {0.00105164680f, 0.00630988078f, 0.0157747019f, 0.0210329359f, 0.0157747019f, 0.00630988078f, 0.00105164680f},
};
const float LowPass6A[VSF_FILTER_DESIGNS][VSF_ORDER6_COUNT] = {
    {1.0f, 0.0f, 0.777695962f, 0.0f, 0.114199425f, 0.0f, 0.00175092596f},
    {1.0f, -1.98161074f, 2.25237962f, -1.46928295f, 0.596262580f, -0.135440343f, 0.0135636846f},
    {1.0f, -2.97852993f, 4.13608100f, -3.25976428f, 1.51727884f, -0.391117231f, 0.0433569884f},
};

int32_t VsfDesignRow(int32_t factor) {
  if (factor < 1) return 0;
  return factor > VSF_FILTER_DESIGNS ? VSF_FILTER_DESIGNS - 1 : factor - 1;
}

CIntegerSrc::CIntegerSrc(int32_t deviceRate, int32_t engineRate, int32_t filterKind) {
  m_nDeviceRate = deviceRate;
  m_nEngineRate = engineRate;
  m_nFilterKind = filterKind;
  m_nDirection = 0;
  Init();
}

CIntegerSrc::~CIntegerSrc() {
  delete m_pDecimateLinear;
  delete m_pInterpolateLinear;
  delete m_pDecimatePlain;
  delete m_pInterpolatePlain;
  DspFreeArray(m_pWork);
}

void CIntegerSrc::Init() {
  // A rate of zero or below converts nothing rather than divide by zero.
  if (m_nDeviceRate <= 0 || m_nEngineRate <= 0 || m_nDeviceRate == m_nEngineRate) {
    m_nDirection = 0;
    m_nSrcFactor = 1;
  } else if (m_nDeviceRate > m_nEngineRate) {
    m_nDirection = 1;
    m_nSrcFactor = m_nDeviceRate / m_nEngineRate;
  } else {
    m_nDirection = -1;
    m_nSrcFactor = m_nEngineRate / m_nDeviceRate;
  }
  if (m_nDirection != 0) {
    const int32_t row = VsfDesignRow(m_nSrcFactor);
    if (m_nFilterKind == VSF_FILTER_LINEAR_PHASE) {
      m_pDecimateLinear = new (NonPagedPool, VSF_POOL_TAG) CLinearPhaseIir(VSF_LINEAR_PHASE_LOOK_AHEAD);
      m_pInterpolateLinear = new (NonPagedPool, VSF_POOL_TAG) CLinearPhaseIir(VSF_LINEAR_PHASE_LOOK_AHEAD);
      if (m_pDecimateLinear)
        m_pDecimateLinear->SetCoefficients(LowPass3B[row], VSF_ORDER3_COUNT, LowPass3A[row], VSF_ORDER3_COUNT);
      if (m_pInterpolateLinear)
        m_pInterpolateLinear->SetCoefficients(LowPass3B[row], VSF_ORDER3_COUNT, LowPass3A[row], VSF_ORDER3_COUNT);
    } else {
      m_pDecimatePlain = new (NonPagedPool, VSF_POOL_TAG)
          CIirSection(LowPass6B[row], VSF_ORDER6_COUNT, LowPass6A[row], VSF_ORDER6_COUNT);
      m_pInterpolatePlain = new (NonPagedPool, VSF_POOL_TAG)
          CIirSection(LowPass6B[row], VSF_ORDER6_COUNT, LowPass6A[row], VSF_ORDER6_COUNT);
    }
  }
  DspFreeArray(m_pWork);
  m_pWork = DspAllocateArray<float>(VSF_SRC_WORK_LENGTH, VSF_POOL_TAG);
}

bool CIntegerSrc::IsValid() const {
  if (!m_pWork) return false;
  if (m_nDirection == 0) return true;
  if (m_nFilterKind == VSF_FILTER_LINEAR_PHASE)
    return m_pDecimateLinear && m_pDecimateLinear->IsValid() && m_pInterpolateLinear &&
           m_pInterpolateLinear->IsValid();
  return m_pDecimatePlain && m_pDecimatePlain->IsValid() && m_pInterpolatePlain && m_pInterpolatePlain->IsValid();
}

bool CIntegerSrc::Filter(CLinearPhaseIir* linear, CIirSection* plain, float* dst, const float* src, int32_t n) {
  if (!IsValid() || n > VSF_SRC_WORK_LENGTH) return false;
  if (m_nDirection == 0) {
    VecCopyF32(src, dst, n);
  } else if (m_nFilterKind == VSF_FILTER_LINEAR_PHASE) {
    if (n > EachChannelSampleCntMax) return false;
    linear->Process(dst, src, n);
  } else {
    plain->Process(dst, src, n);
  }
  return true;
}

void CIntegerSrc::Decimate(float* out, const float* in, int32_t n) {
  VSF_ASSERT((n % m_nSrcFactor) == 0);
  const int32_t m = n / m_nSrcFactor;
  VSF_ASSERT(m <= (EachChannelSampleCntMax * 4));
  if (m <= 0) return;
  if (!Filter(m_pDecimateLinear, m_pDecimatePlain, m_pWork, in, n)) {
    VecZeroF32(out, m);
    return;
  }
  for (int32_t i = 0; i < m; ++i) out[i] = m_pWork[i * m_nSrcFactor];
}

void CIntegerSrc::Interpolate(float* out, const float* in, int32_t n) {
  const int32_t m = n * m_nSrcFactor;
  VSF_ASSERT(m <= (EachChannelSampleCntMax * 4));
  if (n <= 0) return;
  if (m > VSF_SRC_WORK_LENGTH || !m_pWork) {
    VecZeroF32(out, m);
    return;
  }
  VecZeroF32(m_pWork, m);
  for (int32_t i = 0; i < n; ++i) m_pWork[i * m_nSrcFactor] = in[i];
  if (!Filter(m_pInterpolateLinear, m_pInterpolatePlain, out, m_pWork, m)) {
    VecZeroF32(out, m);
    return;
  }
  VecMulConstF32InPlace(static_cast<float>(m_nSrcFactor), out, m);
}
