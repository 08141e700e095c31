#include "globaltopo/common/VSF/headphonefir.h"

#include "primitives/Memory.h"
#include "primitives/Vector.h"

namespace {

constexpr int32_t N = HEADPHONEFIR_N;
constexpr int32_t FFT_N = HEADPHONEFIR_FFT_N;

bool CheckNumOutChans(int32_t n) { return n == 2; }
bool CheckNumInChans(int32_t n) { return n == 2 || n == 6 || n == 8; }
bool CheckDataLen(int32_t len) { return len == HEADPHONEFIR_N; }

// Side levels of the back pair when the side channels fold into it.
constexpr float kFoldSame = 0.871f;
constexpr float kFoldOther = 0.49f;

}  // namespace

void SpectrumMultiplyAdd(const float* h, const float* x, float* a, int32_t len) {
  a[0] += h[0] * x[0];
  a[1] += h[1] * x[1];
  for (int32_t k = 1; k < len / 2; ++k) {
    a[2 * k] += h[2 * k] * x[2 * k] - h[2 * k + 1] * x[2 * k + 1];
    a[2 * k + 1] += h[2 * k] * x[2 * k + 1] + h[2 * k + 1] * x[2 * k];
  }
}

CHeadphoneFir::CHeadphoneFir() {
  if (RealFftCreate(&m_pFftSpec, HEADPHONEFIR_FFT_ORDER, FFT_SCALE_INVERSE, 0) != DSP_STATUS_OK) m_pFftSpec = nullptr;
  // The transforms run on the stream path: a work buffer, if the setup asks
  // for one, is taken now rather than by every transform.
  if (m_pFftSpec && m_pFftSpec->workBytes > 0) {
    m_pWork = DspMalloc(m_pFftSpec->workBytes);
    if (!m_pWork) {
      RealFftDestroy(m_pFftSpec);
      m_pFftSpec = nullptr;
    }
  }
  m_nRoom = ROOMSIZE_UNDEFINED;
  m_nAngle = SPEAKERANGLE_UNDEFINED;
  m_nHeadParts = m_nTailParts = -1;
  m_nCTCAngle = CTCANGLE_UNDEFINED;
  Reset();
  LoadRoom(1, 29);
  SetCtcAngle(0);
}

CHeadphoneFir::~CHeadphoneFir() {
  if (m_pFftSpec) RealFftDestroy(m_pFftSpec);
  m_pFftSpec = nullptr;
  DspFree(m_pWork);
  m_pWork = nullptr;
}

void CHeadphoneFir::Reset() {
  VecZeroF32(&m_PrevInput[0][0], VSF_MAX_CHANNELS * N);
  VecZeroF32(&m_InputRing[0][0][0], VSF_MAX_CHANNELS * HEADPHONEFIR_HEAD_PARTS * FFT_N);
  VecZeroF32(&m_TailRing[0][0], HEADPHONEFIR_TAIL_PARTS * FFT_N);
  VecZeroF32(&m_Acc[0][0], 4 * FFT_N);
  m_nHeadPos = 0;
  m_nTailPos = 0;
  VecZeroF32(m_SumHistory, VSF_CTC_TAPS + N);
  VecZeroF32(m_DiffHistory, VSF_CTC_TAPS + N);
}

int32_t CHeadphoneFir::SelectRoom(int32_t roomIndex, int32_t angleCode) {
  int32_t roomSet;
  switch (roomIndex) {
    case 0: roomSet = 3; break;
    case 1: roomSet = 2; break;
    case 2: roomSet = 1; break;
    default:
      VSF_ASSERT(roomIndex >= 0 && roomIndex <= 2);
      roomSet = 2;
      break;
  }
  HeadphoneFilterSet set;
  if (!FindHeadphoneFilterSet(roomSet, angleCode, &set)) {
    VSF_ASSERT(FindHeadphoneFilterSet(roomSet, angleCode, &set));
    angleCode = 24;
  }
  return LoadRoom(roomSet, angleCode);
}

int32_t CHeadphoneFir::LoadRoom(int32_t nRoom, int32_t nAngle) {
  VSF_ASSERT(nRoom != ROOMSIZE_UNDEFINED && nAngle != SPEAKERANGLE_UNDEFINED);
  HeadphoneFilterSet set;
  // A pair without filters keeps the filters that are loaded.
  if (!FindHeadphoneFilterSet(nRoom, nAngle, &set)) return 1;
  m_nRoom = nRoom;
  m_nAngle = nAngle;
  m_nHeadParts = m_nTailParts = -1;
  SetFilters(set.head, VSF_HEAD_FILTERS, VSF_HEAD_TAPS, set.tail, VSF_TAIL_FILTERS, set.tailTaps);
  return 1;
}

