// The processor-level builds against the baseline build in the same run:
// every primitive with level builds, through its public name with the
// dispatch index set to the level, and again at index 0, at 48, 480 and 4096
// elements and at 4 M, well outside the caches. Rows are
// "<primitive>.L<k>/<n>"; the table at the end gives time(level) /
// time(baseline) (below 1: the level build is faster). Levels the processor
// lacks are left out.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/OutOfCache.h"
#include "bench/RatioTable.h"
#include "primitives/Convert.h"
#include "primitives/Dispatch.h"
#include "primitives/Fir.h"
#include "primitives/MultirateFir.h"
#include "primitives/Power.h"
#include "primitives/Vector.h"
#include "primitives/levels/ProcessorLevel.h"
#include "tests/support/DispatchLevel.h"

namespace {

using bench::kOutOfCache;
using bench::View;

// A FIR state per filter shape and level, built once (a state is filtered
// by the builds of the level that built it).
class FirStates {
 public:
  void* Get(int level, int32_t taps, int32_t up, int32_t down) {
    const std::string key =
        std::to_string(level) + "/" + std::to_string(taps) + "/" + std::to_string(up) + "/" + std::to_string(down);
    for (auto& [name, memory, state] : m_States)
      if (name == key) return state;
    testsupport::ScopedDispatchLevel index(level);
    std::vector<float> coefficients(static_cast<size_t>(taps));
    for (int32_t i = 0; i < taps; ++i) coefficients[static_cast<size_t>(i)] = 1.0f / static_cast<float>(i + 1);
    int32_t bytes = 0;
    MultirateFirStateSize(taps, up, down, &bytes);
    std::vector<unsigned char> memory(static_cast<size_t>(bytes));
    void* state = nullptr;
    MultirateFirInit(&state, coefficients.data(), taps, up, 0, down, 0, nullptr, memory.data());
    m_States.push_back({key, std::move(memory), state});
    return state;
  }

