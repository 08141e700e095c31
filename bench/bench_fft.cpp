// The real FFT, forward and inverse, at orders 6-16 against FFTW (single
// precision, FFTW_MEASURE plans) and KissFFT (kiss_fftr), when those are
// linked. Each transform runs out of place on the same random signal; the
// table at the end gives ours/peer time ratios.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "bench/RatioTable.h"
#include "primitives/RealFft.h"

#ifdef HSD_HAVE_FFTW
#include <fftw3.h>
#endif
#ifdef HSD_HAVE_KISSFFT
#include <kissfft/kiss_fftr.h>
#endif

namespace {

constexpr int kMinOrder = 6;
constexpr int kMaxOrder = 16;

std::vector<float> RandomSignal(size_t n) {
  std::mt19937 generator(1);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = value(generator);
  return x;
}

void Register(const std::string& name, void (*body)(benchmark::State&)) {
  benchmark::RegisterBenchmark(name.c_str(), body)->DenseRange(kMinOrder, kMaxOrder);
}

template <bool kInverse>
void Ours(benchmark::State& state) {
  const int order = static_cast<int>(state.range(0));
  const size_t n = size_t{1} << order;
  RealFftSpec* spec = nullptr;
  if (RealFftCreate(&spec, order, FFT_SCALE_INVERSE, 0) != DSP_STATUS_OK) {
    state.SkipWithError("RealFftCreate failed");
    return;
  }
  const std::vector<float> x = RandomSignal(n);
  std::vector<float> y(n);
  for (auto _ : state) {
    if (kInverse)
      RealFftInverse(x.data(), y.data(), spec, nullptr);
    else
      RealFftForward(x.data(), y.data(), spec, nullptr);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
  RealFftDestroy(spec);
}

#ifdef HSD_HAVE_FFTW
template <bool kInverse>
void Fftw(benchmark::State& state) {
  const int order = static_cast<int>(state.range(0));
  const int n = 1 << order;
  float* real = fftwf_alloc_real(n);
  fftwf_complex* spectrum = fftwf_alloc_complex(n / 2 + 1);
  fftwf_plan plan = kInverse ? fftwf_plan_dft_c2r_1d(n, spectrum, real, FFTW_MEASURE)
                             : fftwf_plan_dft_r2c_1d(n, real, spectrum, FFTW_MEASURE);
  // Planning with FFTW_MEASURE overwrites the arrays; fill them afterwards.
  const std::vector<float> x = RandomSignal(n + 2);
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
void Kiss(benchmark::State& state) {
  const int order = static_cast<int>(state.range(0));
  const int n = 1 << order;
  kiss_fftr_cfg config = kiss_fftr_alloc(n, kInverse ? 1 : 0, nullptr, nullptr);
  const std::vector<float> x = RandomSignal(n + 2);
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

void RegisterAll() {
  Register("RealFftForward/ours", Ours<false>);
  Register("RealFftInverse/ours", Ours<true>);
#ifdef HSD_HAVE_FFTW
  Register("RealFftForward/fftw", Fftw<false>);
  Register("RealFftInverse/fftw", Fftw<true>);
#endif
#ifdef HSD_HAVE_KISSFFT
  Register("RealFftForward/kissfft", Kiss<false>);
  Register("RealFftInverse/kissfft", Kiss<true>);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  return bench::RunWithRatioTable(argc, argv);
}
