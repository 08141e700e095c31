// The real FFT, forward and inverse, at orders 6-16 against FFTW (single
// precision, FFTW_MEASURE plans) and KissFFT (kiss_fftr), when those are
// linked. Each transform runs out of place on the same random signal; the
// table at the end gives ours/peer time ratios.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "bench/FftPeers.h"
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

void RegisterAll() {
  Register("RealFftForward/ours", Ours<false>);
  Register("RealFftInverse/ours", Ours<true>);
#ifdef HSD_HAVE_FFTW
  Register("RealFftForward/fftw", bench::FftwRealFft<false>);
  Register("RealFftInverse/fftw", bench::FftwRealFft<true>);
#endif
#ifdef HSD_HAVE_KISSFFT
  Register("RealFftForward/kissfft", bench::KissRealFft<false>);
  Register("RealFftInverse/kissfft", bench::KissRealFft<true>);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  return bench::RunWithRatioTable(argc, argv);
}
