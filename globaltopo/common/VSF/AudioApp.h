// The engine frame: turns calls of any length at a device rate into fixed
// 512-sample blocks at the 44,100 Hz engine rate, runs a block operation on
// each, converts the result back and hands it out one device block later.
#pragma once

#include <cstdint>

#include "globaltopo/common/VSF/LinearPhaseIIR.h"
#include "globaltopo/common/VSF/SRC.h"
#include "globaltopo/common/VSF/SimpleSampleDelay.h"
#include "globaltopo/common/VSF/headphonefir.h"

// For each destination, the source of the same number when there is one
// (not copied onto itself), else silence.
void CopyChannels(float* const* dst, int32_t dstCount, const float* const* src, int32_t srcCount, int32_t frames);

class CAudioApp : public CDspPoolObject {
 public:
  CAudioApp(int32_t inputChannels, int32_t outputChannels, float biasScale);
  virtual ~CAudioApp();
  CAudioApp(const CAudioApp&) = delete;
  CAudioApp& operator=(const CAudioApp&) = delete;

  // Block operation at the engine rate; len is m_nDataLen.
  virtual void Process(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len);
  virtual void Reset();
  // False when an allocation of the last Configure failed; the frame then
  // outputs silence.
  virtual bool IsReady() const { return m_bReady; }

  // Channel counts are limited to 1..8. Returns 1.
  int32_t Configure(int32_t deviceRate, int32_t inputChannels, int32_t outputChannels);
  // In place allowed: output and input pointers may be the same buffers.
  void ProcessFrames(float* const* out, int32_t nOut, const float* const* in, int32_t nIn, int32_t frames);
  void FreeBuffers();

  int32_t DeviceRate() const { return m_nDeviceRate; }
  int32_t RealDataLen() const { return m_nRealDataLen; }
  int32_t Direction() const { return m_nDirection; }
  int32_t SrcFactor() const { return m_nSrcFactor; }
  int32_t BlockPosition() const { return m_nBlockPos; }
  int32_t InputChannels() const { return m_nInCh; }
  int32_t OutputChannels() const { return m_nOutCh; }

 private:
  void Init();
  void ProcessBlock();
  void ToEngineRate();
  void FromEngineRate();

  int32_t m_nDeviceRate = VSF_ENGINE_RATE;
  int32_t m_nRealDataLen = HEADPHONEFIR_N;
  int32_t m_nEngineRate = VSF_ENGINE_RATE;
  int32_t m_nDataLen = HEADPHONEFIR_N;
  int32_t m_nInCh = 0;
  int32_t m_nOutCh = 0;
  float m_fBiasScale = 1.0f;
  int32_t m_nBlockPos = 0;
  int32_t m_nFillPos = 0;
  float* m_pDeviceIn[VSF_MAX_CHANNELS] = {};
  float* m_pDeviceOut[VSF_MAX_CHANNELS] = {};
  const float* m_pCallerIn[VSF_MAX_CHANNELS] = {};
  float* m_pCallerOut[VSF_MAX_CHANNELS] = {};
  int32_t m_nFilterKind = VSF_FILTER_LINEAR_PHASE;
  int32_t m_nDirection = 0;
  int32_t m_nSrcFactor = 1;
  CLinearPhaseIir* m_pHighBand[VSF_MAX_CHANNELS] = {};
  CIntegerSrc* m_pSrc[VSF_MAX_CHANNELS] = {};
  float* m_pHighBandBuf[VSF_MAX_CHANNELS] = {};
  float* m_pEngineIn[VSF_MAX_CHANNELS] = {};
  float* m_pEngineOut[VSF_MAX_CHANNELS] = {};
  int32_t m_bSplit = 0;
  int32_t m_nSplitDelay = 0;
  int32_t m_nExtraDelay = 0;
  CSimpleSampleDelay* m_pDelay[VSF_MAX_CHANNELS] = {};
  bool m_bReady = false;
};

// The frame around the binaural convolution stage.
class CHeadphoneEngine : public CAudioApp {
 public:
  CHeadphoneEngine();
  ~CHeadphoneEngine() override;

  void Process(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len) override;
  void Reset() override;
  bool IsReady() const override { return CAudioApp::IsReady() && m_Fir.IsValid(); }

  CHeadphoneFir& Fir() { return m_Fir; }

 private:
  CHeadphoneFir m_Fir;
};
