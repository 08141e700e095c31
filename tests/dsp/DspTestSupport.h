// Helpers shared by the signal-path tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "dsp/SignalPathFloat.h"
#include "primitives/Dispatch.h"

namespace dsptest {

// The tests run their code and their references in the signal path's
// floating-point mode.
using ScopedSignalPathMxcsr = CSignalPathFloatControl;

inline std::vector<float> Noise(size_t n, uint32_t seed, float amplitude = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-amplitude, amplitude);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

// Block lengths that add up to total, drawn from [1, maxLen].
inline std::vector<uint32_t> RandomSplits(uint32_t total, uint32_t maxLen, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<uint32_t> dist(1, maxLen);
  std::vector<uint32_t> out;
  while (total > 0) {
    uint32_t n = std::min(total, dist(rng));
    out.push_back(n);
    total -= n;
  }
  return out;
}

inline std::vector<float> Sine(size_t n, double cyclesPerSample, float amplitude = 0.5f) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * cyclesPerSample * static_cast<double>(i)));
  return v;
}

// Least-squares fit of y[from .. to) by a constant and a sinusoid at each
// given frequency (cycles per sample). Returns the amplitude at each
// frequency; *residualRms gets what no sinusoid explains.
inline std::vector<double> FitSines(const std::vector<float>& y, size_t from, size_t to,
                                    const std::vector<double>& freqs, double* residualRms = nullptr) {
  const size_t k = 1 + 2 * freqs.size();
  std::vector<double> ata(k * k, 0.0), atb(k, 0.0), row(k);
  auto basis = [&](size_t i) {
    row[0] = 1.0;
    for (size_t f = 0; f < freqs.size(); ++f) {
      const double w = 2 * std::numbers::pi * freqs[f] * static_cast<double>(i);
      row[1 + 2 * f] = std::cos(w);
      row[2 + 2 * f] = std::sin(w);
    }
  };
  for (size_t i = from; i < to; ++i) {
    basis(i);
    for (size_t a = 0; a < k; ++a) {
      atb[a] += row[a] * y[i];
      for (size_t b = 0; b < k; ++b) ata[a * k + b] += row[a] * row[b];
    }
  }
  // Gaussian elimination with partial pivoting on the normal equations.
  std::vector<double> x = atb;
  for (size_t c = 0; c < k; ++c) {
    size_t piv = c;
    for (size_t r = c + 1; r < k; ++r)
      if (std::fabs(ata[r * k + c]) > std::fabs(ata[piv * k + c])) piv = r;
    for (size_t j = 0; j < k; ++j) std::swap(ata[c * k + j], ata[piv * k + j]);
    std::swap(x[c], x[piv]);
    for (size_t r = 0; r < k; ++r) {
      if (r == c) continue;
      const double m = ata[r * k + c] / ata[c * k + c];
      for (size_t j = 0; j < k; ++j) ata[r * k + j] -= m * ata[c * k + j];
      x[r] -= m * x[c];
    }
  }
  for (size_t c = 0; c < k; ++c) x[c] /= ata[c * k + c];
  if (residualRms) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) {
      basis(i);
      double fit = 0;
      for (size_t a = 0; a < k; ++a) fit += x[a] * row[a];
      sum += (y[i] - fit) * (y[i] - fit);
    }
    *residualRms = std::sqrt(sum / static_cast<double>(to - from));
  }
  std::vector<double> amplitudes;
  for (size_t f = 0; f < freqs.size(); ++f) amplitudes.push_back(std::hypot(x[1 + 2 * f], x[2 + 2 * f]));
  return amplitudes;
}

inline double Db(double ratio) { return 20.0 * std::log10(ratio); }

// How far two runs of one stream through the rate converters, one whole and
// one in pieces, may differ for input within +-amplitude. At the baseline,
// the driver's level, the FIR builds give the same bits however a stream is
// split. The level builds sum an output's products in an order set by where
// the blocks fall, and two orders of n products differ by at most
// 2 (n - 1) 2^-24 of the sum of their magnitudes: a power-of-two stage sums
// at most 132 products with taps whose magnitudes add to under 2.1, a 147:160
// stage beside it 24 with under 2.02, which passes the first stage's
// difference on and adds its own.
inline double SplitTolerance(double amplitude) {
  if (CpuDispatchIndex == 0) return 0.0;
  return 2.0 * (131 * 2.1 * 2.02 + 23 * 2.02 * 2.1) * 0x1p-24 * amplitude;
}

// Whether b, a run of the stream a holds all of or a head of, stays within
// tolerance of a sample by sample.
template <typename T>
bool SameSamples(const std::vector<T>& a, const std::vector<T>& b, double tolerance) {
  if (b.size() > a.size()) return false;
  for (size_t i = 0; i < b.size(); ++i)
    if (!(std::fabs(static_cast<double>(a[i]) - static_cast<double>(b[i])) <= tolerance)) return false;
  return true;
}

}  // namespace dsptest
