// The FIR block filter (direct form below 512 samples or 64 taps, FFT
// overlap-save above) against a plain convolution loop, and the multirate
// filter at 147:160 and 2:1 (both ways) against libsamplerate's fastest sinc
// converter and soxr's quick preset, when those are linked. The peers design
// their own filters, so those ratios compare cost at a similar job, not the
// same arithmetic. The table at the end gives ours/peer time ratios.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "bench/RatioTable.h"
#include "primitives/Fir.h"
#include "primitives/MultirateFir.h"

#ifdef HSD_HAVE_SAMPLERATE
#include <samplerate.h>
#endif
#ifdef HSD_HAVE_SOXR
#include <soxr.h>
#endif

namespace {

std::vector<float> RandomSignal(size_t n, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = value(generator);
  return x;
}

// ---------------------------------------------------------------------------
// Single-rate block filter: args (taps, block length).

void FirOurs(benchmark::State& state) {
  const int32_t taps = static_cast<int32_t>(state.range(0));
  const int32_t len = static_cast<int32_t>(state.range(1));
  int32_t bytes = 0;
  FirFilterStateSize(taps, &bytes);
  std::vector<unsigned char> buffer(bytes);
  FirState* fir = nullptr;
  const std::vector<float> h = RandomSignal(taps, 1), x = RandomSignal(len, 2);
  FirFilterInit(&fir, h.data(), taps, nullptr, buffer.data());
  std::vector<float> y(len);
  for (auto _ : state) {
    FirFilterBlock(x.data(), y.data(), len, fir);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * len);
  state.SetLabel(len >= FIR_FFT_MIN_BLOCK && fir->fftLength > 0 ? "fft" : "direct");
}

// The textbook loop with its own history: y[n] = sum taps[k] x[n - k].
void FirPlainLoop(benchmark::State& state) {
  const int32_t taps = static_cast<int32_t>(state.range(0));
  const int32_t len = static_cast<int32_t>(state.range(1));
  const std::vector<float> h = RandomSignal(taps, 1), x = RandomSignal(len, 2);
  std::vector<float> line(taps - 1 + len, 0.0f), y(len);
  for (auto _ : state) {
    std::copy(x.begin(), x.end(), line.begin() + (taps - 1));
    for (int32_t n = 0; n < len; ++n) {
      float s = 0.0f;
      const float* newest = line.data() + (taps - 1) + n;
      for (int32_t k = 0; k < taps; ++k) s += h[k] * newest[-k];
      y[n] = s;
    }
    std::copy(line.end() - (taps - 1), line.end(), line.begin());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * len);
}

void RegisterFir() {
  for (auto body : {std::make_pair("FirBlock/ours", FirOurs), std::make_pair("FirBlock/plainloop", FirPlainLoop)})
    benchmark::RegisterBenchmark(body.first, body.second)
        ->ArgsProduct({{32, 63, 64, 128, 256, 512}, {48, 480, 4096}});
}

// ---------------------------------------------------------------------------
// Rate conversion: args (up, down); every run converts 9600 input samples
// (0.2 s at 48 kHz) in calls of 480.

constexpr int kCallInputs = 480;
constexpr int kRunInputs = 9600;

int32_t TapsFor(int32_t up, int32_t down) {
  // 16 taps per polyphase branch of the faster rate.
  return 16 * (up > down ? up : down);
}

void ResampleOurs(benchmark::State& state) {
  const int32_t up = static_cast<int32_t>(state.range(0)), down = static_cast<int32_t>(state.range(1));
  const int32_t taps = TapsFor(up, down);
  int32_t bytes = 0;
  MultirateFirStateSize(taps, up, down, &bytes);
  std::vector<unsigned char> buffer(bytes);
  void* fir = nullptr;
  const std::vector<float> h = RandomSignal(taps, 1), x = RandomSignal(kRunInputs, 2);
  MultirateFirInit(&fir, h.data(), taps, up, 0, down, 0, nullptr, buffer.data());
  // Calls of whole iterations close to 480 inputs.
  const int32_t iterations = kCallInputs / down > 0 ? kCallInputs / down : 1;
  std::vector<float> y(static_cast<size_t>(iterations) * up);
  for (auto _ : state) {
    for (int32_t done = 0; done + iterations * down <= kRunInputs; done += iterations * down)
      FirFilterBlock(x.data() + done, y.data(), iterations, fir);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kRunInputs);
  state.SetLabel(static_cast<MultirateFirState*>(fir)->layoutMode == MULTIRATE_FIR_LAYOUT_INTERLEAVED ? "interleaved"
                                                                                                       : "indexed");
}

#ifdef HSD_HAVE_SAMPLERATE
void ResampleLibsamplerate(benchmark::State& state) {
  const double ratio = static_cast<double>(state.range(0)) / static_cast<double>(state.range(1));
  int error = 0;
  SRC_STATE* converter = src_new(SRC_SINC_FASTEST, 1, &error);
  const std::vector<float> x = RandomSignal(kRunInputs, 2);
  std::vector<float> y(static_cast<size_t>(kCallInputs * ratio) + 64);
  for (auto _ : state) {
    for (int done = 0; done < kRunInputs; done += kCallInputs) {
      SRC_DATA data{};
      data.data_in = x.data() + done;
      data.input_frames = kCallInputs;
      data.data_out = y.data();
      data.output_frames = static_cast<long>(y.size());
      data.src_ratio = ratio;
      src_process(converter, &data);
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kRunInputs);
  src_delete(converter);
}
#endif

#ifdef HSD_HAVE_SOXR
void ResampleSoxr(benchmark::State& state) {
  const double up = static_cast<double>(state.range(0)), down = static_cast<double>(state.range(1));
  soxr_error_t error = nullptr;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_QQ, 0);
  soxr_t converter = soxr_create(48000.0 * down, 48000.0 * up, 1, &error, nullptr, &quality, nullptr);
  const std::vector<float> x = RandomSignal(kRunInputs, 2);
  std::vector<float> y(static_cast<size_t>(kCallInputs * up / down) + 64);
  for (auto _ : state) {
    for (int done = 0; done < kRunInputs; done += kCallInputs) {
      size_t consumed = 0, produced = 0;
      soxr_process(converter, x.data() + done, kCallInputs, &consumed, y.data(), y.size(), &produced);
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kRunInputs);
  soxr_delete(converter);
}
#endif

void RegisterResample() {
  std::vector<std::pair<const char*, void (*)(benchmark::State&)>> sides = {{"Resample/ours", ResampleOurs}};
#ifdef HSD_HAVE_SAMPLERATE
  sides.push_back({"Resample/libsamplerate", ResampleLibsamplerate});
#endif
#ifdef HSD_HAVE_SOXR
  sides.push_back({"Resample/soxr", ResampleSoxr});
#endif
  for (const auto& [name, body] : sides)
    benchmark::RegisterBenchmark(name, body)->Args({147, 160})->Args({1, 2})->Args({2, 1});
}

}  // namespace

int main(int argc, char** argv) {
  RegisterFir();
  RegisterResample();
  return bench::RunWithRatioTable(argc, argv);
}
