// The complex FIR kernels, written once for the level files
// (ComplexFirL1.cpp, ComplexFirL2.cpp, ComplexFirL3.cpp); the three levels
// are the same code, each file keeping its own copy in an unnamed namespace.
//
// Two complex samples fill one vector: (re0, im0, re1, im1). Sums follow the
// grouping each kernel's contract fixes; a single output runs the same lane
// arithmetic in the vector's low half.
#pragma once

#include <emmintrin.h>
#include <xmmintrin.h>

#include <cstdint>

#include "primitives/unreached/ElementAccess.h"
#include "primitives/unreached/complex_fir/ComplexFir.h"

namespace {
namespace complex_fir {

inline __m128 LoadPair(const ComplexF32* p) { return _mm_loadu_ps(&p->re); }
inline __m128 LoadOne(const ComplexF32* p) {
  return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}
inline void StorePair(ComplexF32* p, __m128 v) { _mm_storeu_ps(&p->re, v); }
inline void StoreOne(ComplexF32* p, __m128 v) { _mm_storel_pi(reinterpret_cast<__m64*>(p), v); }
// Each sample's two lanes exchanged: (im0, re0, im1, re1).
inline __m128 SwapParts(__m128 v) { return _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)); }

// ---------------------------------------------------------------------------
// Single rate

// The outputs at n (and n + 1 in the upper lanes when `pair`), from window
// samples x_j = src[n + j] meeting entry N - 1 - j: x_j P and s(x_j) Q summed
// in the grouping of each tap count.
class SingleRate {
 public:
  SingleRate(const ComplexFirTapEntry* table, int32_t taps) : m_Table(table), m_Taps(taps) {}

  __m128 Output(const ComplexF32* window, bool pair) const {
    m_Window = window;
    m_Pair = pair;
    const int32_t n = m_Taps;
    switch (n) {
      case 1:
        return Add(XP(0, 0), SQ(0, 0));
      case 2:
        return Add(Add(XP(0, 1), SQ(0, 1)), Add(XP(1, 0), SQ(1, 0)));
      case 3:
        return Add(Add(XP(0, 2), XP(1, 1)), Add(Add(XP(2, 0), SQ(0, 2)), Add(SQ(1, 1), SQ(2, 0))));
      case 4:
        return Add(Add(Add(XP(0, 3), XP(1, 2)), Add(XP(2, 1), XP(3, 0))),
                   Add(Add(SQ(0, 3), SQ(1, 2)), Add(SQ(2, 1), SQ(3, 0))));
      default:
        return pair ? GeneralPair() : GeneralSingle();
    }
  }

