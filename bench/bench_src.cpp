// The signal path's numeric core in time and quality.
//
// Rate conversion: the converter chain (stereo float, 10 ms calls) against
// libsamplerate's fastest sinc converter and soxr at each of its quality
// recipes from the quick one up, when those are linked. Each run also
// measures the SNR of a 1 kHz sine through the converter (a least-squares
// fit at the output rate; everything else counts as noise), so speed and
// quality stand side by side: the fair peer is the cheapest soxr recipe
// whose SNR is at or above ours (bench/summarize.py picks it). The peers
// design their own filters: the ratios compare cost at a similar job, not
// the same arithmetic.
//
// The room effect (8 channels at 48 kHz) and the peak limiter (2 channels) in
// 512-frame blocks, as the stream engine runs them: ns per frame and the
// multiple of real time at 48 kHz.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "bench/RatioTable.h"
#include "dsp/CDspConverter.h"
#include "dsp/CPeakLimiter.h"
#include "dsp/CRoomEffect.h"
#include "tests/dsp/DspTestSupport.h"

#ifdef HSD_HAVE_SAMPLERATE
#include <samplerate.h>
#endif
#ifdef HSD_HAVE_SOXR
#include <soxr.h>
#endif

namespace {

constexpr uint32_t kChannels = 2;
constexpr double kSineHz = 1000.0;

// One second of stereo input at the given rate: a 1 kHz sine on both
// channels, and 10 ms call sizes.
std::vector<float> StereoSine(uint32_t rate) {
  const auto mono = dsptest::Sine(rate, kSineHz / rate, 0.5f);
  std::vector<float> x(mono.size() * kChannels);
  for (size_t i = 0; i < mono.size(); ++i) x[2 * i] = x[2 * i + 1] = mono[i];
  return x;
}

double SnrOfLeft(const std::vector<float>& stereo, uint32_t outRate) {
  std::vector<float> left(stereo.size() / kChannels);
  for (size_t i = 0; i < left.size(); ++i) left[i] = stereo[kChannels * i];
  if (left.size() < 2000) return 0;
  double residual = 0;
  const auto amp = dsptest::FitSines(left, left.size() / 4, left.size() - 500, {kSineHz / outRate}, &residual);
  return dsptest::Db(amp[0] / residual);
}

// Each side converts one second of input in 10 ms calls and appends what it
// produced to out.
using Converter = void (*)(uint32_t inRate, uint32_t outRate, const std::vector<float>& in, std::vector<float>& out,
                           void* state);

struct Side {
  void* (*create)(uint32_t inRate, uint32_t outRate);
  void (*destroy)(void*);
  Converter convert;
};

// ---- ours ----

void* OursCreate(uint32_t inRate, uint32_t outRate) {
  auto* conv = new (NonPagedPool, DSP_OBJECT_TAG) CDspInterleaveSrc;
  conv->Init();
  WAVEFORMATEXTENSIBLE fi = {}, fo = {};
  for (auto* f : {&fi, &fo}) {
    f->Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    f->Format.nChannels = kChannels;
    f->Format.wBitsPerSample = 32;
    f->Format.nBlockAlign = kChannels * 4;
  }
  fi.Format.nSamplesPerSec = inRate;
  fo.Format.nSamplesPerSec = outRate;
  conv->SetFormat(&fi, &fo);
  return conv;
}
void OursDestroy(void* p) { delete static_cast<CDspInterleaveSrc*>(p); }
void OursConvert(uint32_t inRate, uint32_t, const std::vector<float>& in, std::vector<float>& out, void* p) {
  dsptest::ScopedSignalPathMxcsr mxcsr;
  auto* conv = static_cast<CDspInterleaveSrc*>(p);
  const uint32_t frames = static_cast<uint32_t>(in.size() / kChannels), call = inRate / 100;
  float buffer[4096 * kChannels];
  for (uint32_t pos = 0; pos < frames;) {
    uint32_t inFrames = std::min(call, frames - pos), outFrames = 4096;
    conv->Process(reinterpret_cast<const uint8_t*>(in.data() + pos * kChannels), &inFrames,
                  reinterpret_cast<uint8_t*>(buffer), &outFrames);
    out.insert(out.end(), buffer, buffer + outFrames * kChannels);
    pos += inFrames;
  }
}

#ifdef HSD_HAVE_SAMPLERATE
void* LsrCreate(uint32_t, uint32_t) {
  int error = 0;
  return src_new(SRC_SINC_FASTEST, kChannels, &error);
}
void LsrDestroy(void* p) { src_delete(static_cast<SRC_STATE*>(p)); }
void LsrConvert(uint32_t inRate, uint32_t outRate, const std::vector<float>& in, std::vector<float>& out, void* p) {
  const long frames = static_cast<long>(in.size() / kChannels), call = inRate / 100;
  float buffer[4096 * kChannels];
  for (long pos = 0; pos < frames;) {
    SRC_DATA data{};
    data.data_in = in.data() + pos * kChannels;
    data.input_frames = std::min(call, frames - pos);
    data.data_out = buffer;
    data.output_frames = 4096;
    data.src_ratio = static_cast<double>(outRate) / inRate;
    src_process(static_cast<SRC_STATE*>(p), &data);
    out.insert(out.end(), buffer, buffer + data.output_frames_gen * kChannels);
    pos += data.input_frames_used;
  }
}
#endif

#ifdef HSD_HAVE_SOXR
template <unsigned long kRecipe>
void* SoxrCreate(uint32_t inRate, uint32_t outRate) {
  soxr_error_t error = nullptr;
  const soxr_quality_spec_t quality = soxr_quality_spec(kRecipe, 0);
  // Single precision and one thread, as ours.
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  return soxr_create(inRate, outRate, kChannels, &error, &io, &quality, &runtime);
}
void SoxrDestroy(void* p) { soxr_delete(static_cast<soxr_t>(p)); }
void SoxrConvert(uint32_t inRate, uint32_t, const std::vector<float>& in, std::vector<float>& out, void* p) {
  const size_t frames = in.size() / kChannels, call = inRate / 100;
  float buffer[4096 * kChannels];
  for (size_t pos = 0; pos < frames;) {
    size_t consumed = 0, produced = 0;
    soxr_process(static_cast<soxr_t>(p), in.data() + pos * kChannels, std::min(call, frames - pos), &consumed, buffer,
                 4096, &produced);
    out.insert(out.end(), buffer, buffer + produced * kChannels);
    pos += consumed;
  }
}
#endif

void RunSide(benchmark::State& state, const Side& side) {
  const uint32_t inRate = static_cast<uint32_t>(state.range(0)), outRate = static_cast<uint32_t>(state.range(1));
  const std::vector<float> in = StereoSine(inRate);
  std::vector<float> out;
  out.reserve(static_cast<size_t>(outRate) * kChannels + 8192);
  {
    void* quality = side.create(inRate, outRate);
    side.convert(inRate, outRate, in, out, quality);
    side.destroy(quality);
    state.counters["SNR_dB"] = SnrOfLeft(out, outRate);
  }
  void* conv = side.create(inRate, outRate);
  for (auto _ : state) {
    out.clear();
    side.convert(inRate, outRate, in, out, conv);
    benchmark::DoNotOptimize(out.data());
  }
  side.destroy(conv);
  state.SetItemsProcessed(state.iterations() * inRate);
  state.counters["xRealtime"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void RegisterSrc() {
  std::vector<std::pair<const char*, Side>> sides = {{"Src/ours", {OursCreate, OursDestroy, OursConvert}}};
#ifdef HSD_HAVE_SAMPLERATE
  sides.push_back({"Src/libsamplerate", {LsrCreate, LsrDestroy, LsrConvert}});
#endif
#ifdef HSD_HAVE_SOXR
  sides.push_back({"Src/soxr_qq", {SoxrCreate<SOXR_QQ>, SoxrDestroy, SoxrConvert}});
  sides.push_back({"Src/soxr_lq", {SoxrCreate<SOXR_LQ>, SoxrDestroy, SoxrConvert}});
  sides.push_back({"Src/soxr_mq", {SoxrCreate<SOXR_MQ>, SoxrDestroy, SoxrConvert}});
  sides.push_back({"Src/soxr_hq", {SoxrCreate<SOXR_HQ>, SoxrDestroy, SoxrConvert}});
  sides.push_back({"Src/soxr_vhq", {SoxrCreate<SOXR_VHQ>, SoxrDestroy, SoxrConvert}});
#endif
  for (const auto& [name, side] : sides) {
    benchmark::RegisterBenchmark(name, [side = side](benchmark::State& s) { RunSide(s, side); })
        ->Args({44100, 48000})
        ->Args({48000, 44100})
        ->Args({48000, 96000})
        ->Unit(benchmark::kMillisecond);
  }
}

// ---- room effect and limiter ----

constexpr uint32_t kBlock = 512;
constexpr uint32_t kRate = 48000;

void RoomEffect(benchmark::State& state) {
  dsptest::ScopedSignalPathMxcsr mxcsr;
  std::unique_ptr<CRoomEffect> fx(new (NonPagedPool, MakeTag("Bnch")) CRoomEffect);
  fx->Init();
  fx->SetFormat(kRate, 7);
  std::vector<std::vector<float>> source, ch(8);
  for (uint32_t c = 0; c < 8; ++c) source.push_back(dsptest::Noise(kBlock, c, 0.1f));
  float* in[8];
  for (auto _ : state) {
    for (uint32_t c = 0; c < 8; ++c) {
      ch[c] = source[c];
      in[c] = ch[c].data();
    }
    fx->Process(in, in, kBlock);
    benchmark::DoNotOptimize(in[0][0]);
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
  state.counters["ns_per_frame"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBlock * 1e-9,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["xRealtime_48k"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / kRate, benchmark::Counter::kIsRate);
}

void Limiter(benchmark::State& state) {
  dsptest::ScopedSignalPathMxcsr mxcsr;
  std::unique_ptr<CPeakLimiter> lim(new (NonPagedPool, MakeTag("Bnch")) CPeakLimiter);
  lim->Allocate();
  lim->SetMode(0);
  lim->SetGain(2.8183f);
  lim->SetCeiling(1.0f);
  WAVEFORMATEXTENSIBLE f = {};
  f.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  f.Format.nChannels = 2;
  f.Format.nSamplesPerSec = kRate;
  lim->SetFormat(&f);
  std::vector<float> l = dsptest::Noise(kBlock, 1, 0.5f), r = dsptest::Noise(kBlock, 2, 0.5f);
  float* ch[2] = {l.data(), r.data()};
  for (auto _ : state) {
    lim->Process(ch, kBlock);
    benchmark::DoNotOptimize(l[0]);
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
  state.counters["ns_per_frame"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBlock * 1e-9,
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["xRealtime_48k"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / kRate, benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
  RegisterSrc();
  benchmark::RegisterBenchmark("RoomEffect/8ch_48k", RoomEffect);
  benchmark::RegisterBenchmark("PeakLimiter/2ch", Limiter);
  return bench::RunWithRatioTable(argc, argv);
}
