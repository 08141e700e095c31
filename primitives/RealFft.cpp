// The real FFT transforms: small orders written out, larger ones as a complex
// transform of half the length followed by the real recombination.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "primitives/Dispatch.h"
#include "primitives/Memory.h"
#include "primitives/RealFft.h"
#include "primitives/Vector.h"
#include "primitives/levels/FftLevels.h"

namespace {

constexpr int32_t kBlockOrder = 10;
constexpr int32_t kBlockPoints = 1 << kBlockOrder;
// Longest run of the radix-2 passes; longer transforms take the four-step
// split, so no run is ever longer.
constexpr int32_t kPassRunPoints = 16384;

struct Complex {
  float re;
  float im;
};

inline Complex Load(const float* p) { return {p[0], p[1]}; }
inline void Store(float* p, Complex c) {
  p[0] = c.re;
  p[1] = c.im;
}
inline Complex Add(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
inline Complex Sub(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
inline Complex Mul(Complex a, Complex b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
// a - i b and a + i b.
inline Complex SubTimesI(Complex a, Complex b) { return {a.re + b.im, a.im - b.re}; }
inline Complex AddTimesI(Complex a, Complex b) { return {a.re - b.im, a.im + b.re}; }

// Twiddle tables hold exp(-i theta); the inverse reads their conjugates.
template <bool kInverse>
inline Complex Twiddle(const float* p) {
  return kInverse ? Complex{p[0], -p[1]} : Complex{p[0], p[1]};
}

int32_t Log2(int64_t points) {
  int32_t order = 0;
  while ((int64_t{1} << order) < points) ++order;
  return order;
}

// Four floats side by side in the compiler's generic vector type: every
// operation is the scalar one in each lane, on whatever vector unit the target
// has (or none), so a result does not depend on how many lanes run at once.
typedef float Lanes __attribute__((vector_size(16)));

inline Lanes LoadLanes(const float* p) {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void StoreLanes(float* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

// Four consecutive points as their four real parts and four imaginary parts.
// In memory a quad is either interleaved (re, im pairs) or block-split (the
// four real parts, then the four imaginary parts): both fill the same 32
// bytes, so a pass can change the layout in place.
struct Quad {
  Lanes re;
  Lanes im;
};

template <bool kInterleaved>
inline Quad LoadQuad(const float* p) {
  const Lanes a = LoadLanes(p), b = LoadLanes(p + 4);
  if (!kInterleaved) return {a, b};
  return {__builtin_shufflevector(a, b, 0, 2, 4, 6), __builtin_shufflevector(a, b, 1, 3, 5, 7)};
}
template <bool kInterleaved>
inline void StoreQuad(float* p, Quad q) {
  if (!kInterleaved) {
    StoreLanes(p, q.re);
    StoreLanes(p + 4, q.im);
    return;
  }
  StoreLanes(p, __builtin_shufflevector(q.re, q.im, 0, 4, 1, 5));
  StoreLanes(p + 4, __builtin_shufflevector(q.re, q.im, 2, 6, 3, 7));
}

inline Quad Add(Quad a, Quad b) { return {a.re + b.re, a.im + b.im}; }
inline Quad Sub(Quad a, Quad b) { return {a.re - b.re, a.im - b.im}; }
inline Quad Mul(Quad a, Quad b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline Quad SubTimesI(Quad a, Quad b) { return {a.re + b.im, a.im - b.re}; }
inline Quad AddTimesI(Quad a, Quad b) { return {a.re - b.im, a.im + b.re}; }

// One radix-4 stage of span S >= 16 (see ButterflyBlock) four butterflies at a
// time: lane l serves j + l, with the same operations, operand for operand, as
// the scalar butterfly. The stage reads block-split quads and writes
// interleaved ones when kTo (block-split otherwise); a scaled stage multiplies
// its results by the factor, as a separate scaling pass would.
template <bool kInverse, bool kTo, bool kScaled>
void Radix4StageQuads(float* data, int32_t points, int32_t span, const float* twiddles, float scale) {
  const int32_t quarter = span / 4;
  const int32_t stride = points / span;
  const Lanes factor = {scale, scale, scale, scale};
  auto store = [&](float* p, Quad q) {
    if (kScaled) q = {q.re * factor, q.im * factor};
    StoreQuad<kTo>(p, q);
  };
  for (int32_t j = 0; j < quarter; j += 4) {
    float parts[6][4];  // re and im of w^j, w^2j, w^3j, lane by lane
    for (int32_t l = 0; l < 4; ++l) {
      const float* entry = twiddles + 6 * static_cast<ptrdiff_t>(j + l) * stride;
      for (int32_t f = 0; f < 3; ++f) {
        parts[2 * f][l] = entry[2 * f];
        parts[2 * f + 1][l] = kInverse ? -entry[2 * f + 1] : entry[2 * f + 1];
      }
    }
    Quad w[3];
    for (int32_t f = 0; f < 3; ++f) w[f] = {LoadLanes(parts[2 * f]), LoadLanes(parts[2 * f + 1])};
    for (int32_t base = j; base < points; base += span) {
      float* p = data + 2 * static_cast<ptrdiff_t>(base);
      const Quad x0 = LoadQuad<false>(p);
      const Quad x1 = Mul(w[1], LoadQuad<false>(p + 2 * quarter));
      const Quad x2 = Mul(w[0], LoadQuad<false>(p + 4 * quarter));
      const Quad x3 = Mul(w[2], LoadQuad<false>(p + 6 * quarter));
      const Quad a = Add(x0, x1), b = Sub(x0, x1), c = Add(x2, x3), e = Sub(x2, x3);
      store(p, Add(a, c));
      store(p + 2 * quarter, kInverse ? AddTimesI(b, e) : SubTimesI(b, e));
      store(p + 4 * quarter, Sub(a, c));
      store(p + 6 * quarter, kInverse ? SubTimesI(b, e) : AddTimesI(b, e));
    }
  }
}

// Transposes four quads: lane l of quad q becomes lane q of quad l.
inline void Transpose(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
  const Lanes ab0 = __builtin_shufflevector(a, b, 0, 4, 1, 5), ab1 = __builtin_shufflevector(a, b, 2, 6, 3, 7);
  const Lanes cd0 = __builtin_shufflevector(c, d, 0, 4, 1, 5), cd1 = __builtin_shufflevector(c, d, 2, 6, 3, 7);
  a = __builtin_shufflevector(ab0, cd0, 0, 1, 4, 5);
  b = __builtin_shufflevector(ab0, cd0, 2, 3, 6, 7);
  c = __builtin_shufflevector(ab1, cd1, 0, 1, 4, 5);
  d = __builtin_shufflevector(ab1, cd1, 2, 3, 6, 7);
}

// The first stages of ButterflyBlock on 16 points or more, from the
// interleaved bit-reversed points to block-split quads: the radix-4 stage of
// span 4 on four groups at a time (lane m of input q is point q of group m,
// so every lane runs the scalar butterfly), and for an odd order the radix-2
// stage to span 8, whose lane j multiplies by w^j except lane 0, which takes
// its point as it is.
template <bool kInverse>
void FirstStagesQuads(float* data, int32_t points, const float* twiddles) {
  for (int32_t g = 0; g < points; g += 16) {
    float* p = data + 2 * g;
    Quad x[4];
    for (int32_t m = 0; m < 4; ++m) x[m] = LoadQuad<true>(p + 8 * m);
    Transpose(x[0].re, x[1].re, x[2].re, x[3].re);
    Transpose(x[0].im, x[1].im, x[2].im, x[3].im);
    const Quad a = Add(x[0], x[1]), b = Sub(x[0], x[1]), c = Add(x[2], x[3]), e = Sub(x[2], x[3]);
    Quad y[4] = {Add(a, c), kInverse ? AddTimesI(b, e) : SubTimesI(b, e), Sub(a, c),
                 kInverse ? SubTimesI(b, e) : AddTimesI(b, e)};
    Transpose(y[0].re, y[1].re, y[2].re, y[3].re);
    Transpose(y[0].im, y[1].im, y[2].im, y[3].im);
    for (int32_t m = 0; m < 4; ++m) StoreQuad<false>(p + 8 * m, y[m]);
  }
  if (Log2(points) % 2 == 0) return;
  // The eighth roots of unity are the three twiddles of entry points / 8.
  const float* entry = twiddles + 6 * (points / 8);
  const Quad w = {Lanes{1.0f, entry[0], entry[2], entry[4]},
                  kInverse ? Lanes{0.0f, -entry[1], -entry[3], -entry[5]} : Lanes{0.0f, entry[1], entry[3], entry[5]}};
  for (int32_t g = 0; g < points; g += 8) {
    float* p = data + 2 * g;
    const Quad u = LoadQuad<false>(p), x = LoadQuad<false>(p + 8);
    Quad t = Mul(w, x);
    t.re[0] = x.re[0];
    t.im[0] = x.im[0];
    StoreQuad<false>(p, Add(u, t));
    StoreQuad<false>(p + 8, Sub(u, t));
  }
}

// ButterflyBlock on 16 points or more: the first stages, then the radix-4
// stages from span 16 or 32 up to the whole block on block-split quads; the
// last writes the interleaved points back (scaled when scale is not null).
template <bool kInverse>
void ButterflyBlockQuads(float* data, int32_t points, const float* twiddles, const float* scale) {
  FirstStagesQuads<kInverse>(data, points, twiddles);
  const float factor = scale != nullptr ? *scale : 0.0f;
  for (int32_t span = Log2(points) % 2 == 0 ? 4 : 8; span < points;) {
    span *= 4;
    if (span < points)
      Radix4StageQuads<kInverse, false, false>(data, points, span, twiddles, factor);
    else if (scale != nullptr)
      Radix4StageQuads<kInverse, true, true>(data, points, span, twiddles, factor);
    else
      Radix4StageQuads<kInverse, true, false>(data, points, span, twiddles, factor);
  }
}

// Radix-4 decimation in time on bit-reversed data. A butterfly of span S
// combines the four sub-transforms at offsets 0, S/4, S/2, 3S/4, which hold
// the subsequences 0, 2, 1, 3 of the decimation (bit reversal of the index);
// the twiddles w^j, w^2j, w^3j (w = exp(-2 pi i / S)) come from entry
// j * (points / S) of the table. The result is multiplied by *scale unless
// scale is null.
template <bool kInverse>
void ButterflyBlock(float* data, int32_t points, const float* twiddles, const float* scale = nullptr) {
  if (points >= 16) {
    ButterflyBlockQuads<kInverse>(data, points, twiddles, scale);
    return;
  }
  // Below 16 points the stages of span 4 and 8 are the whole transform.
  auto rotate = [](Complex a, Complex b) { return kInverse ? AddTimesI(a, b) : SubTimesI(a, b); };
  auto counterRotate = [](Complex a, Complex b) { return kInverse ? SubTimesI(a, b) : AddTimesI(a, b); };

  for (int32_t g = 0; g < points; g += 4) {
    float* p = data + 2 * g;
    const Complex x0 = Load(p), x1 = Load(p + 2), x2 = Load(p + 4), x3 = Load(p + 6);
    const Complex a = Add(x0, x1), b = Sub(x0, x1), c = Add(x2, x3), e = Sub(x2, x3);
    Store(p, Add(a, c));
    Store(p + 2, rotate(b, e));
    Store(p + 4, Sub(a, c));
    Store(p + 6, counterRotate(b, e));
  }
  if (Log2(points) % 2 != 0) {
    // One radix-2 stage to 8 points: the eighth roots of unity are the three
    // twiddles of entry points / 8.
    const float* entry = twiddles + 6 * (points / 8);
    const Complex w[4] = {{1.0f, 0.0f}, Twiddle<kInverse>(entry), Twiddle<kInverse>(entry + 2),
                          Twiddle<kInverse>(entry + 4)};
    for (int32_t g = 0; g < points; g += 8) {
      float* p = data + 2 * g;
      for (int32_t j = 0; j < 4; ++j) {
        const Complex u = Load(p + 2 * j);
        const Complex t = j == 0 ? Load(p + 2 * (j + 4)) : Mul(w[j], Load(p + 2 * (j + 4)));
        Store(p + 2 * j, Add(u, t));
        Store(p + 2 * (j + 4), Sub(u, t));
      }
    }
  }
  if (scale != nullptr)
    for (int32_t i = 0; i < 2 * points; ++i) data[i] = data[i] * *scale;
}

// Joins adjacent transforms of span points into one of len points. The table
// holds exp(-2 pi i t / len) for t < len / 4; the second half of a pass's
// twiddles is the first half rotated by -i.
template <bool kInverse>
void Radix2Passes(float* data, int32_t len, int32_t span, const float* twiddles) {
  for (int32_t size = span; size < len; size *= 2) {
    const int32_t stride = len / (2 * size);
    const int32_t half = size / 2;
    for (int32_t base = 0; base < len; base += 2 * size) {
      float* lower = data + 2 * static_cast<ptrdiff_t>(base);
      float* upper = lower + 2 * static_cast<ptrdiff_t>(size);
      for (int32_t j = 0; j < size; ++j) {
        Complex w;
        if (j < half) {
          w = {twiddles[2 * static_cast<ptrdiff_t>(j) * stride], twiddles[2 * static_cast<ptrdiff_t>(j) * stride + 1]};
        } else {
          const float* t = twiddles + 2 * static_cast<ptrdiff_t>(j - half) * stride;
          w = {t[1], -t[0]};
        }
        if (kInverse) w.im = -w.im;
        const Complex u = Load(lower + 2 * j);
        const Complex t = Mul(w, Load(upper + 2 * j));
        Store(lower + 2 * j, Add(u, t));
        Store(upper + 2 * j, Sub(u, t));
      }
    }
  }
}

// The factor the direction's transform multiplies by, or null.
template <bool kInverse>
const float* ScaleOf(const RealFftSpec* spec) {
  const int32_t scaled = kInverse ? spec->inverseScaled : spec->forwardScaled;
  return scaled ? &spec->scaleFactor : nullptr;
}

// A transform of 2^n points without a split: 1024-point blocks, then radix-2
// passes up to the whole length.
template <bool kInverse>
void UnsplitTransform(const RealFftSpec* spec, float* data, int32_t n) {
  const int32_t points = 1 << n;
  if (points <= kBlockPoints) {
    ButterflyBlock<kInverse>(data, points, spec->blockTwiddles, ScaleOf<kInverse>(spec));
    return;
  }
  for (int32_t run = 0; run < points; run += kPassRunPoints) {
    const int32_t runPoints = points - run < kPassRunPoints ? points - run : kPassRunPoints;
    float* runData = data + 2 * static_cast<ptrdiff_t>(run);
    for (int32_t tile = runPoints - kBlockPoints; tile >= 0; tile -= kBlockPoints) {
      float* tileData = runData + 2 * static_cast<ptrdiff_t>(tile);
      ButterflyBlock<kInverse>(tileData, kBlockPoints, spec->blockTwiddles, ScaleOf<kInverse>(spec));
    }
    Radix2Passes<kInverse>(runData, runPoints, kBlockPoints, spec->passTwiddles);
  }
}

// Four-step form of 2^n bit-reversed points as 2^k rows of 2^(n-k): every row
// then holds its own subsequence in bit-reversed order, so the rows transform
// in place; each column, multiplied by the twiddles and gathered, is a
// bit-reversed transform of 2^k points whose result lands in natural order.
template <bool kInverse>
void FourStep(const RealFftSpec* spec, float* data, int32_t n, int32_t depth, void* work) {
  const int32_t k = FftSplitTable[n];
  const int32_t rows = 1 << k;
  const int32_t rowOrder = n - k;
  const int64_t rowPoints = int64_t{1} << rowOrder;

  for (int32_t row = 0; row < rows; ++row) {
    float* rowData = data + 2 * row * rowPoints;
    // The split table nests at most two depths deep.
    if (depth + 1 < FFT_FOUR_STEP_DEPTHS && FftSplitTable[rowOrder] != 0)
      FourStep<kInverse>(spec, rowData, rowOrder, depth + 1, work);
    else
      UnsplitTransform<kInverse>(spec, rowData, rowOrder);
  }

  const float* twiddles = spec->fourStepTwiddles[depth];
  const float* columnTwiddles = spec->fourStepColumnTwiddles[depth];
  float* gathered = static_cast<float*>(work);
  for (int64_t column = 0; column < rowPoints; column += 4) {
    const float* groupTwiddles = twiddles + (column / 4) * rows * 8;
    for (int32_t j = 0; j < rows; ++j) {
      Quad w = LoadQuad<true>(groupTwiddles + 8 * j);
      if (kInverse) w.im = -w.im;
      const Quad product = Mul(w, LoadQuad<true>(data + 2 * (j * rowPoints + column)));
      for (int32_t q = 0; q < 4; ++q) Store(gathered + 2 * (q * rows + j), {product.re[q], product.im[q]});
    }
    for (int32_t q = 0; q < 4; ++q) ButterflyBlock<kInverse>(gathered + 2 * q * rows, rows, columnTwiddles);
    for (int32_t s = 0; s < rows; ++s) {
      float* target = data + 2 * (s * rowPoints + column);
      for (int32_t q = 0; q < 4; ++q) Store(target + 2 * q, Load(gathered + 2 * (q * rows + s)));
    }
  }
}

template <bool kInverse>
void ComplexCore(const RealFftSpec* spec, const float* src, float* dst, int32_t n, void* work) {
  const int32_t points = 1 << n;
  if (src == dst)
    FftBitReverseInPlace(dst, points, spec->bitReverseTable);
  else
    FftBitReverseCopy(src, dst, points, spec->bitReverseTable);
  if (FftSplitTable[n] != 0)
    FourStep<kInverse>(spec, dst, n, 0, work);
  else
    UnsplitTransform<kInverse>(spec, dst, n);
}

// ---------------------------------------------------------------------------
// Orders 0 to 3.

#include "primitives/RealFftSmallOrders.inc"

// ---------------------------------------------------------------------------
// Bit reversal.

#include "primitives/BitReversal.inc"

}  // namespace

// ---------------------------------------------------------------------------
// Complex kernels

void FftBitReverseInPlace(float* data, int32_t points, const int32_t* swapList) {
  SwapPairsBody<8>(data, points, swapList);
}

void FftBitReverseCopy(const float* src, float* dst, int32_t points, const int32_t* swapList) {
  SwapCopyBody<8>(src, dst, points, swapList);
}

void FftButterflyBlockForward(float* data, int32_t points, const float* twiddles) {
  ButterflyBlock<false>(data, points, twiddles);
}

void FftButterflyBlockInverse(float* data, int32_t points, const float* twiddles) {
  ButterflyBlock<true>(data, points, twiddles);
}

void FftRadix2PassesForward(float* data, int32_t len, int32_t span, const float* twiddles) {
  Radix2Passes<false>(data, len, span, twiddles);
}

void FftRadix2PassesInverse(float* data, int32_t len, int32_t span, const float* twiddles) {
  Radix2Passes<true>(data, len, span, twiddles);
}

void ComplexFftForwardCore(const RealFftSpec* spec, const float* src, float* dst, int32_t n, void* work) {
  ComplexCore<false>(spec, src, dst, n, work);
}

void ComplexFftInverseCore(const RealFftSpec* spec, const float* src, float* dst, int32_t n, void* work) {
  ComplexCore<true>(spec, src, dst, n, work);
}

void FftFourStepForward(const RealFftSpec* spec, float* data, int32_t n, int32_t depth, void* work) {
  FourStep<false>(spec, data, n, depth, work);
}

void FftFourStepInverse(const RealFftSpec* spec, float* data, int32_t n, int32_t depth, void* work) {
  FourStep<true>(spec, data, n, depth, work);
}

// ---------------------------------------------------------------------------
// Real recombination

namespace {

// Bins k..k+3 and, mirrored, M-k-3..M-k in lane order M-k..M-k-3.
inline Quad Reversed(Quad q) {
  return {__builtin_shufflevector(q.re, q.re, 3, 2, 1, 0), __builtin_shufflevector(q.im, q.im, 3, 2, 1, 0)};
}

}  // namespace

// Both recombinations take four bin pairs (k, M-k) at a time while the two
// runs stay apart, each pair with the scalar formula's operations.
void RealFftRecombineForward(float* data, int32_t order, const float* twiddles) {
  const int64_t half = (int64_t{1} << order) / 2;  // M complex points
  const float a = data[0], b = data[1];
  data[0] = a + b;
  data[1] = a - b;
  int64_t k = 1;
  for (; k + 3 < half / 2; k += 4) {
    float* low = data + 2 * k;
    float* high = data + 2 * (half - k - 3);
    const Quad x = LoadQuad<true>(low), y = Reversed(LoadQuad<true>(high)), w = LoadQuad<true>(twiddles + 2 * k);
    const Lanes p = x.re, q = x.im, r = y.re, s = y.im, g = w.re, h = w.im;
    const Lanes t = h * (p - r) + g * (q + s);
    const Lanes u = (q + s) * h - (p - r) * g;
    StoreQuad<true>(low, {t + r, u - s});
    StoreQuad<true>(high, Reversed({p - t, u - q}));
  }
  for (; k < half / 2; ++k) {
    float* low = data + 2 * k;
    float* high = data + 2 * (half - k);
    const float p = low[0], q = low[1], r = high[0], s = high[1];
    const float g = twiddles[2 * k], h = twiddles[2 * k + 1];
    const float t = h * (p - r) + g * (q + s);
    const float u = (q + s) * h - (p - r) * g;
    low[0] = t + r;
    high[0] = p - t;
    low[1] = u - s;
    high[1] = u - q;
  }
  // Bin M/2 of the real spectrum is the conjugate of the complex one.
  data[2 * (half / 2) + 1] = -data[2 * (half / 2) + 1];
}

void RealFftRecombineInverse(const float* src, float* dst, int32_t order, const float* twiddles) {
  const int64_t half = (int64_t{1} << order) / 2;
  const float x0 = src[0], nyquist = src[1];
  dst[0] = x0 + nyquist;
  dst[1] = x0 - nyquist;
  int64_t k = 1;
  for (; k + 3 < half / 2; k += 4) {
    const Quad x = LoadQuad<true>(src + 2 * k), y = Reversed(LoadQuad<true>(src + 2 * (half - k - 3)));
    const Quad w = LoadQuad<true>(twiddles + 2 * k);
    const Lanes p = x.re, q = x.im, r = y.re, s = y.im, g = w.re, h = w.im;
    const Lanes l = h * (p - r) - g * (q + s);
    const Lanes v = (p - r) * g + (q + s) * h;
    StoreQuad<true>(dst + 2 * k, {p + r + l, q - s + v});
    StoreQuad<true>(dst + 2 * (half - k - 3), Reversed({p + r - l, v - (q - s)}));
  }
  for (; k < half / 2; ++k) {
    const float* low = src + 2 * k;
    const float* high = src + 2 * (half - k);
    const float p = low[0], q = low[1], r = high[0], s = high[1];
    const float g = twiddles[2 * k], h = twiddles[2 * k + 1];
    const float l = h * (p - r) - g * (q + s);
    const float v = (p - r) * g + (q + s) * h;
    dst[2 * k] = p + r + l;
    dst[2 * k + 1] = q - s + v;
    dst[2 * (half - k)] = p + r - l;
    dst[2 * (half - k) + 1] = v - (q - s);
  }
  // The result is twice the half-length spectrum.
  const int64_t middle = 2 * (half / 2);
  dst[middle] = 2.0f * src[middle];
  dst[middle + 1] = -2.0f * src[middle + 1];
}

// ---------------------------------------------------------------------------
// Transforms

namespace {

// The work buffer of one call: the caller's from its first 32-byte boundary,
// or a block of our own that the call frees again.
class WorkBuffer {
 public:
  DspStatus Acquire(const RealFftSpec* spec, void* callerBuffer) {
    if (spec->order < 4 || spec->workBytes < 1) return DSP_STATUS_OK;
    if (callerBuffer != nullptr) {
      m_Buffer = reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(callerBuffer) + 31) & ~uintptr_t{31});
      return DSP_STATUS_OK;
    }
    m_Owned = DspMalloc(spec->workBytes);
    if (m_Owned == nullptr) return DSP_STATUS_NO_MEMORY;
    m_Buffer = m_Owned;
    return DSP_STATUS_OK;
  }
  ~WorkBuffer() { DspFree(m_Owned); }
  void* Get() const { return m_Buffer; }

 private:
  void* m_Buffer = nullptr;
  void* m_Owned = nullptr;
};

DspStatus CheckTransform(const float* src, const float* dst, const RealFftSpec* spec) {
  if (spec == nullptr) return DSP_STATUS_NULL_POINTER;
  if (spec->kind != REAL_FFT_SPEC_ID) return DSP_STATUS_WRONG_KIND;
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  return DSP_STATUS_OK;
}

}  // namespace

namespace {

// Orders 4 and up: the complex transform of the M = N/2 points z[n] =
// x[2n] + i x[2n+1] (up to 1024 points one radix-4 block), then the split
// into the real spectrum; the inverse rebuilds twice that complex spectrum
// and transforms it back.
template <bool kInverse>
DspStatus RealTransform(const float* src, float* dst, const RealFftSpec* spec, void* workBuf) {
  DspStatus status = CheckTransform(src, dst, spec);
  if (status != DSP_STATUS_OK) return status;
  const int32_t order = spec->order;
  if (order <= 3) {
    const bool scaled = kInverse ? spec->inverseScaled : spec->forwardScaled;
    kSmallKernels[(kInverse ? 2 : 0) + (scaled ? 1 : 0)][order](src, dst, spec->scaleFactor);
    return DSP_STATUS_OK;
  }
  WorkBuffer work;
  status = work.Acquire(spec, workBuf);
  if (status != DSP_STATUS_OK) return status;
  if (kInverse) {
    RealFftRecombineInverse(src, dst, order, spec->recombineInverse);
    ComplexCore<true>(spec, dst, dst, order - 1, work.Get());
  } else {
    ComplexCore<false>(spec, src, dst, order - 1, work.Get());
    RealFftRecombineForward(dst, order, spec->recombineForward);
  }
  return DSP_STATUS_OK;
}

}  // namespace

DspStatus RealFftForward(const float* src, float* dst, const RealFftSpec* spec, void* workBuf) {
  return RealTransform<false>(src, dst, spec, workBuf);
}

DspStatus RealFftInverse(const float* src, float* dst, const RealFftSpec* spec, void* workBuf) {
  return RealTransform<true>(src, dst, spec, workBuf);
}

DspStatus RealFftForwardInPlaceL0(float* srcDst, const RealFftSpec* spec, void* workBuf) {
  return RealFftForward(srcDst, srcDst, spec, workBuf);
}

DspStatus RealFftInverseInPlaceL0(float* srcDst, const RealFftSpec* spec, void* workBuf) {
  return RealFftInverse(srcDst, srcDst, spec, workBuf);
}

DSP_DISPATCH_TABLE(RealFftForwardInPlace, RealFftForwardInPlaceL0, RealFftForwardInPlaceL1, RealFftForwardInPlaceL2,
                   RealFftForwardInPlaceL3);
DspStatus RealFftForwardInPlace(float* srcDst, const RealFftSpec* spec, void* workBuf) {
  return DspDispatch(RealFftForwardInPlaceTable, srcDst, spec, workBuf);
}

DSP_DISPATCH_TABLE(RealFftInverseInPlace, RealFftInverseInPlaceL0, RealFftInverseInPlaceL1, RealFftInverseInPlaceL2,
                   RealFftInverseInPlaceL3);
DspStatus RealFftInverseInPlace(float* srcDst, const RealFftSpec* spec, void* workBuf) {
  return DspDispatch(RealFftInverseInPlaceTable, srcDst, spec, workBuf);
}

DspStatus PackedSpectrumMulInPlace(const float* src, float* srcDst, int32_t len) {
  if (src == nullptr || srcDst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  srcDst[0] = src[0] * srcDst[0];
  int32_t i = 1;
  // An even length carries the real Nyquist entry; an odd one does not.
  if (len % 2 == 0) {
    srcDst[1] = src[1] * srcDst[1];
    i = 2;
  }
  for (; i + 1 < len; i += 2) Store(srcDst + i, Mul(Load(src + i), Load(srcDst + i)));
  return DSP_STATUS_OK;
}