 private:
  struct Entry {
    std::string name;
    std::vector<unsigned char> memory;
    void* state;
  };
  std::vector<Entry> m_States;
};

FirStates& States() {
  static FirStates states;
  return states;
}

using Body = std::function<void(const View& d, int n)>;

// Registers, for each level the processor runs, "<name>.L<k>/ours/<n>" at
// that level and "<name>.L<k>/base/<n>" at the baseline.
void Compare(const std::string& name, Body body, std::vector<int> sizes = {48, 480, 4096, kOutOfCache}) {
  for (int level = 1; level <= 3; ++level) {
    if (!ProcessorRunsLevel(level)) continue;
    for (const char* side : {"ours", "base"}) {
      const int run = side[0] == 'o' ? level : 0;
      auto* bench = benchmark::RegisterBenchmark((name + ".L" + std::to_string(level) + "/" + side).c_str(),
                                                 [=](benchmark::State& state) {
                                                   const int n = static_cast<int>(state.range(0));
                                                   testsupport::ScopedDispatchLevel index(run);
                                                   const bench::SignalBuffers& buffers = bench::Signals();
                                                   int64_t runs = 0;
                                                   for (auto _ : state) {
                                                     body(buffers.At(n, runs++), n);
                                                     benchmark::ClobberMemory();
                                                   }
                                                   state.SetItemsProcessed(state.iterations() * n);
                                                 });
      for (int n : sizes) bench->Arg(n);
    }
  }
}

void RegisterAll() {
  Compare("VecZeroF32", [](const View& d, int n) { VecZeroF32(d.out, n); });
  Compare("VecSetF32", [](const View& d, int n) { VecSetF32(0.25f, d.out + 1, n); });
  Compare("VecCopyF32", [](const View& d, int n) { VecCopyF32(d.a + 1, d.out, n); });
  Compare("VecMoveF32", [](const View& d, int n) { VecMoveF32(d.out + 1, d.out, n); });
  Compare("VecAddF32", [](const View& d, int n) { VecAddF32(d.a, d.b + 1, d.out, n); });
  Compare("VecAddF32InPlace", [](const View& d, int n) { VecAddF32InPlace(d.a, d.out, n); });
  Compare("VecAddConstF32InPlace", [](const View& d, int n) { VecAddConstF32InPlace(1e-20f, d.out, n); });
  Compare("VecMulConstF32", [](const View& d, int n) { VecMulConstF32(d.a, 0.5f, d.out, n); });
  Compare("VecMulConstF32InPlace", [](const View& d, int n) { VecMulConstF32InPlace(1.0000001f, d.out, n); });
  Compare("VecDivConstF32InPlace", [](const View& d, int n) { VecDivConstF32InPlace(0.99999994f, d.out, n); });
  Compare("VecAbsF32InPlace", [](const View& d, int n) { VecAbsF32InPlace(d.out, n); });
  Compare("VecMaxF32", [](const View& d, int n) {
    float m;
    VecMaxF32(d.a, n, &m);
    benchmark::DoNotOptimize(m);
  });
  Compare("VecMinF32", [](const View& d, int n) {
    float m;
    VecMinF32(d.a + 1, n, &m);
    benchmark::DoNotOptimize(m);
  });
  Compare("ConvS16ToF32Scaled", [](const View& d, int n) { ConvS16ToF32Scaled(d.s16, d.out, n, 15); });
  Compare("ConvS32ToF32Scaled", [](const View& d, int n) { ConvS32ToF32Scaled(d.s32, d.out, n, 31); });
  Compare("ConvS32ToF32", [](const View& d, int n) { ConvS32ToF32(d.s32, d.out, n); });
  Compare("ConvS24ToF32", [](const View& d, int n) { ConvS24ToF32(d.s24, d.out, n); });
  Compare("ConvF32ToS24Scaled", [](const View& d, int n) { ConvF32ToS24Scaled(d.a, d.s24, n, -23); });
  Compare("ConvF32ToS16Scaled", [](const View& d, int n) { ConvF32ToS16Scaled(d.a, d.s16, n, ROUND_TOWARD_ZERO, -15); });
  Compare("ConvF32ToS32Scaled", [](const View& d, int n) { ConvF32ToS32Scaled(d.a, d.s32, n, ROUND_NEAREST_EVEN, -31); });
  Compare("VecInterleaveF32x2", [](const View& d, int n) {
    const float* channels[2] = {d.a, d.b};
    VecInterleaveF32(channels, 2, n, d.out);
  });
  Compare("VecDeinterleaveF32x2", [](const View& d, int n) {
    float* channels[2] = {d.out, d.b};
    VecDeinterleaveF32(d.a, 2, n, channels);
  });
  Compare("VecPowF32", [](const View& d, int n) { VecPowF32(d.tens, d.exponents, d.out, n); });
  // Filters: one state per level (a state belongs to the level that built
  // it); the driver's shapes: a 32-tap direct form, a 128-tap filter that
  // takes the transform form on long blocks, the 2x interpolator and the
  // 147:160 converter.
  auto fir = [](int32_t taps, int32_t up, int32_t down) {
    return [taps, up, down](const View& d, int n) {
      void* state = States().Get(CpuDispatchIndex, taps, up, down);
      FirFilterBlock(d.a, d.out, n / (up > down ? up : down), state);
    };
  };
  Compare("FirFilterBlock32", fir(32, 1, 1));
  Compare("FirFilterBlock128", fir(128, 1, 1));
  Compare("MultirateFir66x2", fir(66, 2, 1));
  Compare("MultirateFir147of160", fir(320, 147, 160), {480, 4096, kOutOfCache});
  Compare("FirFilterSample32", [](const View& d, int n) {
    static float delay[64];
    static int32_t index = 0;
    float y;
    for (int i = 0; i < n; ++i) FirFilterSample(d.a[i], &y, d.b, 32, delay, &index);
    benchmark::DoNotOptimize(y);
  });
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  return bench::RunWithRatioTable(argc, argv);
}
