// The real FFT's processor-level builds against the baseline build and, when
// linked, FFTW (single precision, FFTW_MEASURE plans) and KissFFT
// (kiss_fftr), forward and inverse at every order 6-16 and at orders 18, 20
// and 22. Every transform runs out of place on the same random signal with a
// work buffer of its own, so that no build pays for an allocation per call.
// Benchmarks are named "<direction>/<build>/<order>" (build L0..L3, fftw,
// kissfft); the table at the end gives, per direction and order,
// time(build) / time(other) for every build and every other one (below 1:
// the build of the row is faster), from the medians of the repetitions (five
// in shuffled order unless the command line sets them). The load of a shared
// machine moves single runs by tens of percent: compare builds within one
// repeated run. Levels the processor lacks are left out.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
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
constexpr int kMaxDenseOrder = 16;
constexpr int kLargeOrders[] = {18, 20, 22};

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
      if (run.error_occurred) continue;
      // A repeated run gives its median; a single run its only iteration.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!median && run.run_type != Run::RT_Iteration) continue;
      if (!median && run.repetitions > 1) continue;
      const std::string name = run.run_name.function_name + "/" + run.run_name.args;
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
      for (const char* level : {"L0", "L1", "L2", "L3"}) {
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
  auto* benchmark = benchmark::RegisterBenchmark(name.c_str(), body)->DenseRange(kMinOrder, kMaxDenseOrder);
  for (int order : kLargeOrders) benchmark->Arg(order);
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

// Unless the command line says otherwise, every benchmark runs five times in
// shuffled order and the table takes the medians: a load that comes and goes
// then falls on every build alike rather than on whichever ran at the time.
std::vector<char*> WithRepetitionDefaults(int argc, char** argv) {
  static char repetitions[] = "--benchmark_repetitions=5";
  static char interleaving[] = "--benchmark_enable_random_interleaving=true";
  static char minTime[] = "--benchmark_min_time=0.1";
  std::vector<char*> args(argv, argv + argc);
  auto given = [&](const char* flag) {
    for (int i = 1; i < argc; ++i)
      if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0) return true;
    return false;
  };
  if (!given("--benchmark_repetitions")) args.push_back(repetitions);
  if (!given("--benchmark_enable_random_interleaving")) args.push_back(interleaving);
  if (!given("--benchmark_min_time")) args.push_back(minTime);
  return args;
}

int main(int argc, char** argv) {
  RegisterAll();
  std::vector<char*> args = WithRepetitionDefaults(argc, argv);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  LevelRatioTable reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
