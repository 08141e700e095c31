// The per-sample steps of the IIR family, every member at every level:
// outputs against long double transposed direct form II, the integer
// conversions' rounding and saturation, and the agreement of the levels.
#include <xmmintrin.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "primitives/unreached/iir/IirKernels.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/primitives/unreached/IirTestSupport.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

using namespace iir_test;

class IirStepKernels : public unreached_test::LevelKernelTest {};

template <typename S, typename A>
using StepFn = std::function<void(const S*, S*, A*, IirState*, int32_t)>;

#define IIR_PLAIN(k) [](const auto* s, auto* d, auto*, IirState* st, int32_t) { k(s, d, st); }
#define IIR_SCALED(k) [](const auto* s, auto* d, auto*, IirState* st, int32_t sf) { k(s, d, st, sf); }
#define IIR_DUAL(k) [](const auto* s, auto* d, auto* y, IirState* st, int32_t) { k(s, d, y, st); }
#define IIR_DUAL_SCALED(k) [](const auto* s, auto* d, auto* y, IirState* st, int32_t sf) { k(s, d, y, st, sf); }
#define IIR_LEVELS(shape, name) \
  { shape(name##L1), shape(name##L2), shape(name##L3) }

template <typename T>
LComplex AsComplex(T v) {
  if constexpr (requires { v.re; })
    return LComplex(v.re, v.im);
  else
    return LComplex(v, 0);
}

template <typename T>
constexpr bool kIsComplex = requires(T v) {
  v.re;
};

template <typename T>
struct PartTrait {
  using type = T;
};
template <typename T>
requires kIsComplex<T>
struct PartTrait<T> {
  using type = decltype(T{}.re);
};
template <typename T>
using PartOf = typename PartTrait<T>::type;

// Integers within +-2000 (16-bit) or +-2000000 (32-bit), floats in [-1, 1).
template <typename S>
std::vector<S> Samples(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  using P = PartOf<S>;
  auto part = [&]() -> P {
    if constexpr (std::is_same_v<P, int16_t>) return static_cast<P>(std::lround(2000 * unit(rng)));
    if constexpr (std::is_same_v<P, int32_t>) return static_cast<P>(std::lround(2000000 * unit(rng)));
    if constexpr (std::is_floating_point_v<P>) return static_cast<P>(unit(rng));
  };
  std::vector<S> x(n);
  for (S& v : x) {
    if constexpr (kIsComplex<S>)
      v = {part(), part()};
    else
      v = part();
  }
  return x;
}

// The integer a scaled output should become: ties to even (the test runs in
// the default rounding), saturated.
template <typename P>
long double ExpectedInteger(long double v) {
  const long double lo = std::numeric_limits<P>::min(), hi = std::numeric_limits<P>::max();
  return std::clamp(std::nearbyint(v), lo, hi);
}

// Runs `member` at each level over 40 samples for every size, and checks
// each output against the reference (dual members: yOut against the
// reference and dst as the exact conversion of yOut), and that levels 2 and
// 3 give level 1's bits.
template <typename S, typename A>
void CheckMember(const char* name, StepForm form, const std::array<StepFn<S, A>, 3>& levels, bool dual) {
  SCOPED_TRACE(name);
  using P = PartOf<S>;
  using AP = PartOf<A>;
  constexpr bool kComplex = kIsComplex<A>;
  constexpr bool kInteger = std::is_integral_v<P>;
  const int32_t sf = std::is_same_v<P, int16_t> ? 2 : 3;
  const long double m = std::ldexp(1.0L, -sf);
  // Float arithmetic is exact to a few units of 2^-24 of the signal; double
  // arithmetic to a few of 2^-53, float samples rounding once more.
  const double tolerance = std::is_same_v<AP, float> ? 2e-6 : (std::is_same_v<P, float> ? 2e-7 : 1e-13);
  std::vector<int32_t> sizes;
  if (form == StepForm::Biquad)
    sizes = {1, 2, 3, 5, 6};
  else
    sizes = kComplex ? std::vector<int32_t>{0, 1, 3, 4, 5} : std::vector<int32_t>{0, 1, 2, 5, 6};
  for (int32_t size : sizes) {
    SCOPED_TRACE(testing::Message() << (form == StepForm::Biquad ? "sections " : "order ") << size);
    Coefficients c;
    if (form == StepForm::Arbitrary) {
      c = RoundedTo<AP>(StableCoefficients(size, kComplex, 7 * size + 1));
    } else {
      for (int32_t s = 0; s < size; ++s) {
        const Coefficients section = RoundedTo<AP>(StableCoefficients(2, kComplex, 31 * s + size));
        c.b.insert(c.b.end(), section.b.begin(), section.b.end());
        c.a.insert(c.a.end(), section.a.begin(), section.a.end());
      }
    }
    std::vector<ComplexReference> reference;
    if (form == StepForm::Arbitrary) {
      reference.emplace_back(c.b, c.a);
    } else {
      for (int32_t s = 0; s < size; ++s)
        reference.emplace_back(std::vector<LComplex>(c.b.begin() + 3 * s, c.b.begin() + 3 * s + 3),
                               std::vector<LComplex>(c.a.begin() + 3 * s, c.a.begin() + 3 * s + 3));
    }
    const std::vector<S> x = Samples<S>(40, size + 3);
    std::vector<LComplex> expected;
    for (const S& v : x) {
      LComplex y = AsComplex(v);
      for (ComplexReference& r : reference) y = r.Step(y);
      expected.push_back(y);
    }

    std::vector<S> out[3];
    std::vector<A> yOut[3];
    for (int level = 1; level <= 3; ++level) {
      if (!unreached_test::CpuRunsLevel(level)) continue;
      StepState<A> state(form, c);
      out[level - 1].resize(x.size());
      yOut[level - 1].resize(x.size());
      for (size_t i = 0; i < x.size(); ++i)
        levels[level - 1](&x[i], &out[level - 1][i], dual ? &yOut[level - 1][i] : nullptr, state.get(), sf);
      if (level > 1) {
        EXPECT_EQ(std::memcmp(out[level - 1].data(), out[0].data(), x.size() * sizeof(S)), 0) << "level " << level;
        EXPECT_EQ(std::memcmp(yOut[level - 1].data(), yOut[0].data(), x.size() * sizeof(A)), 0) << "level " << level;
      }
    }
    long double scale = 1;
    for (const LComplex& y : expected) scale = std::max(scale, std::abs(y));
    for (size_t i = 0; i < x.size(); ++i) {
      SCOPED_TRACE(i);
      if (dual) {
        EXPECT_LE(std::abs(AsComplex(yOut[0][i]) - expected[i]) / scale, tolerance);
      }
      if constexpr (kInteger) {
        const LComplex got = AsComplex(out[0][i]);
        if (dual) {
          // The product with 2^-sf is exact, so the stored value is yOut's.
          const LComplex y = AsComplex(yOut[0][i]);
          EXPECT_EQ(got.real(), ExpectedInteger<P>(y.real() * m));
          EXPECT_EQ(got.imag(), kIsComplex<S> ? ExpectedInteger<P>(y.imag() * m) : 0.0L);
        } else {
          EXPECT_LE(std::abs(got.real() - ExpectedInteger<P>(expected[i].real() * m)), 1.0L);
          EXPECT_LE(std::abs(got.imag() - (kIsComplex<S> ? ExpectedInteger<P>(expected[i].imag() * m) : 0.0L)), 1.0L);
        }
      } else {
        EXPECT_LE(std::abs(AsComplex(out[0][i]) - expected[i]) / scale, tolerance);
      }
    }
  }
}

TEST_F(IirStepKernels, EveryMemberFollowsTheReferenceAtEveryLevel) {
  using F = StepForm;
  CheckMember<float, float>("IirStepF32", F::Arbitrary, IIR_LEVELS(IIR_PLAIN, IirStepF32), false);
  CheckMember<float, float>("IirBiquadStepF32", F::Biquad, IIR_LEVELS(IIR_PLAIN, IirBiquadStepF32), false);
  CheckMember<int16_t, float>("IirBiquadStepS16", F::Biquad, IIR_LEVELS(IIR_SCALED, IirBiquadStepS16), false);
  CheckMember<int16_t, float>("IirStepS16", F::Arbitrary, IIR_LEVELS(IIR_SCALED, IirStepS16), false);
  CheckMember<int16_t, float>("IirStepS16Dual", F::Arbitrary, IIR_LEVELS(IIR_DUAL_SCALED, IirStepS16Dual), true);
  CheckMember<ComplexF32, ComplexF32>("IirStepComplexF32", F::Arbitrary, IIR_LEVELS(IIR_PLAIN, IirStepComplexF32),
                                      false);
  CheckMember<ComplexF32, ComplexF32>("IirBiquadStepComplexF32", F::Biquad,
                                      IIR_LEVELS(IIR_PLAIN, IirBiquadStepComplexF32), false);
  CheckMember<ComplexS16, ComplexF32>("IirStepComplexS16", F::Arbitrary, IIR_LEVELS(IIR_SCALED, IirStepComplexS16),
                                      false);
  CheckMember<ComplexS16, ComplexF32>("IirStepComplexS16Dual", F::Arbitrary,
                                      IIR_LEVELS(IIR_DUAL_SCALED, IirStepComplexS16Dual), true);
  CheckMember<ComplexS16, ComplexF32>("IirBiquadStepComplexS16", F::Biquad,
                                      IIR_LEVELS(IIR_SCALED, IirBiquadStepComplexS16), false);
  CheckMember<double, double>("IirBiquadStepF64", F::Biquad, IIR_LEVELS(IIR_PLAIN, IirBiquadStepF64), false);
  CheckMember<int16_t, double>("IirBiquadStepS16F64", F::Biquad, IIR_LEVELS(IIR_SCALED, IirBiquadStepS16F64), false);
  CheckMember<int32_t, double>("IirBiquadStepS32F64", F::Biquad, IIR_LEVELS(IIR_SCALED, IirBiquadStepS32F64), false);
  CheckMember<float, double>("IirBiquadStepF32F64", F::Biquad, IIR_LEVELS(IIR_PLAIN, IirBiquadStepF32F64), false);
  CheckMember<double, double>("IirStepF64", F::Arbitrary, IIR_LEVELS(IIR_PLAIN, IirStepF64), false);
  CheckMember<int32_t, double>("IirStepS32F64", F::Arbitrary, IIR_LEVELS(IIR_SCALED, IirStepS32F64), false);
  CheckMember<int32_t, double>("IirStepS32F64Dual", F::Arbitrary, IIR_LEVELS(IIR_DUAL_SCALED, IirStepS32F64Dual), true);
  CheckMember<int16_t, double>("IirStepS16F64", F::Arbitrary, IIR_LEVELS(IIR_SCALED, IirStepS16F64), false);
  CheckMember<int16_t, double>("IirStepS16F64Dual", F::Arbitrary, IIR_LEVELS(IIR_DUAL_SCALED, IirStepS16F64Dual), true);
  CheckMember<float, double>("IirStepF32F64", F::Arbitrary, IIR_LEVELS(IIR_PLAIN, IirStepF32F64), false);
  CheckMember<float, double>("IirStepF32F64Dual", F::Arbitrary, IIR_LEVELS(IIR_DUAL, IirStepF32F64Dual), true);
  CheckMember<ComplexF64, ComplexF64>("IirStepComplexF64", F::Arbitrary, IIR_LEVELS(IIR_PLAIN, IirStepComplexF64),
                                      false);
  CheckMember<ComplexF64, ComplexF64>("IirBiquadStepComplexF64", F::Biquad,
                                      IIR_LEVELS(IIR_PLAIN, IirBiquadStepComplexF64), false);
  CheckMember<ComplexS32, ComplexF64>("IirStepComplexS32F64", F::Arbitrary,
                                      IIR_LEVELS(IIR_SCALED, IirStepComplexS32F64), false);
  CheckMember<ComplexS32, ComplexF64>("IirStepComplexS32F64Dual", F::Arbitrary,
                                      IIR_LEVELS(IIR_DUAL_SCALED, IirStepComplexS32F64Dual), true);
  CheckMember<ComplexS32, ComplexF64>("IirBiquadStepComplexS32F64", F::Biquad,
                                      IIR_LEVELS(IIR_SCALED, IirBiquadStepComplexS32F64), false);
  CheckMember<ComplexS16, ComplexF64>("IirStepComplexS16F64", F::Arbitrary,
                                      IIR_LEVELS(IIR_SCALED, IirStepComplexS16F64), false);
  CheckMember<ComplexS16, ComplexF64>("IirStepComplexS16F64Dual", F::Arbitrary,
                                      IIR_LEVELS(IIR_DUAL_SCALED, IirStepComplexS16F64Dual), true);
  CheckMember<ComplexS16, ComplexF64>("IirBiquadStepComplexS16F64", F::Biquad,
                                      IIR_LEVELS(IIR_SCALED, IirBiquadStepComplexS16F64), false);
  CheckMember<ComplexF32, ComplexF64>("IirStepComplexF32F64", F::Arbitrary, IIR_LEVELS(IIR_PLAIN, IirStepComplexF32F64),
                                      false);
  CheckMember<ComplexF32, ComplexF64>("IirStepComplexF32F64Dual", F::Arbitrary,
                                      IIR_LEVELS(IIR_DUAL, IirStepComplexF32F64Dual), true);
  CheckMember<ComplexF32, ComplexF64>("IirBiquadStepComplexF32F64", F::Biquad,
                                      IIR_LEVELS(IIR_PLAIN, IirBiquadStepComplexF32F64), false);
}

// One output y = x b0 (order 0, or one section b0 0 0 / 1 0 0) through the
// integer conversions. Float arithmetic: ties to even, saturation both ways,
// NaN to the low end; double arithmetic: NaN to the high end.
template <typename A, typename S, typename Kernel>
int64_t OneOutput(Kernel kernel, StepForm form, int32_t x, float b0, int32_t sf) {
  Coefficients c;
  const bool biquad = form == StepForm::Biquad;
  c.b = biquad ? std::vector<LComplex>{b0, 0, 0} : std::vector<LComplex>{b0};
  c.a = biquad ? std::vector<LComplex>{1, 0, 0} : std::vector<LComplex>{1};
  StepState<A> state(form, c);
  const S in = static_cast<S>(x);
  S out = 0;
  kernel(&in, &out, state.get(), sf);
  return out;
}

TEST_F(IirStepKernels, IntegerOutputsRoundAndSaturate) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  using Run = int64_t (*)(int32_t x, float b0, int32_t sf);
  const Run stepS16 = [](int32_t x, float b0, int32_t sf) {
    return OneOutput<float, int16_t>(IirStepS16L1, StepForm::Arbitrary, x, b0, sf);
  };
  const Run biquadS16 = [](int32_t x, float b0, int32_t sf) {
    return OneOutput<float, int16_t>(IirBiquadStepS16L2, StepForm::Biquad, x, b0, sf);
  };
  const Run stepS16F64 = [](int32_t x, float b0, int32_t sf) {
    return OneOutput<double, int16_t>(IirStepS16F64L3, StepForm::Arbitrary, x, b0, sf);
  };
  const Run biquadS16F64 = [](int32_t x, float b0, int32_t sf) {
    return OneOutput<double, int16_t>(IirBiquadStepS16F64L1, StepForm::Biquad, x, b0, sf);
  };
  const Run stepS32F64 = [](int32_t x, float b0, int32_t sf) {
    return OneOutput<double, int32_t>(IirStepS32F64L2, StepForm::Arbitrary, x, b0, sf);
  };
  const Run biquadS32F64 = [](int32_t x, float b0, int32_t sf) {
    return OneOutput<double, int32_t>(IirBiquadStepS32F64L3, StepForm::Biquad, x, b0, sf);
  };
  struct Row {
    const char* name;
    Run run;
    int32_t x;
    float b0;
    int32_t sf;
    int64_t expected;
  };
  const Row rows[] = {
      {"5 / 2 ties to even", stepS16, 1, 5, 1, 2},
      {"7 / 2 ties to even", stepS16, 1, 7, 1, 4},
      {"above the range", stepS16, 1000, 1e5f, 1, 32767},
      {"below the range", stepS16, 1000, -1e5f, 1, -32768},
      {"3e9 stays at the top", stepS16, 30000, 1e5f, 0, 32767},
      {"-3e9", stepS16, 30000, -1e5f, 0, -32768},
      {"NaN", stepS16, 1, nan, 0, -32768},
      {"biquad: 3e9 saturates high too", biquadS16, 30000, 1e5f, 0, 32767},
      {"biquad: 2^31 exactly", biquadS16, 1, 2147483648.0f, 0, 32767},
      {"biquad: NaN", biquadS16, 1, nan, 0, -32768},
      {"biquad: 10 / 4 ties to even", biquadS16, 10, 1, 2, 2},
      {"double: 5 / 2", stepS16F64, 5, 1, 1, 2},
      {"double: NaN", stepS16F64, 1, nan, 0, 32767},
      {"double: 3e9", stepS16F64, 30000, 1e5f, 0, 32767},
      {"double biquad: -3e9", biquadS16F64, 30000, -1e5f, 0, -32768},
      {"32-bit: NaN", stepS32F64, 1, nan, 0, 2147483647},
      {"32-bit: 3e9", stepS32F64, 30000, 1e5f, 0, 2147483647},
      {"32-bit: -3e9", stepS32F64, 30000, -1e5f, 0, -2147483648LL},
      {"32-bit: sf -3", stepS32F64, 1000, 1, -3, 8000},
      {"32-bit biquad: 7 / 2", biquadS32F64, 7, 1, 1, 4},
  };
  for (const Row& row : rows) EXPECT_EQ(row.run(row.x, row.b0, row.sf), row.expected) << row.name;
}

// The conversions round by the caller's MXCSR; the dual member's yOut keeps
// the value the clamp throws away.
TEST_F(IirStepKernels, RoundingFollowsTheCallerAndDualKeepsTheUnscaledOutput) {
  Coefficients c;
  c.b = {7};
  c.a = {1};
  const int16_t x = 1;
  {
    primtest::MxcsrScope towardZero(primtest::kDefaultMxcsr | 0x6000);
    StepState<float> state(StepForm::Arbitrary, c);
    int16_t y = 0;
    IirStepS16L2(&x, &y, state.get(), 1);
    EXPECT_EQ(y, 3);
  }
  c.b = {1e6};
  StepState<float> state(StepForm::Arbitrary, c);
  int16_t y = 0;
  float unscaled = 0;
  IirStepS16DualL3(&x, &y, &unscaled, state.get(), 4);
  EXPECT_EQ(y, 32767);
  EXPECT_EQ(unscaled, 1e6f);
}

// Order 0 is a gain that leaves the delay line alone; the complex float
// step's direct form (order 3) and table form (order 4 with a zero fourth
// coefficient) agree within rounding.
TEST_F(IirStepKernels, GainOrderAndComplexTableForm) {
  Coefficients gain;
  gain.b = {0.5L};
  gain.a = {1};
  StepState<float> state(StepForm::Arbitrary, gain);
  state.get()->delayLine[0] = 9;
  const float x = 3;
  float y = 0;
  IirStepF32L1(&x, &y, state.get());
  EXPECT_EQ(y, 1.5f);
  EXPECT_EQ(state.get()->delayLine[0], 9.0f);

  Coefficients direct = RoundedTo<float>(StableCoefficients(3, true, 5));
  Coefficients table = direct;
  table.b.push_back(0);
  table.a.push_back(0);
  StepState<ComplexF32> three(StepForm::Arbitrary, direct), four(StepForm::Arbitrary, table);
  for (const ComplexF32& v : Samples<ComplexF32>(30, 8)) {
    ComplexF32 a, b;
    IirStepComplexF32L1(&v, &a, three.get());
    IirStepComplexF32L1(&v, &b, four.get());
    EXPECT_NEAR(a.re, b.re, 1e-5);
    EXPECT_NEAR(a.im, b.im, 1e-5);
  }
}

}  // namespace
