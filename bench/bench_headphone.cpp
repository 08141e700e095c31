// The headphone engine's binaural convolution stage (5 sources, 1,024-tap
// head filters, a 3,072-tap tail, 512-sample blocks) against the same
// partitioned overlap-save scheme written on FFTW's real transforms, when
// FFTW is linked. Both do the same transforms and spectrum products per
// block; the table at the end gives ours/peer time ratios.
#include <benchmark/benchmark.h>

#include <complex>
#include <memory>
#include <vector>

#include "bench/FftPeers.h"
#include "bench/RatioTable.h"
#include "globaltopo/common/VSF/headphonefir.h"

namespace {

constexpr int kBlock = HEADPHONEFIR_N;
constexpr int kFft = 2 * kBlock;

void HeadphoneFirOurs(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(0));
  auto fir = std::make_unique<CHeadphoneFir>();
  std::vector<std::vector<float>> in;
  for (int c = 0; c < channels; ++c) in.push_back(bench::FftBenchSignal(kBlock));
  std::vector<float> l(kBlock), r(kBlock);
  std::vector<float*> ip;
  for (auto& c : in) ip.push_back(c.data());
  float* op[2] = {l.data(), r.data()};
  for (auto _ : state) {
    fir->Process(op, 2, ip.data(), channels, kBlock);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
}
BENCHMARK(HeadphoneFirOurs)->Name("HeadphoneFir/ours")->Arg(2)->Arg(6);

#ifdef HSD_HAVE_FFTW
// The same convolution with FFTW plans and std::complex products.
void HeadphoneFirFftw(benchmark::State& state) {
  const int channels = static_cast<int>(state.range(0));
  const int sources = channels == 2 ? 2 : 5;
  HeadphoneFilterSet set;
  FindHeadphoneFilterSet(1, 29, &set);
  const int tailParts = set.tailTaps / kBlock;
  using Spectrum = std::vector<std::complex<float>>;
  float* time = fftwf_alloc_real(kFft);
  fftwf_complex* freq = fftwf_alloc_complex(kFft / 2 + 1);
  fftwf_plan forward = fftwf_plan_dft_r2c_1d(kFft, time, freq, FFTW_MEASURE);
  fftwf_plan inverse = fftwf_plan_dft_c2r_1d(kFft, freq, time, FFTW_MEASURE);
  auto transform = [&](const float* taps, Spectrum& out) {
    for (int i = 0; i < kBlock; ++i) time[i] = taps[i], time[kBlock + i] = 0.0f;
    fftwf_execute(forward);
    out.assign(reinterpret_cast<std::complex<float>*>(freq), reinterpret_cast<std::complex<float>*>(freq) + kFft / 2 + 1);
  };
  std::vector<Spectrum> head(2 * sources * 2), tail(2 * tailParts);
  for (int f = 0; f < 2 * sources; ++f)
    for (int p = 0; p < 2; ++p) transform(set.head + f * 1024 + p * kBlock, head[f * 2 + p]);
  for (int e = 0; e < 2; ++e)
    for (int p = 0; p < tailParts; ++p) transform(set.tail + e * set.tailTaps + p * kBlock, tail[e * tailParts + p]);
  std::vector<std::vector<float>> in, prev(sources, std::vector<float>(kBlock, 0.0f));
  for (int c = 0; c < sources; ++c) in.push_back(bench::FftBenchSignal(kBlock));
  std::vector<Spectrum> ring(sources * 2, Spectrum(kFft / 2 + 1)), tailRing(tailParts, Spectrum(kFft / 2 + 1));
  Spectrum acc[2] = {Spectrum(kFft / 2 + 1), Spectrum(kFft / 2 + 1)};
  std::vector<float> out[2] = {std::vector<float>(kBlock), std::vector<float>(kBlock)};
  int headPos = 0, tailPos = 0;
  for (auto _ : state) {
    Spectrum& t = tailRing[tailPos];
    for (int k = 0; k <= kFft / 2; ++k) {
      std::complex<float> s = 0;
      for (int src = 0; src < sources; ++src) s += ring[src * 2 + headPos][k];
      t[k] = s;
    }
    for (int src = 0; src < sources; ++src) {
      for (int i = 0; i < kBlock; ++i) time[i] = prev[src][i], time[kBlock + i] = in[src][i];
      prev[src] = in[src];
      fftwf_execute(forward);
      auto* f = reinterpret_cast<std::complex<float>*>(freq);
      ring[src * 2 + headPos].assign(f, f + kFft / 2 + 1);
    }
    for (int e = 0; e < 2; ++e) {
      std::fill(acc[e].begin(), acc[e].end(), std::complex<float>(0));
      for (int m = 0; m < 2; ++m)
        for (int src = 0; src < sources; ++src) {
          const Spectrum& h = head[(2 * src + e) * 2 + m];
          const Spectrum& x = ring[src * 2 + (headPos + m) % 2];
          for (int k = 0; k <= kFft / 2; ++k) acc[e][k] += h[k] * x[k];
        }
      for (int m = 0; m < tailParts; ++m) {
        const Spectrum& h = tail[e * tailParts + m];
        const Spectrum& x = tailRing[(tailPos + m) % tailParts];
        for (int k = 0; k <= kFft / 2; ++k) acc[e][k] += h[k] * x[k];
      }
      std::copy(acc[e].begin(), acc[e].end(), reinterpret_cast<std::complex<float>*>(freq));
      fftwf_execute(inverse);
      for (int i = 0; i < kBlock; ++i) out[e][i] = time[kBlock + i] * (2.0f / kFft);
    }
    headPos = (headPos + 1) % 2;
    tailPos = (tailPos + tailParts - 1) % tailParts;
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
  fftwf_destroy_plan(forward);
  fftwf_destroy_plan(inverse);
  fftwf_free(freq);
  fftwf_free(time);
}
BENCHMARK(HeadphoneFirFftw)->Name("HeadphoneFir/fftw")->Arg(2)->Arg(6);
#endif

}  // namespace

int main(int argc, char** argv) { return bench::RunWithRatioTable(argc, argv); }
