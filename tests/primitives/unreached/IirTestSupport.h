// Helpers of the IIR tests: stable test filters, a long double transposed
// direct form II reference (real and complex), and builders for the records
// no operation of the library lays out itself (biquad states, step tables,
// complex block tables).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/unreached/Complex.h"
#include "primitives/unreached/iir/Iir.h"
#include "primitives/unreached/iir/IirKernels.h"

namespace iir_test {

using LComplex = std::complex<long double>;

// Raw coefficients b0..bN, a0..aN of a stable filter: poles of radius at
// most 0.85 (conjugate pairs and one real pole for odd N), random zeros
// through random b, and a0 = scale (the filter divides everything by it).
inline std::vector<float> StableTaps(int32_t order, unsigned seed, float a0 = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<LComplex> poly = {1.0L};
  auto multiply = [&](LComplex root) {
    std::vector<LComplex> next(poly.size() + 1, 0.0L);
    for (size_t i = 0; i < poly.size(); ++i) {
      next[i] += poly[i];
      next[i + 1] -= poly[i] * root;
    }
    poly = next;
  };
  int32_t left = order;
  while (left >= 2) {
    const LComplex p = std::polar<long double>(0.3L + 0.55L * std::abs(unit(rng)), 3.1L * std::abs(unit(rng)));
    multiply(p);
    multiply(std::conj(p));
    left -= 2;
  }
  if (left == 1) multiply(0.85L * unit(rng));
  std::vector<float> taps(2 * (order + 1));
  for (int32_t k = 0; k <= order; ++k) taps[k] = static_cast<float>(unit(rng)) * a0;
  for (int32_t k = 0; k <= order; ++k) taps[order + 1 + k] = static_cast<float>(poly[k].real()) * a0;
  taps[order + 1] = a0;
  return taps;
}

// A filter b[0..N], a[0..N] (a[0] = 1 after normalisation) run in long double
// transposed direct form II from the delay line d[0..N-1].
template <typename T>
class TdfReference {
 public:
  TdfReference(std::vector<T> b, std::vector<T> a, std::vector<T> d = {})
      : m_B(std::move(b)), m_A(std::move(a)), m_D(m_B.size(), T{0}) {
    const T a0 = m_A[0];
    for (T& v : m_B) v /= a0;
    for (T& v : m_A) v /= a0;
    std::copy(d.begin(), d.end(), m_D.begin());
  }
  // From the raw float taps b0..bN, a0..aN of IirFilterInit.
  static TdfReference FromRaw(const std::vector<float>& raw, const std::vector<float>& delay = {}) {
    const size_t n = raw.size() / 2;
    return TdfReference(std::vector<T>(raw.begin(), raw.begin() + n), std::vector<T>(raw.begin() + n, raw.end()),
                        std::vector<T>(delay.begin(), delay.end()));
  }

  T Step(T x) {
    const size_t n = m_B.size() - 1;
    const T y = m_B[0] * x + m_D[0];
    for (size_t i = 0; i < n; ++i) m_D[i] = m_B[i + 1] * x - m_A[i + 1] * y + m_D[i + 1];
    return y;
  }
  const std::vector<T>& delay() const { return m_D; }

 private:
  std::vector<T> m_B, m_A, m_D;
};
using RealReference = TdfReference<long double>;
using ComplexReference = TdfReference<LComplex>;

// The largest |result - reference|, over the largest |reference| (at least 1).
template <typename R, typename L>
double RelativeError(const std::vector<R>& result, const std::vector<L>& reference) {
  long double worst = 0, scale = 1;
  for (size_t i = 0; i < reference.size(); ++i) {
    scale = std::max<long double>(scale, std::abs(reference[i]));
    worst = std::max<long double>(worst, std::abs(static_cast<L>(result[i]) - reference[i]));
  }
  return static_cast<double>(worst / scale);
}

// 16-byte aligned storage of T elements, zeroed.
template <typename T>
class Aligned {
 public:
  explicit Aligned(size_t count) : m_Storage((count * sizeof(T) + 15) / 16 + 1) {}
  T* data() { return reinterpret_cast<T*>(m_Storage.data()); }
  T& operator[](size_t i) { return data()[i]; }

