#include "sim/host/ToneAnalysis.h"

#include <cmath>

namespace sim::host {

double GoertzelPower(const float* x, size_t n, double rate, double hz) {
  if (n == 0 || rate <= 0) return 0.0;
  const double coefficient = 2.0 * std::cos(2.0 * M_PI * hz / rate);
  double s1 = 0.0, s2 = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double s0 = x[i] + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return power / (static_cast<double>(n) * static_cast<double>(n));
}

double DominantFrequency(const float* x, size_t n, double rate, double loHz, double hiHz) {
  auto best = [&](double from, double to, double step) {
    double at = from, most = -1.0;
    for (double f = from; f <= to; f += step) {
      const double p = GoertzelPower(x, n, rate, f);
      if (p > most) most = p, at = f;
    }
    return at;
  };
  const double coarse = best(loHz, hiHz, 5.0);
  return best(std::fmax(loHz, coarse - 5.0), std::fmin(hiHz, coarse + 5.0), 0.25);
}

}  // namespace sim::host
