// The real FFT's processor-level builds against the baseline build and, when
// linked, FFTW (single precision, FFTW_MEASURE plans) and KissFFT
// (kiss_fftr), forward and inverse at orders 6-22. Every transform runs out
// of place on the same random signal with a work buffer of its own, so that
// no build pays for an allocation per call. Benchmarks are named
// "<direction>/<build>/<order>"; the table at the end gives, per direction
// and order, time(level) / time(other) for every level and other build
// (below 1: the level build is faster). Levels the processor lacks are left
// out.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/FftPeers.h"
#include "primitives/CpuId.h"
#include "primitives/RealFft.h"
#include "primitives/levels/FftLevels.h"

namespace {

constexpr int kMinOrder = 6;
constexpr int kMaxOrder = 22;

struct Build {
  const char* name;
  int level;
  decltype(&RealFftGetSizeL1) getSize;
  decltype(&RealFftInitL1) init;
  decltype(&RealFftForwardL1) forward;
  decltype(&RealFftInverseL1) inverse;
};

const Build kBuilds[] = {
    {"L0", 0, RealFftGetSize, RealFftInit, RealFftForward, RealFftInverse},
    {"L1", 1, RealFftGetSizeL1, RealFftInitL1, RealFftForwardL1, RealFftInverseL1},
    {"L2", 2, RealFftGetSizeL2, RealFftInitL2, RealFftForwardL2, RealFftInverseL2},
    {"L3", 3, RealFftGetSizeL3, RealFftInitL3, RealFftForwardL3, RealFftInverseL3},
};

bool ProcessorRunsLevel(int level) {
  if (level >= 1 && CpuHasSse3() == 0) return false;
  if (level >= 2 && CpuHasSsse3() == 0) return false;
  return level < 3 || (CpuHasSse41() != 0 && CpuHasSse42() != 0);
}

template <bool kInverse>
void Ours(benchmark::State& state, const Build& build) {
  const int order = static_cast<int>(state.range(0));
  const size_t n = size_t{1} << order;
  int32_t specBytes = 0, initBytes = 0, workBytes = 0;
  if (build.getSize(order, FFT_SCALE_INVERSE, 0, &specBytes, &initBytes, &workBytes) != DSP_STATUS_OK) {
    state.SkipWithError("size query failed");
    return;
  }
  std::vector<unsigned char> specMem(specBytes), initBuf(initBytes + 1), work(workBytes + 1);
  RealFftSpec* spec = nullptr;
  if (build.init(&spec, order, FFT_SCALE_INVERSE, 0, specMem.data(), initBuf.data()) != DSP_STATUS_OK) {
    state.SkipWithError("init failed");
    return;
  }
  const std::vector<float> x = bench::FftBenchSignal(n);
  std::vector<float> y(n);
  for (auto _ : state) {
    if (kInverse)
      build.inverse(x.data(), y.data(), spec, work.data());
    else
      build.forward(x.data(), y.data(), spec, work.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}

// Console output, then per direction and order the time of each level over
// the time of every other build.
class LevelRatioTable : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.benchmark_name();
      const size_t first = name.find('/'), second = name.find('/', first + 1);
      if (first == std::string::npos || second == std::string::npos) continue;
      const Row row{name.substr(0, first), std::stoi(name.substr(second + 1))};
      m_Times[row][name.substr(first + 1, second - first - 1)] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [row, times] : m_Times) {
      for (const char* level : {"L1", "L2", "L3"}) {
        auto ours = times.find(level);
        if (ours == times.end()) continue;
        std::printf("%s/%-4d %s:", row.first.c_str(), row.second, level);
        for (const auto& [other, time] : times)
          if (other != level && time > 0) std::printf("  /%s %5.2f", other.c_str(), ours->second / time);
        std::printf("\n");
      }
    }
  }

 private:
  using Row = std::pair<std::string, int>;  // direction, order
  std::map<Row, std::map<std::string, double>> m_Times;
};

void Register(const std::string& name, std::function<void(benchmark::State&)> body) {
  benchmark::RegisterBenchmark(name.c_str(), body)->DenseRange(kMinOrder, kMaxOrder, 2);
}

void RegisterAll() {
  for (const Build& build : kBuilds) {
    if (!ProcessorRunsLevel(build.level)) continue;
    Register(std::string("Forward/") + build.name, [&build](benchmark::State& s) { Ours<false>(s, build); });
    Register(std::string("Inverse/") + build.name, [&build](benchmark::State& s) { Ours<true>(s, build); });
  }
#ifdef HSD_HAVE_FFTW
  Register("Forward/fftw", bench::FftwRealFft<false>);
  Register("Inverse/fftw", bench::FftwRealFft<true>);
#endif
#ifdef HSD_HAVE_KISSFFT
  Register("Forward/kissfft", bench::KissRealFft<false>);
  Register("Inverse/kissfft", bench::KissRealFft<true>);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  LevelRatioTable reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
