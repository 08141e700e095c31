// Binaural rendering of up to five virtual loudspeakers to two ears, one
// 512-sample block at a time: partitioned overlap-save FFT convolution with a
// head filter per source and ear and, 1,024 samples later, a tail filter per
// ear on the sum of the sources; then a symmetric two-by-two cross-talk
// stage.
#pragma once

#include <cstdint>

#include "globaltopo/common/VSF/HeadphoneFilterStore.h"
#include "globaltopo/common/VSF/VsfCommon.h"
#include "primitives/RealFft.h"

constexpr int32_t ROOMSIZE_UNDEFINED = -1;
constexpr int32_t SPEAKERANGLE_UNDEFINED = -1;
constexpr int32_t CTCANGLE_UNDEFINED = -1;

constexpr int32_t HEADPHONEFIR_FFT_ORDER = 10;
constexpr int32_t HEADPHONEFIR_FFT_N = 1024;
constexpr int32_t HEADPHONEFIR_HEAD_SLOTS = 16;
constexpr int32_t HEADPHONEFIR_HEAD_PARTS = VSF_HEAD_TAPS / HEADPHONEFIR_N;      // 2
constexpr int32_t HEADPHONEFIR_TAIL_PARTS = VSF_TAIL_MAX_TAPS / HEADPHONEFIR_N;  // 14
constexpr int32_t HEADPHONEFIR_SOURCES = 5;

// A += H x X, bin by bin, on packed real-FFT spectra of len floats.
void SpectrumMultiplyAdd(const float* h, const float* x, float* a, int32_t len);

class CHeadphoneFir {
 public:
  CHeadphoneFir();
  ~CHeadphoneFir();
  CHeadphoneFir(const CHeadphoneFir&) = delete;
  CHeadphoneFir& operator=(const CHeadphoneFir&) = delete;

  // Renders a block of len = 512 frames from 2, 6 or 8 input channels to
  // output channels 0 and 1. With 8 channels the side channels are folded
  // into input channels 4 and 5, in the caller's buffers. Any other shape is
  // refused with silence on the outputs.
  void Process(float* const* out, int32_t nOutCh, float* const* in, int32_t nInCh, int32_t len);
  // Forgets the signal history; the filters stay.
  void Reset();
  // Room index 0, 1, 2 (large, medium, small) and an angle code.
  int32_t SelectRoom(int32_t roomIndex, int32_t angleCode);
  int32_t LoadRoom(int32_t nRoom, int32_t nAngle);
  // 5, 10, 15, 20 or 30 degrees; any other angle passes the signal through.
  int32_t SetCtcAngle(int32_t nCTCAngle);

  int32_t Room() const { return m_nRoom; }
  int32_t Angle() const { return m_nAngle; }
  int32_t CtcAngle() const { return m_nCTCAngle; }
  int32_t HeadPartitions() const { return m_nHeadParts; }
  int32_t TailPartitions() const { return m_nTailParts; }
  int32_t CtcTaps() const { return m_nCtcTaps; }
  bool IsValid() const { return m_pFftSpec != nullptr; }

 private:
  void SetFilters(const float* head, int32_t nhead, int32_t headlen, const float* tail, int32_t ntail,
                  int32_t tailen);
  void ProcessCtc(float* const* out, int32_t nOutCh, float* const* in, int32_t nInCh, int32_t len);

  int32_t m_nRoom = ROOMSIZE_UNDEFINED;
  int32_t m_nAngle = SPEAKERANGLE_UNDEFINED;
  int32_t m_nHeadParts = -1;
  int32_t m_nTailParts = -1;
  float m_HeadSpectra[HEADPHONEFIR_HEAD_SLOTS][HEADPHONEFIR_HEAD_PARTS][HEADPHONEFIR_FFT_N];
  float m_TailSpectra[VSF_TAIL_FILTERS][HEADPHONEFIR_TAIL_PARTS][HEADPHONEFIR_FFT_N];
  int32_t m_nCTCAngle = CTCANGLE_UNDEFINED;
  int32_t m_nCtcTaps = 1;
  float m_SumFilter[VSF_CTC_TAPS];
  float m_DiffFilter[VSF_CTC_TAPS];
  // The last VSF_CTC_TAPS samples before the block, then the block.
  float m_SumHistory[VSF_CTC_TAPS + HEADPHONEFIR_N];
  float m_DiffHistory[VSF_CTC_TAPS + HEADPHONEFIR_N];
  RealFftSpec* m_pFftSpec = nullptr;
  void* m_pWork = nullptr;
  float m_PrevInput[VSF_MAX_CHANNELS][HEADPHONEFIR_N];
  float m_InputRing[VSF_MAX_CHANNELS][HEADPHONEFIR_HEAD_PARTS][HEADPHONEFIR_FFT_N];
  float m_TailRing[HEADPHONEFIR_TAIL_PARTS][HEADPHONEFIR_FFT_N];
  float m_Acc[4][HEADPHONEFIR_FFT_N];  // left, right and two spare blocks
  int32_t m_nHeadPos = 0;
  int32_t m_nTailPos = 0;
};