void CHeadphoneFir::SetFilters(const float* head, int32_t nhead, int32_t headlen, const float* tail, int32_t ntail,
                               int32_t tailen) {
  VSF_ASSERT(nhead == 5 || nhead == 10);
  VSF_ASSERT(headlen % HEADPHONEFIR_N == 0);
  VSF_ASSERT(ntail == 2);
  VSF_ASSERT(tailen % HEADPHONEFIR_N == 0);
  const int32_t headParts = headlen / N, tailParts = tailen / N;
  if (!m_pFftSpec || nhead < 1 || nhead > HEADPHONEFIR_HEAD_SLOTS || headParts < 1 ||
      headParts > HEADPHONEFIR_HEAD_PARTS || ntail != VSF_TAIL_FILTERS || tailParts < 1 ||
      tailParts > HEADPHONEFIR_TAIL_PARTS)
    return;
  auto transformPartition = [this](const float* taps, float* slot) {
    VecCopyF32(taps, slot, N);
    VecZeroF32(slot + N, N);
    RealFftForwardInPlace(slot, m_pFftSpec, m_pWork);
  };
  for (int32_t i = 0; i < nhead; ++i)
    for (int32_t j = 0; j < headParts; ++j) transformPartition(head + i * headlen + j * N, m_HeadSpectra[i][j]);
  for (int32_t i = 0; i < ntail; ++i)
    for (int32_t j = 0; j < tailParts; ++j) transformPartition(tail + i * tailen + j * N, m_TailSpectra[i][j]);
  m_nHeadParts = headParts;
  m_nTailParts = tailParts;
}

int32_t CHeadphoneFir::SetCtcAngle(int32_t nCTCAngle) {
  VSF_ASSERT(nCTCAngle != CTCANGLE_UNDEFINED);
  if (nCTCAngle == m_nCTCAngle) return 1;
  m_nCTCAngle = nCTCAngle;
  VecZeroF32(m_SumFilter, VSF_CTC_TAPS);
  VecZeroF32(m_DiffFilter, VSF_CTC_TAPS);
  if (const float* pair = CtcFilterPair(nCTCAngle)) {
    const float* a = pair;
    const float* b = pair + VSF_CTC_TAPS;
    m_nCtcTaps = VSF_CTC_TAPS;
    for (int32_t k = 0; k < VSF_CTC_TAPS; ++k) {
      m_SumFilter[k] = a[k] + b[k];
      m_DiffFilter[k] = a[k] - b[k];
    }
  } else {
    m_nCtcTaps = 1;
    m_SumFilter[0] = 1.0f;
    m_DiffFilter[0] = 1.0f;
  }
  VecZeroF32(m_SumHistory, VSF_CTC_TAPS + N);
  VecZeroF32(m_DiffHistory, VSF_CTC_TAPS + N);
  return 1;
}