 private:
  std::vector<IirVector> m_Storage;
};

// ---------------------------------------------------------------------------
// Biquad states

// One section: b0 b1 b2 a1 a2, a0 taken as 1.
struct Section {
  float b0, b1, b2, a1, a2;
};

inline std::vector<Section> StableSections(int32_t count, unsigned seed) {
  std::vector<Section> sections;
  for (int32_t s = 0; s < count; ++s) {
    const std::vector<float> raw = StableTaps(2, seed + 97 * s);
    sections.push_back({raw[0], raw[1], raw[2], raw[4], raw[5]});
  }
  return sections;
}

// An IIR_BIQUAD_STATE_TAG record with its areas. withTables fills what the
// level builds read: three tap vectors and five lookahead vectors per section
// (those IirFilterInitL1 builds for the section as an order-2 filter), the
// step table and the work area.
class BiquadState {
 public:
  BiquadState(const std::vector<Section>& sections, bool withTables)
      : m_Taps(5 * sections.size() + 1),
        m_Delay(2 * sections.size() + 1),
        m_TapVectors(3 * sections.size() + 1),
        m_Lookahead(5 * sections.size() + 1),
        m_Steps(sections.size() + 1),
        m_Work(IIR_PIECE_LENGTH) {
    const int32_t count = static_cast<int32_t>(sections.size());
    m_State.tag = IIR_BIQUAD_STATE_TAG;
    m_State.taps = m_Taps.data();
    m_State.delayLine = m_Delay.data();
    m_State.order = 2 * count;
    m_State.sectionCount = count;
    for (int32_t s = 0; s < count; ++s) {
      const Section& c = sections[s];
      const float taps[5] = {c.b0, c.b1, c.b2, c.a1, c.a2};
      std::copy(taps, taps + 5, m_Taps.begin() + 5 * s);
    }
    if (!withTables) return;
    m_State.tapVectors = m_TapVectors.data();
    m_State.lookaheadTable = m_Lookahead.data();
    m_State.stepTable = m_Steps.data();
    m_State.blockWork = m_Work.data();
    for (int32_t s = 0; s < count; ++s) {
      const Section& c = sections[s];
      const float raw[6] = {c.b0, c.b1, c.b2, 1.0f, c.a1, c.a2};
      std::vector<IirVector> buffer(IirStateBytes(2, IIR_STATE_TAG, 1) / 16 + 1);
      IirState* order2 = nullptr;
      EXPECT_EQ(IirFilterInitL1(&order2, raw, 2, nullptr, buffer.data()), DSP_STATUS_OK);
      std::copy(order2->tapVectors, order2->tapVectors + 3, m_TapVectors.begin() + 3 * s);
      std::copy(order2->lookaheadTable, order2->lookaheadTable + 5, m_Lookahead.begin() + 5 * s);
      m_Steps[s] = {{c.b0, c.b1, c.b2, 0.0f}, {-c.a1, -c.a2}, {0.0f, 0.0f}};
    }
  }
  BiquadState(const BiquadState&) = delete;
  BiquadState& operator=(const BiquadState&) = delete;

  IirState* get() { return &m_State; }
  std::vector<float>& delay() { return m_Delay; }

 private:
  IirState m_State = {};
  std::vector<float> m_Taps, m_Delay;
  std::vector<IirVector> m_TapVectors, m_Lookahead;
  std::vector<IirBiquadStepRecord> m_Steps;
  std::vector<float> m_Work;
};

// The cascade in long double, section after section.
class CascadeReference {
 public:
  explicit CascadeReference(const std::vector<Section>& sections) {
    for (const Section& c : sections) m_Sections.push_back(RealReference({c.b0, c.b1, c.b2}, {1.0L, c.a1, c.a2}));
  }
  long double Step(long double x) {
    for (RealReference& s : m_Sections) x = s.Step(x);
    return x;
  }

 private:
  std::vector<RealReference> m_Sections;
};

}  // namespace iir_test
