// The real FFTs of the peer libraries as benchmark bodies: FFTW (single
// precision, FFTW_MEASURE plans) and KissFFT (kiss_fftr), each on a random
// signal of 2^range(0) samples, when the library is linked (HSD_HAVE_FFTW,
// HSD_HAVE_KISSFFT).
#pragma once

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#ifdef HSD_HAVE_FFTW
#include <fftw3.h>
#endif
#ifdef HSD_HAVE_KISSFFT
#include <kissfft/kiss_fftr.h>
#endif

namespace bench {

// Uniform samples in [-1, 1), the same in every benchmark.
inline std::vector<float> FftBenchSignal(size_t n) {
  std::mt19937 generator(1);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = value(generator);
  return x;
}

#ifdef HSD_HAVE_FFTW
template <bool kInverse>
void FftwRealFft(benchmark::State& state) {
  const int order = static_cast<int>(state.range(0));
  const int n = 1 << order;
  float* real = fftwf_alloc_real(n);
  fftwf_complex* spectrum = fftwf_alloc_complex(n / 2 + 1);
  fftwf_plan plan = kInverse ? fftwf_plan_dft_c2r_1d(n, spectrum, real, FFTW_MEASURE)
                             : fftwf_plan_dft_r2c_1d(n, real, spectrum, FFTW_MEASURE);
  // Planning with FFTW_MEASURE overwrites the arrays; fill them afterwards.
  const std::vector<float> x = FftBenchSignal(n + 2);
  for (int i = 0; i < n; ++i) real[i] = x[i];
  for (int i = 0; i <= n / 2; ++i) spectrum[i][0] = x[i], spectrum[i][1] = x[i + 1];
  for (auto _ : state) {
    fftwf_execute(plan);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * n);
  fftwf_destroy_plan(plan);
  fftwf_free(spectrum);
  fftwf_free(real);
}
#endif

#ifdef HSD_HAVE_KISSFFT
template <bool kInverse>
void KissRealFft(benchmark::State& state) {
  const int order = static_cast<int>(state.range(0));
  const int n = 1 << order;
  kiss_fftr_cfg config = kiss_fftr_alloc(n, kInverse ? 1 : 0, nullptr, nullptr);
  const std::vector<float> x = FftBenchSignal(n + 2);
  std::vector<float> real(x.begin(), x.begin() + n);
  std::vector<kiss_fft_cpx> spectrum(n / 2 + 1);
  for (int i = 0; i <= n / 2; ++i) spectrum[i] = {x[i], x[i + 1]};
  for (auto _ : state) {
    if (kInverse)
      kiss_fftri(config, spectrum.data(), real.data());
    else
      kiss_fftr(config, x.data(), spectrum.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * n);
  kiss_fftr_free(config);
}
#endif

}  // namespace bench
