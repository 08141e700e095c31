// The headphone engine's binaural convolution stage (5 sources, 1,024-tap
// head filters, a 3,072-tap tail, 512-sample blocks) against the same
// partitioned overlap-save scheme written on FFTW's real transforms, when
// FFTW is linked. Both do the same transforms and spectrum products per
// block; the table at the end gives ours/peer time ratios.
//
// Then the TQ4187 headphone effect node's Process as the stream engine runs
// it, 512-frame blocks with the effect on, against the virtualiser alone on
// the blocks the node hands it (its peer: what the node adds is the
// conversions, the dry fold, both limiters, the crossfade and the carry).
// Cases: 0 eight channels at 96 kHz (converted to 48 kHz and back), 1 eight
// channels at 48 kHz, 2 two channels at 48 kHz (which ends after the
// virtualiser and the limiters). "x_realtime" is seconds of stream processed
// per second of one core.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <memory>
#include <vector>

#include "bench/FftPeers.h"
#include "bench/RatioTable.h"
#include "globaltopo/common/VSF/headphonefir.h"
#include "kernel/nt.h"
#include "variants/effects/CHeadphoneEffectNode.h"

namespace {

constexpr ULONG TQ4187_BENCH_TAG = MakeTag("4187");
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

// ---- The headphone effect node ------------------------------------------------------------------

// The feature unit behind the node: its on/off byte is taken as sent.
class BenchUnit : public CTopoNode, public ISwitchControl {
 public:
  BenchUnit() : CTopoNode(nullptr, 2, 6) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (!IsEqualGUIDAligned(iid, IID_ISwitchControl)) return CTopoNode::NonDelegatingQueryInterface(iid, object);
    *object = static_cast<ISwitchControl*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetSwitchValue(ULONG, ULONG, PUCHAR value) override {
    *value = 0;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE SetSwitchValue(ULONG, ULONG, UCHAR) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE GetSwitchChannelCount(ULONG, PULONG count) override {
    *count = 1;
    return STATUS_SUCCESS;
  }
};

struct NodeCase {
  WORD channels;
  DWORD rate;
};
constexpr NodeCase kNodeCases[] = {{8, 96000}, {8, 48000}, {2, 48000}};

WAVEFORMATEXTENSIBLE BenchPcm(const NodeCase& c) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = c.channels;
  f.Format.nSamplesPerSec = c.rate;
  f.Format.wBitsPerSample = 16;
  f.Format.nBlockAlign = static_cast<WORD>(2 * c.channels);
  f.Format.nAvgBytesPerSec = c.rate * f.Format.nBlockAlign;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = 16;
  f.dwChannelMask = c.channels == 8 ? 0x63F : 0x3;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

// Eight channel buffers of a block of a quiet multi-tone signal.
struct NodeBlock {
  explicit NodeBlock(const NodeCase& c) {
    for (ULONG ch = 0; ch < HEADPHONE_CHANNELS; ++ch) {
      samples[ch].resize(HEADPHONE_BLOCK_FRAMES);
      for (ULONG i = 0; i < HEADPHONE_BLOCK_FRAMES; ++i)
        samples[ch][i] = ch < c.channels ? 0.1f * std::sin(0.01f * (ch + 1) * static_cast<float>(i)) : 0.0f;
      ptrs[ch] = samples[ch].data();
    }
  }
  std::vector<float> samples[HEADPHONE_CHANNELS];
  float* ptrs[HEADPHONE_CHANNELS] = {};
};

void RealTime(benchmark::State& state, DWORD rate) {
  state.SetItemsProcessed(state.iterations() * HEADPHONE_BLOCK_FRAMES);
  state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * HEADPHONE_BLOCK_FRAMES /
                                                        rate,
                                                    benchmark::Counter::kIsRate);
}

void HeadphoneNodeOurs(benchmark::State& state) {
  const NodeCase c = kNodeCases[state.range(0)];
  auto* unit = new (NonPagedPool, MakeTag("Bnch")) BenchUnit();
  unit->NonDelegatingAddRef();
  auto* node = new (NonPagedPool, TQ4187_BENCH_TAG) CHeadphoneEffectNode(nullptr, 3);
  node->NonDelegatingAddRef();
  node->Init(unit, 0x8C, nullptr);
  node->SetValue(1);
  const WAVEFORMATEXTENSIBLE format = BenchPcm(c);
  node->SetFormat(&format);
  NodeBlock input(c), block(c);
  for (auto _ : state) {
    for (ULONG ch = 0; ch < c.channels; ++ch) std::copy(input.samples[ch].begin(), input.samples[ch].end(), block.ptrs[ch]);
    node->Process(&format, block.ptrs, HEADPHONE_BLOCK_FRAMES);
    benchmark::ClobberMemory();
  }
  RealTime(state, c.rate);
  node->NonDelegatingRelease();
  unit->NonDelegatingRelease();
}
BENCHMARK(HeadphoneNodeOurs)->Name("HeadphoneNode/ours")->Arg(0)->Arg(1)->Arg(2);

// The virtualiser alone, on the engine-rate blocks the node gives it.
void HeadphoneNodeEngine(benchmark::State& state) {
  const NodeCase c = kNodeCases[state.range(0)];
  auto virtualizer = std::unique_ptr<CHeadphoneVirtualizer>(new (NonPagedPool, VSF_CONTROL_TAG) CHeadphoneVirtualizer());
  const ULONG engineRate = c.rate % 1000 ? 44100 : 48000;
  const WORD blockAlign = static_cast<WORD>(4 * c.channels);
  const WAVEFORMATEX engine{WAVE_FORMAT_IEEE_FLOAT, c.channels, engineRate, blockAlign * engineRate, blockAlign, 32, 0};
  virtualizer->SetFormat(&engine);
  virtualizer->SetEnable(1);
  const ULONG frames = HEADPHONE_BLOCK_FRAMES * engineRate / c.rate;
  NodeBlock input(c), block(c);
  for (auto _ : state) {
    for (ULONG ch = 0; ch < HEADPHONE_CHANNELS; ++ch) std::copy(input.samples[ch].begin(), input.samples[ch].end(), block.ptrs[ch]);
    virtualizer->Process(block.ptrs, static_cast<int32_t>(frames));
    benchmark::ClobberMemory();
  }
  RealTime(state, c.rate);
}
BENCHMARK(HeadphoneNodeEngine)->Name("HeadphoneNode/engine")->Arg(0)->Arg(1)->Arg(2);

}  // namespace

int main(int argc, char** argv) { return bench::RunWithRatioTable(argc, argv); }