 private:
  static __m128 Add(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
  __m128 X(int32_t j) const { return m_Pair ? LoadPair(m_Window + j) : LoadOne(m_Window + j); }
  __m128 XP(int32_t j, int32_t k) const { return _mm_mul_ps(X(j), _mm_load_ps(m_Table[k].p)); }
  __m128 SQ(int32_t j, int32_t k) const { return _mm_mul_ps(SwapParts(X(j)), _mm_load_ps(m_Table[k].q)); }

  // Four taps per step, the x P products first, then the last one to three.
  __m128 GeneralPair() const {
    const int32_t n = m_Taps;
    __m128 acc = _mm_setzero_ps();
    int32_t g = 0;
    for (; n - g >= 4; g += 4) {
      const int32_t e = n - 1 - g;
      acc = Add(acc, Add(Add(XP(g, e), XP(g + 1, e - 1)), Add(XP(g + 2, e - 2), XP(g + 3, e - 3))));
      acc = Add(acc, Add(Add(SQ(g, e), SQ(g + 1, e - 1)), Add(SQ(g + 2, e - 2), SQ(g + 3, e - 3))));
    }
    const int32_t e = n - 1 - g;
    switch (n - g) {
      case 3:
        acc = Add(acc, Add(SQ(g + 1, e - 1), SQ(g + 2, e - 2)));
        acc = Add(acc, Add(Add(XP(g, e), XP(g + 1, e - 1)), Add(XP(g + 2, e - 2), SQ(g, e))));
        break;
      case 2:
        acc = Add(acc, Add(Add(XP(g, e), XP(g + 1, e - 1)), Add(SQ(g, e), SQ(g + 1, e - 1))));
        break;
      case 1:
        acc = Add(acc, Add(XP(g, e), SQ(g, e)));
        break;
      default:
        break;
    }
    return acc;
  }

  // The odd last output of the general path: one tap at a time.
  __m128 GeneralSingle() const {
    __m128 acc = _mm_setzero_ps();
    for (int32_t j = 0; j < m_Taps; ++j) {
      acc = Add(acc, XP(j, m_Taps - 1 - j));
      acc = Add(acc, SQ(j, m_Taps - 1 - j));
    }
    return acc;
  }

  const ComplexFirTapEntry* m_Table;
  int32_t m_Taps;
  mutable const ComplexF32* m_Window = nullptr;
  mutable bool m_Pair = false;
};

// The first output of a destination 8 bytes past a 16-byte boundary, in
// scalar arithmetic from p0 and q0 of each entry.
inline ComplexF32 LaneZeroOutput(const ComplexFirTapEntry* table, const ComplexF32* window, int32_t taps) {
  float re = 0.0f, im = 0.0f;
  for (int32_t j = 0; j < taps; ++j) {
    const ComplexFirTapEntry& e = table[taps - 1 - j];
    const ComplexF32 s = LoadAt(window, j);
    re = re + (e.p[0] * s.re + e.q[0] * s.im);
    im = im + (e.p[0] * s.im - e.q[0] * s.re);
  }
  return {re, im};
}

inline void SingleRateBlock(const ComplexFirTapEntry* table, const ComplexF32* src, ComplexF32* dst, uint64_t count,
                            int32_t taps) {
  if (count == 0) return;
  if ((AddressOf(dst) & 15) == 8) {
    StoreAt(dst, 0, LaneZeroOutput(table, src, taps));
    ++src, ++dst;
    if (--count == 0) return;
  }
  const SingleRate rate(table, taps);
  uint64_t n = 0;
  for (; n + 2 <= count; n += 2) StorePair(dst + n, rate.Output(src + n, true));
  if (n < count) StoreOne(dst + n, rate.Output(src + n, false));
}

// ---------------------------------------------------------------------------
// Polyphase

// One output: the window against a row of the real-part half and the same
// row of the imaginary-part half, two slots per vector in slot order (eight
// per step from b >= 8, then two); an odd b's last slot goes alone, into
// lanes 2-3 of the real and 0-1 of the imaginary accumulator for u > 1, or
// with its spare slot into every lane for u = 1.
inline ComplexF32 PolyphaseOutput(const ComplexF32* window, const float* rowRe, const float* rowIm, int32_t b,
                                  bool upIsOne) {
  __m128 accRe = _mm_setzero_ps(), accIm = _mm_setzero_ps();
  auto slots = [&](int32_t i) {
    const __m128 v = _mm_movelh_ps(LoadOne(window + i), LoadOne(window + i + 1));
    accRe = _mm_add_ps(accRe, _mm_mul_ps(v, _mm_load_ps(rowRe + 2 * i)));
    accIm = _mm_add_ps(accIm, _mm_mul_ps(v, _mm_load_ps(rowIm + 2 * i)));
  };
  int32_t i = 0;
  for (; b >= 8 && i + 8 <= b; i += 8)
    for (int32_t k = 0; k < 8; k += 2) slots(i + k);
  for (; i + 2 <= b; i += 2) slots(i);
  if (i < b) {
    const __m128 x = LoadOne(window + i);
    if (upIsOne) {
      accRe = _mm_add_ps(accRe, _mm_mul_ps(x, _mm_load_ps(rowRe + 2 * i)));
      accIm = _mm_add_ps(accIm, _mm_mul_ps(x, _mm_load_ps(rowIm + 2 * i)));
    } else {
      const __m128 re =
          _mm_mul_ps(x, _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(rowRe + 2 * i))));
      const __m128 im =
          _mm_mul_ps(x, _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(rowIm + 2 * i))));
      // Only the named lanes gain the products.
      accRe = _mm_movelh_ps(accRe, _mm_add_ps(_mm_movehl_ps(accRe, accRe), re));
      accIm = _mm_movelh_ps(_mm_add_ps(accIm, im), _mm_movehl_ps(accIm, accIm));
    }
  }
  alignas(16) float r[4], m[4];
  _mm_store_ps(r, accRe);
  _mm_store_ps(m, accIm);
  return {(r[0] + r[2]) + (r[1] + r[3]), (m[0] + m[2]) + (m[1] + m[3])};
}