void CHeadphoneFir::Process(float* const* out, int32_t nOutCh, float* const* in, int32_t nInCh, int32_t len) {
  VSF_ASSERT(CheckNumOutChans(nOutCh));
  VSF_ASSERT(CheckNumInChans(nInCh));
  VSF_ASSERT(CheckDataLen(len));
  // Fewer than two outputs, a channel layout without a source table or a
  // block of another length would read or write outside the buffers.
  if (!out || !in || nOutCh < 2 || !CheckNumInChans(nInCh) || !CheckDataLen(len) || !m_pFftSpec ||
      m_nHeadParts != HEADPHONEFIR_HEAD_PARTS || m_nTailParts < 1) {
    if (out && len > 0)
      for (int32_t c = 0; c < 2 && c < nOutCh; ++c) VecZeroF32(out[c], len < N ? len : N);
    return;
  }
  const int32_t headCount = m_nHeadParts, tailCount = m_nTailParts;
  const int32_t sources = nInCh == 2 ? 2 : HEADPHONEFIR_SOURCES;

  // The spectra leaving the head ring now (the block of two calls ago) feed
  // the tail.
  float* tailSlot = m_TailRing[m_nTailPos];
  VecCopyF32(m_InputRing[0][m_nHeadPos], tailSlot, FFT_N);
  for (int32_t s = 1; s < sources; ++s) VecAddF32InPlace(m_InputRing[s][m_nHeadPos], tailSlot, FFT_N);

  if (nInCh == 8) {
    for (int32_t i = 0; i < N; ++i) {
      const float c4 = in[4][i], c5 = in[5][i];
      in[4][i] = kFoldSame * c4 + kFoldOther * c5 + in[6][i];
      in[5][i] = kFoldOther * c4 + kFoldSame * c5 + in[7][i];
    }
  }

  // Source s is the sum of the channels of its row (6 and 8 channels: the
  // low-frequency channel goes to both fronts).
  static constexpr int32_t kChannels[HEADPHONEFIR_SOURCES][2] = {{0, 3}, {1, 3}, {2, -1}, {4, -1}, {5, -1}};
  for (int32_t s = 0; s < sources; ++s) {
    const int32_t a = kChannels[s][0];
    const int32_t b = sources == 2 ? -1 : kChannels[s][1];
    float* slot = m_InputRing[s][m_nHeadPos];
    if (b < 0) {
      VecCopyF32(m_PrevInput[a], slot, N);
      VecCopyF32(in[a], slot + N, N);
    } else {
      VecAddF32(m_PrevInput[a], m_PrevInput[b], slot, N);
      VecAddF32(in[a], in[b], slot + N, N);
    }
  }
  const int32_t stored = nInCh < 6 ? nInCh : 6;
  for (int32_t c = 0; c < stored; ++c) VecCopyF32(in[c], m_PrevInput[c], N);
  for (int32_t s = 0; s < sources; ++s) RealFftForwardInPlace(m_InputRing[s][m_nHeadPos], m_pFftSpec, m_pWork);

  float* left = m_Acc[0];
  float* right = m_Acc[1];
  VecZeroF32(left, FFT_N);
  VecZeroF32(right, FFT_N);
  for (int32_t m = 0; m < headCount; ++m) {
    const int32_t j = (m_nHeadPos + m) % headCount;
    for (int32_t s = 0; s < sources; ++s) {
      SpectrumMultiplyAdd(m_HeadSpectra[2 * s][m], m_InputRing[s][j], left, FFT_N);
      SpectrumMultiplyAdd(m_HeadSpectra[2 * s + 1][m], m_InputRing[s][j], right, FFT_N);
    }
  }
  for (int32_t m = 0; m < tailCount; ++m) {
    const int32_t j = (m_nTailPos + m) % tailCount;
    SpectrumMultiplyAdd(m_TailSpectra[0][m], m_TailRing[j], left, FFT_N);
    SpectrumMultiplyAdd(m_TailSpectra[1][m], m_TailRing[j], right, FFT_N);
  }
  RealFftInverseInPlace(left, m_pFftSpec, m_pWork);
  RealFftInverseInPlace(right, m_pFftSpec, m_pWork);
  // The second half of each circular result is the linear convolution.
  VecMulConstF32(left + N, 2.0f, out[0], N);
  VecMulConstF32(right + N, 2.0f, out[1], N);

  m_nHeadPos = (m_nHeadPos + headCount - 1) % headCount;
  m_nTailPos = (m_nTailPos + tailCount - 1) % tailCount;

  ProcessCtc(out, 2, out, 2, N);
}

void CHeadphoneFir::ProcessCtc(float* const* out, int32_t nOutCh, float* const* in, int32_t nInCh, int32_t len) {
  VSF_ASSERT(nOutCh == 2 && nInCh == 2 && len == HEADPHONEFIR_N);
  float* sum = m_SumHistory + VSF_CTC_TAPS;
  float* diff = m_DiffHistory + VSF_CTC_TAPS;
  for (int32_t n = 0; n < N; ++n) {
    sum[n] = in[0][n] + in[1][n];
    diff[n] = in[0][n] - in[1][n];
  }
  const int32_t taps = m_nCtcTaps;
  for (int32_t n = 0; n < N; ++n) {
    float ys = 0.0f, yd = 0.0f;
    for (int32_t k = 0; k < taps; ++k) {
      ys += m_SumFilter[k] * sum[n - k];
      yd += m_DiffFilter[k] * diff[n - k];
    }
    out[0][n] = 0.5f * (ys + yd);
    out[1][n] = 0.5f * (ys - yd);
  }
  VecCopyF32(m_SumHistory + N, m_SumHistory, VSF_CTC_TAPS);
  VecCopyF32(m_DiffHistory + N, m_DiffHistory, VSF_CTC_TAPS);
}
