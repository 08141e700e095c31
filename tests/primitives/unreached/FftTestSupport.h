// Helpers of the transform tests in this folder: long double reference
// transforms, error measures, bit-reversal arithmetic and aligned scratch.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

#include "primitives/levels/ProcessorLevel.h"
#include "tests/primitives/PrimitiveTestSupport.h"
#include "tests/primitives/levels/LevelTestSupport.h"

namespace fft_test {

// The level fixture of the processor-level tests: GetParam() is the level
// (0 to 3), skipped where the processor lacks its instructions, and the
// public names reach that level's builds.
using leveltest::LevelName;
using leveltest::LevelTest;
using ::ProcessorRunsLevel;

using LongComplex = std::complex<long double>;

// rev_bits(i).
inline uint64_t ReverseBits(uint64_t value, int bits) {
  uint64_t r = 0;
  for (int b = 0; b < bits; ++b) r |= ((value >> b) & 1u) << (bits - 1 - b);
  return r;
}

inline int Log2(uint64_t n) {
  int order = 0;
  while ((uint64_t{1} << order) < n) ++order;
  return order;
}

// exp(sign 2 pi i k / n) in long double.
inline LongComplex Root(long double k, long double n, int sign) {
  const long double angle = sign * 2.0L * std::numbers::pi_v<long double> * k / n;
  return {std::cos(angle), std::sin(angle)};
}

// Radix-2 transform of a power-of-two length in long double: sign -1
// forward, +1 inverse, unscaled.
inline std::vector<LongComplex> ReferenceDft(std::vector<LongComplex> x, int sign) {
  const size_t n = x.size();
  const int order = Log2(n);
  for (size_t k = 0; k < n; ++k) {
    const size_t r = static_cast<size_t>(ReverseBits(k, order));
    if (k < r) std::swap(x[k], x[r]);
  }
  std::vector<LongComplex> roots(n / 2);
  for (size_t k = 0; k < n / 2; ++k) roots[k] = Root(static_cast<long double>(k), static_cast<long double>(n), sign);
  for (size_t span = 1; span < n; span *= 2) {
    const size_t stride = n / (2 * span);
    for (size_t base = 0; base < n; base += 2 * span) {
      for (size_t j = 0; j < span; ++j) {
        const LongComplex t = roots[j * stride] * x[base + j + span];
        x[base + j + span] = x[base + j] - t;
        x[base + j] += t;
      }
    }
  }
  return x;
}

// Interleaved floats (re, im, ...) and separate planes to long double points.
inline std::vector<LongComplex> FromInterleaved(const float* x, size_t points) {
  std::vector<LongComplex> out(points);
  for (size_t k = 0; k < points; ++k) out[k] = {x[2 * k], x[2 * k + 1]};
  return out;
}
inline std::vector<LongComplex> FromPlanes(const float* re, const float* im, size_t points) {
  std::vector<LongComplex> out(points);
  for (size_t k = 0; k < points; ++k) out[k] = {re[k], im[k]};
  return out;
}

// sqrt(sum |result - reference|^2 / sum |reference|^2).
inline double RelativeRmsError(const std::vector<LongComplex>& result, const std::vector<LongComplex>& reference) {
  long double error = 0, energy = 0;
  for (size_t k = 0; k < reference.size(); ++k) {
    error += std::norm(result[k] - reference[k]);
    energy += std::norm(reference[k]);
  }
  return static_cast<double>(std::sqrt(error / energy));
}

// What single precision may lose in a transform of 2^order points: a few
// units of 2^-24 per stage. A wrong twiddle, lost point or misplaced block
// costs orders of magnitude more.
inline double RmsLimit(int order) { return 1.5e-7 * (order + 1); }

// A float buffer of `count` floats starting `offsetBytes` past a 64-byte
// boundary (offsetBytes a multiple of 4).
class FloatArena {
 public:
  FloatArena(size_t count, size_t offsetBytes) : m_Storage(count + 32) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(m_Storage.data());
    m_Data = reinterpret_cast<float*>(((base + 63) & ~uintptr_t{63}) + offsetBytes);
  }
  float* data() { return m_Data; }

 private:
  std::vector<float> m_Storage;
  float* m_Data;
};

inline bool SameBits(const float* a, const float* b, size_t count) {
  return count == 0 || std::memcmp(a, b, count * sizeof(float)) == 0;
}

}  // namespace fft_test
