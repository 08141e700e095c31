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
#include <type_traits>
#include <vector>

#include "primitives/unreached/Complex.h"
#include "primitives/unreached/iir/Iir.h"
#include "primitives/unreached/iir/IirKernels.h"
#include "primitives/unreached/iir/IirLevels.h"

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

namespace iir_test {

// ---------------------------------------------------------------------------
// Coefficients of the per-sample and complex block kernels

// b[0..N] and a[0..N] (a[0] = 1) of a stable filter with poles of radius at
// most 0.8: conjugate pairs when real, free complex poles otherwise.
struct Coefficients {
  std::vector<LComplex> b, a;
};

inline Coefficients StableCoefficients(int32_t order, bool complex, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  Coefficients c;
  c.a = {1.0L};
  auto multiply = [&](LComplex root) {
    std::vector<LComplex> next(c.a.size() + 1, 0.0L);
    for (size_t i = 0; i < c.a.size(); ++i) {
      next[i] += c.a[i];
      next[i + 1] -= c.a[i] * root;
    }
    c.a = next;
  };
  auto pole = [&] { return std::polar<long double>(0.2L + 0.6L * std::abs(unit(rng)), 3.1L * unit(rng)); };
  for (int32_t left = order; left > 0;) {
    if (complex) {
      multiply(pole());
      --left;
    } else if (left >= 2) {
      const LComplex p = pole();
      multiply(p);
      multiply(std::conj(p));
      left -= 2;
    } else {
      multiply(0.8L * unit(rng));
      --left;
    }
  }
  for (int32_t k = 0; k <= order; ++k) c.b.push_back(LComplex(unit(rng), complex ? unit(rng) : 0.0));
  for (LComplex& v : c.a)
    if (!complex) v = v.real();
  return c;
}

// Every coefficient rounded to T (float or double), so that a reference
// built from them differs from a kernel only by the kernel's arithmetic.
template <typename T>
Coefficients RoundedTo(Coefficients c) {
  for (auto* v : {&c.b, &c.a})
    for (LComplex& z : *v) z = LComplex(static_cast<T>(z.real()), static_cast<T>(z.imag()));
  return c;
}

// The complex block tables of order N: tap entries and lookahead entries
// (weights formed in long double, stored as floats).
struct ComplexBlockTables {
  std::vector<IirComplexTapEntry> taps;
  std::vector<IirComplexLookaheadEntry> lookahead;
};

inline ComplexBlockTables MakeComplexBlockTables(const Coefficients& c) {
  const int32_t n = static_cast<int32_t>(c.b.size()) - 1;
  ComplexBlockTables t;
  for (int32_t k = 0; k <= n; ++k) {
    const float re = static_cast<float>(c.b[k].real()), im = static_cast<float>(c.b[k].imag());
    t.taps.push_back({{{re, re, re, re}}, {{-im, im, -im, im}}});
  }
  auto cc = [&](int32_t k) { return k >= 1 && k <= n ? -c.a[k] / c.a[0] : LComplex(0); };
  std::vector<LComplex> h = {1.0L};
  for (int32_t j = 1; j <= 3; ++j) {
    LComplex s = 0;
    for (int32_t m = 1; m <= std::min(j, n); ++m) s += cc(m) * h[j - m];
    h.push_back(s);
  }
  auto entry = [](const LComplex u[4]) {
    IirComplexLookaheadEntry e;
    for (int half = 0; half < 2; ++half) {
      const LComplex p = u[2 * half], q = u[2 * half + 1];
      e.v[2 * half] = {{float(p.real()), float(p.imag()), float(q.real()), float(q.imag())}};
      e.v[2 * half + 1] = {{float(-p.imag()), float(p.real()), float(-q.imag()), float(q.real())}};
    }
    return e;
  };
  for (int32_t k = 1; k <= n; ++k) {
    LComplex g[4];
    for (int32_t j = 0; j < 4; ++j) {
      g[j] = 0;
      for (int32_t i = 0; i <= j; ++i) g[j] += h[j - i] * cc(k + i);
    }
    t.lookahead.push_back(entry(g));
  }
  const LComplex w[4] = {h[0], h[1], h[2], h[3]};
  t.lookahead.push_back(entry(w));
  return t;
}

// ---------------------------------------------------------------------------
// States of the per-sample steps

enum class StepForm { Arbitrary, Biquad };

// A state whose taps and delay line hold the arithmetic type A (float,
// double, ComplexF32, ComplexF64), with every step table its form and type
// may read: for a biquad form `c` holds the sections one after the other,
// five coefficients each (b0 b1 b2 in b, 1 a1 a2 in a).
template <typename A>
class StepState {
 public:
  using Part = std::conditional_t<std::is_same_v<A, ComplexF32> || std::is_same_v<A, float>, float, double>;
  static constexpr bool kComplex = std::is_same_v<A, ComplexF32> || std::is_same_v<A, ComplexF64>;

