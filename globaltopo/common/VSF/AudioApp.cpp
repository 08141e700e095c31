#include "globaltopo/common/VSF/AudioApp.h"

#include "primitives/Vector.h"

namespace {

int32_t ClampChannels(int32_t n) { return n < 1 ? 1 : (n > VSF_MAX_CHANNELS ? VSF_MAX_CHANNELS : n); }

// The high-pass design of the split band for a factor: f = factor, with f = 2
// standing in below the first design.
int32_t HighPassRow(int32_t factor) {
  const int32_t row = factor - 2;
  return row < 0 ? 0 : (row >= VSF_FILTER_DESIGNS ? VSF_FILTER_DESIGNS - 1 : row);
}

}  // namespace

void CopyChannels(float* const* dst, int32_t dstCount, const float* const* src, int32_t srcCount, int32_t frames) {
  for (int32_t i = 0; i < dstCount; ++i) {
    if (i < srcCount) {
      if (dst[i] != src[i]) VecCopyF32(src[i], dst[i], frames);
    } else {
      VecZeroF32(dst[i], frames);
    }
  }
}

CAudioApp::CAudioApp(int32_t inputChannels, int32_t outputChannels, float biasScale) {
  m_nInCh = ClampChannels(inputChannels);
  m_nOutCh = ClampChannels(outputChannels);
  m_fBiasScale = biasScale;
  m_nFilterKind = VSF_FILTER_LINEAR_PHASE;
}

CAudioApp::~CAudioApp() { FreeBuffers(); }

void CAudioApp::Process(float* const*, int32_t, float* const*, int32_t, int32_t) {}

void CAudioApp::Reset() {}

int32_t CAudioApp::Configure(int32_t deviceRate, int32_t inputChannels, int32_t outputChannels) {
  m_nDeviceRate = deviceRate;
  m_nInCh = ClampChannels(inputChannels);
  m_nOutCh = ClampChannels(outputChannels);
  m_nEngineRate = VSF_ENGINE_RATE;
  m_nDataLen = HEADPHONEFIR_N;
  Init();
  Reset();
  return 1;
}

void CAudioApp::FreeBuffers() {
  for (int32_t c = 0; c < VSF_MAX_CHANNELS; ++c) {
    DspFreeArray(m_pDeviceIn[c]);
    DspFreeArray(m_pDeviceOut[c]);
    DspFreeArray(m_pEngineIn[c]);
    DspFreeArray(m_pEngineOut[c]);
    delete m_pSrc[c];
    delete m_pHighBand[c];
    delete m_pDelay[c];
    DspFreeArray(m_pHighBandBuf[c]);
    m_pDeviceIn[c] = m_pDeviceOut[c] = m_pEngineIn[c] = m_pEngineOut[c] = m_pHighBandBuf[c] = nullptr;
    m_pSrc[c] = nullptr;
    m_pHighBand[c] = nullptr;
    m_pDelay[c] = nullptr;
  }
  m_bReady = false;
}

void CAudioApp::Init() {
  // A rate of zero or below is taken as the engine rate rather than divided
  // by.
  if (m_nDeviceRate > m_nEngineRate) {
    m_nDirection = 1;
    m_nSrcFactor = m_nDeviceRate / m_nEngineRate;
    m_nRealDataLen = m_nSrcFactor * m_nDataLen;
  } else if (m_nDeviceRate < m_nEngineRate && m_nDeviceRate > 0) {
    m_nDirection = -1;
    m_nSrcFactor = m_nEngineRate / m_nDeviceRate;
    m_nRealDataLen = m_nDataLen / m_nSrcFactor;
    VSF_ASSERT((m_nDataLen % m_nSrcFactor) == 0);
  } else {
    m_nDirection = 0;
    m_nSrcFactor = 1;
    m_nRealDataLen = m_nDataLen;
  }
  VSF_ASSERT(m_nRealDataLen <= EachChannelSampleCntMax);

  FreeBuffers();
  // Every channel the frame touches on either side has a buffer and a
  // converter, whichever count is larger, and the block operation always
  // has two outputs to write.
  const int32_t convertChannels = m_nInCh > m_nOutCh ? m_nInCh : m_nOutCh;
  const int32_t engineChannels = convertChannels > 2 ? convertChannels : 2;
  bool ok = m_nRealDataLen > 0;
  for (int32_t c = 0; ok && c < m_nInCh; ++c) ok = (m_pDeviceIn[c] = DspAllocateArray<float>(m_nRealDataLen, VSF_POOL_TAG));
  for (int32_t c = 0; ok && c < m_nOutCh; ++c) ok = (m_pDeviceOut[c] = DspAllocateArray<float>(m_nRealDataLen, VSF_POOL_TAG));
  if (ok && m_nDirection != 0) {
    const int32_t kind = m_bSplit ? VSF_FILTER_LINEAR_PHASE : m_nFilterKind;
    for (int32_t c = 0; ok && c < convertChannels; ++c) {
      m_pSrc[c] = new (NonPagedPool, VSF_POOL_TAG) CIntegerSrc(m_nDeviceRate, m_nEngineRate, kind);
      ok = m_pSrc[c] && m_pSrc[c]->IsValid();
    }
    if (ok && m_bSplit) {
      m_nSplitDelay = m_pSrc[0]->LookAhead() + m_nExtraDelay * m_nSrcFactor;
      const int32_t row = HighPassRow(m_nSrcFactor);
      for (int32_t c = 0; ok && c < convertChannels; ++c) {
        m_pHighBand[c] = new (NonPagedPool, VSF_POOL_TAG) CLinearPhaseIir(VSF_LINEAR_PHASE_LOOK_AHEAD);
        if (m_pHighBand[c])
          m_pHighBand[c]->SetCoefficients(HighPass3B[row], VSF_ORDER3_COUNT, HighPass3A[row], VSF_ORDER3_COUNT);
        m_pDelay[c] = new (NonPagedPool, VSF_POOL_TAG) CSimpleSampleDelay(m_nSplitDelay, m_nRealDataLen);
        m_pHighBandBuf[c] = DspAllocateArray<float>(m_nRealDataLen, VSF_POOL_TAG);
        ok = m_pHighBand[c] && m_pHighBand[c]->IsValid() && m_pDelay[c] && m_pDelay[c]->IsValid() &&
             m_pHighBandBuf[c];
      }
    }
  }
  for (int32_t c = 0; ok && c < engineChannels; ++c) {
    ok = (m_pEngineIn[c] = DspAllocateArray<float>(m_nDataLen, VSF_POOL_TAG)) &&
         (m_pEngineOut[c] = DspAllocateArray<float>(m_nDataLen, VSF_POOL_TAG));
  }
  m_nBlockPos = 0;
  m_nFillPos = 0;
  if (!ok) FreeBuffers();
  m_bReady = ok;
}