inline int32_t PolyphaseBlock(const float* table, const ComplexF32* history, ComplexF32* dst, uint64_t count,
                              const int32_t* offsets, int32_t up, int32_t start, int32_t b, int32_t rowLen) {
  if (count == 0) return start;
  const uint64_t pairs = count / 2;
  const int64_t evenB = (int64_t{b} + 1) & ~int64_t{1};
  const int64_t halfSlots = 4 * int64_t{up} * rowLen;
  // Positions in samples from `history`; offsets are bytes.
  int64_t w = start;
  if (up == 1) {
    const int64_t step = offsets[1] / 8;
    w += offsets[0] / 8;
    for (uint64_t k = 0; k < pairs; ++k, w += 2 * step) {
      StoreAt(dst, 2 * k, PolyphaseOutput(history + w, table, table + 2 * halfSlots, b, true));
      StoreAt(dst, 2 * k + 1, PolyphaseOutput(history + w + step, table, table + 2 * halfSlots, b, true));
    }
    // The position the next call's first offset starts from.
    return static_cast<int32_t>(w - offsets[0] / 8);
  }
  const int64_t cyclePairs = 2 * int64_t{up};
  int64_t row = 0;  // slot of the pair's first row in the real-part half
  for (uint64_t k = 0; k < pairs; ++k) {
    const int64_t p = static_cast<int64_t>(k % static_cast<uint64_t>(cyclePairs));
    if (p == 0) row = 0;
    w += offsets[2 * p] / 8;
    StoreAt(dst, 2 * k, PolyphaseOutput(history + w, table + 2 * row, table + 2 * (row + halfSlots), b, false));
    w += offsets[2 * p + 1] / 8;
    const int64_t second = row + rowLen;
    StoreAt(dst, 2 * k + 1,
            PolyphaseOutput(history + w, table + 2 * second, table + 2 * (second + halfSlots), b, false));
    row = second + evenB;
    if (p == cyclePairs - 1) w += offsets[2 * cyclePairs] / 8;
  }
  return static_cast<int32_t>(w);
}

// ---------------------------------------------------------------------------
// Single sample

inline void Sample(const ComplexF32* x, ComplexF32* y, const ComplexF32* taps, int32_t n, ComplexF32* delayLine,
                   int32_t* delayIndex) {
  const int32_t i = *delayIndex;
  const ComplexF32 sample = LoadAt(x, 0);
  StoreAt(delayLine, i, sample);
  StoreAt(delayLine, i + n, sample);
  const int32_t next = i + 1 >= n ? 0 : i + 1;
  *delayIndex = next;
  // Lanes: d_re t_re, d_im t_im, d_re t_im, d_im t_re.
  auto product = [&](int32_t j) {
    const __m128 d = LoadOne(delayLine + next + j);
    const __m128 t = LoadOne(taps + n - 1 - j);
    return _mm_mul_ps(_mm_shuffle_ps(d, d, _MM_SHUFFLE(1, 0, 1, 0)), _mm_shuffle_ps(t, t, _MM_SHUFFLE(0, 1, 1, 0)));
  };
  __m128 lanes = _mm_setzero_ps();
  int32_t j = 0;
  for (; j + 4 <= n; j += 4) {
    lanes = _mm_add_ps(lanes, product(j));
    lanes = _mm_add_ps(lanes, _mm_add_ps(product(j + 1), product(j + 2)));
    lanes = _mm_add_ps(lanes, product(j + 3));
  }
  if (j + 2 <= n) {
    lanes = _mm_add_ps(lanes, product(j));
    lanes = _mm_add_ps(lanes, product(j + 1));
    j += 2;
  }
  if (j < n) lanes = _mm_add_ps(lanes, product(j));
  alignas(16) float l[4];
  _mm_store_ps(l, lanes);
  StoreAt(y, 0, ComplexF32{l[0] - l[1], l[2] + l[3]});
}

}  // namespace complex_fir
}  // namespace