  StepState(StepForm form, const Coefficients& c) : m_Taps(2 * c.b.size() + 8), m_Delay(2 * c.b.size() + 8) {
    const int32_t n = static_cast<int32_t>(c.b.size()) - 1;
    auto value = [](LComplex z) {
      if constexpr (kComplex)
        return A{static_cast<Part>(z.real()), static_cast<Part>(z.imag())};
      else
        return static_cast<A>(z.real());
    };
    auto re = [](LComplex z) { return static_cast<Part>(z.real()); };
    auto im = [](LComplex z) { return static_cast<Part>(z.imag()); };
    m_State.delayLine = reinterpret_cast<float*>(m_Delay.data());
    m_State.taps = reinterpret_cast<float*>(m_Taps.data());
    A* taps = m_Taps.data();
    if (form == StepForm::Arbitrary) {
      m_State.tag = IIR_STATE_TAG;
      m_State.order = n;
      for (int32_t k = 0; k <= n; ++k) taps[k] = value(c.b[k]);
      for (int32_t k = 1; k <= n; ++k) taps[n + k] = value(c.a[k]);
      auto bk = [&](int32_t k) { return k <= n ? c.b[k] : LComplex(0); };
      auto ak = [&](int32_t k) { return k <= n ? c.a[k] : LComplex(0); };
      if constexpr (std::is_same_v<A, ComplexF32>) {
        // T2.
        m_Table.resize((16 + 64 * (n / 2 + 1)) / sizeof(IirComplexBiquadStepRecordF64) + 1);
        float* t = reinterpret_cast<float*>(m_Table.data());
        const float head[4] = {re(c.b[0]), re(c.b[0]), -im(c.b[0]), im(c.b[0])};
        std::copy(head, head + 4, t);
        for (int32_t k = 0; k < n; k += 2) {
          const LComplex b = bk(k + 1), a = ak(k + 1), b2 = bk(k + 2), a2 = ak(k + 2);
          const float q[16] = {re(b),  re(b),  re(b2),  re(b2),  -im(b), im(b),  -im(b2), im(b2),
                               -re(a), -im(a), -re(a2), -im(a2), im(a),  -re(a), im(a2),  -re(a2)};
          std::copy(q, q + 16, t + 4 + 8 * k);
        }
      }
      if constexpr (std::is_same_v<A, ComplexF64>) {
        // T5.
        m_Table.resize((32 + 64 * n) / sizeof(IirComplexBiquadStepRecordF64) + 1);
        double* t = reinterpret_cast<double*>(m_Table.data());
        const double head[4] = {re(c.b[0]), im(c.b[0]), im(c.b[0]), re(c.b[0])};
        std::copy(head, head + 4, t);
        for (int32_t k = 1; k <= n; ++k) {
          const LComplex b = c.b[k], a = c.a[k];
          const double e[8] = {re(b), im(b), im(b), re(b), -re(a), -im(a), -im(a), -re(a)};
          std::copy(e, e + 8, t + 4 + 8 * (k - 1));
        }
      }
    } else {
      const int32_t sections = static_cast<int32_t>(c.b.size()) / 3;
      m_State.tag = IIR_BIQUAD_STATE_TAG;
      m_State.order = 2 * sections;
      m_State.sectionCount = sections;
      m_Table.resize(sections + 1);
      for (int32_t s = 0; s < sections; ++s) {
        const LComplex b0 = c.b[3 * s], b1 = c.b[3 * s + 1], b2 = c.b[3 * s + 2];
        const LComplex a1 = c.a[3 * s + 1], a2 = c.a[3 * s + 2];
        const LComplex five[5] = {b0, b1, b2, a1, a2};
        for (int i = 0; i < 5; ++i) taps[5 * s + i] = value(five[i]);
        if constexpr (std::is_same_v<A, float>) {
          reinterpret_cast<IirBiquadStepRecord*>(m_Table.data())[s] = {
              {re(b0), re(b1), re(b2), 0.0f}, {-re(a1), -re(a2)}, {0.0f, 0.0f}};
        }
        if constexpr (std::is_same_v<A, double>) {
          reinterpret_cast<IirBiquadStepRecordF64*>(m_Table.data())[s] = {
              {re(b0), re(b0)}, {re(b1), re(b2)}, {-re(a1), -re(a2)}};
        }
        if constexpr (std::is_same_v<A, ComplexF32>) {
          IirComplexBiquadStepRecordF32& r = reinterpret_cast<IirComplexBiquadStepRecordF32*>(m_Table.data())[s];
          const float p[4] = {re(b0), im(b0), -im(b0), re(b0)};
          const float q[16] = {re(b1),  im(b1),  re(b2),  im(b2),  -im(b1), re(b1),  -im(b2), re(b2),
                               -re(a1), -im(a1), -re(a2), -im(a2), im(a1),  -re(a1), im(a2),  -re(a2)};
          std::memcpy(r.p0, p, 8);
          std::memcpy(r.p1, p + 2, 8);
          std::memcpy(r.q, q, 64);
        }
        if constexpr (std::is_same_v<A, ComplexF64>) {
          IirComplexBiquadStepRecordF64& r = reinterpret_cast<IirComplexBiquadStepRecordF64*>(m_Table.data())[s];
          const LComplex pairs[5] = {b0, b1, b2, -a1, -a2};
          for (int i = 0; i < 5; ++i) {
            r.pair[2 * i][0] = re(pairs[i]);
            r.pair[2 * i][1] = im(pairs[i]);
            r.pair[2 * i + 1][0] = im(pairs[i]);
            r.pair[2 * i + 1][1] = re(pairs[i]);
          }
        }
      }
    }
    m_State.stepTable = m_Table.empty() ? nullptr : m_Table.data();
  }
  StepState(const StepState&) = delete;
  StepState& operator=(const StepState&) = delete;

  IirState* get() { return &m_State; }

 private:
  IirState m_State = {};
  std::vector<A> m_Taps;
  Aligned<A> m_Delay;
  std::vector<IirComplexBiquadStepRecordF64> m_Table;  // 16-byte aligned storage for any table
};

}  // namespace iir_test