void CAudioApp::ProcessFrames(float* const* out, int32_t nOut, const float* const* in, int32_t nIn, int32_t frames) {
  if (frames <= 0) return;
  nOut = nOut < 0 ? 0 : (nOut > m_nOutCh ? m_nOutCh : nOut);
  nIn = nIn < 0 ? 0 : (nIn > m_nInCh ? m_nInCh : nIn);
  if (!IsReady()) {
    for (int32_t c = 0; c < nOut; ++c) VecZeroF32(out[c], frames);
    return;
  }
  const float bias = 1e-10f * m_fBiasScale;
  for (int32_t c = 0; c < nIn; ++c) m_pCallerIn[c] = in[c];
  for (int32_t c = 0; c < nOut; ++c) m_pCallerOut[c] = out[c];

  int32_t remaining = frames;
  int32_t k = m_nRealDataLen - m_nBlockPos;
  if (k > remaining) k = remaining;
  while (k > 0) {
    for (int32_t c = 0; c < nIn; ++c) {
      float* dst = m_pDeviceIn[c] + m_nFillPos;
      for (int32_t j = 0; j < k; ++j) dst[j] = m_pCallerIn[c][j] + bias;
      m_pCallerIn[c] += k;
    }
    for (int32_t c = 0; c < nOut; ++c) {
      VecCopyF32(m_pDeviceOut[c] + m_nFillPos, m_pCallerOut[c], k);
      m_pCallerOut[c] += k;
    }
    m_nFillPos += k;
    if (m_nFillPos == m_nRealDataLen) {
      ProcessBlock();
      m_nFillPos = 0;
    }
    remaining -= k;
    k = remaining < m_nRealDataLen ? remaining : m_nRealDataLen;
  }
  m_nBlockPos = (m_nBlockPos + frames) % m_nRealDataLen;
}

void CAudioApp::ProcessBlock() {
  ToEngineRate();
  Process(m_pEngineOut, m_nOutCh, m_pEngineIn, m_nInCh, m_nDataLen);
  FromEngineRate();
}

void CAudioApp::ToEngineRate() {
  if (m_nDirection == 0) {
    CopyChannels(m_pEngineIn, m_nInCh, m_pDeviceIn, m_nInCh, m_nRealDataLen);
    return;
  }
  for (int32_t c = 0; c < m_nInCh; ++c) {
    if (m_nDirection > 0) {
      m_pSrc[c]->Decimate(m_pEngineIn[c], m_pDeviceIn[c], m_nRealDataLen);
      if (m_bSplit) m_pHighBand[c]->Process(m_pHighBandBuf[c], m_pDeviceIn[c], m_nRealDataLen);
    } else {
      m_pSrc[c]->Interpolate(m_pEngineIn[c], m_pDeviceIn[c], m_nRealDataLen);
    }
  }
}

void CAudioApp::FromEngineRate() {
  if (m_nDirection == 0) {
    CopyChannels(m_pDeviceOut, m_nOutCh, m_pEngineOut, m_nOutCh, m_nRealDataLen);
    return;
  }
  for (int32_t c = 0; c < m_nOutCh; ++c) {
    if (m_nDirection > 0) {
      m_pSrc[c]->Interpolate(m_pDeviceOut[c], m_pEngineOut[c], m_nDataLen);
      if (m_bSplit && m_pDelay[c]->Process(m_pHighBandBuf[c], m_nRealDataLen) == m_nRealDataLen)
        VecAddF32(m_pDeviceOut[c], m_pDelay[c]->Output(), m_pDeviceOut[c], m_nRealDataLen);
    } else {
      m_pSrc[c]->Decimate(m_pDeviceOut[c], m_pEngineOut[c], m_nDataLen);
    }
  }
}

CHeadphoneEngine::CHeadphoneEngine() : CAudioApp(6, 2, 1.0f) { Configure(VSF_ENGINE_RATE, 6, 2); }

CHeadphoneEngine::~CHeadphoneEngine() { FreeBuffers(); }

void CHeadphoneEngine::Process(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len) {
  m_Fir.Process(out, nOut, in, nIn, len);
}

void CHeadphoneEngine::Reset() { m_Fir.Reset(); }
