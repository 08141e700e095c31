// A console reporter that ends with a table of time ratios: benchmarks named
// "<case>/ours/<arg>" and "<case>/<peer>/<arg>" give one row per case and
// argument with time(ours) / time(peer) for every peer (below 1: ours is
// faster).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace bench {

class RatioTable : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.benchmark_name();
      const size_t first = name.find('/');
      const size_t second = first == std::string::npos ? first : name.find('/', first + 1);
      if (second == std::string::npos) continue;
      const std::string row = name.substr(0, first) + "/" + name.substr(second + 1);
      const std::string side = name.substr(first + 1, second - first - 1);
      m_Times[row][side] = run.GetAdjustedRealTime();
      if (side != "ours") m_Peers.insert(side);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-36s", "case (time ours / time peer)");
    for (const std::string& peer : m_Peers) std::printf(" %10s", peer.c_str());
    std::printf("\n");
    for (const auto& [row, sides] : m_Times) {
      auto ours = sides.find("ours");
      if (ours == sides.end()) continue;
      std::printf("%-36s", row.c_str());
      for (const std::string& peer : m_Peers) {
        auto it = sides.find(peer);
        if (it == sides.end() || it->second <= 0)
          std::printf(" %10s", "-");
        else
          std::printf(" %10.2f", ours->second / it->second);
      }
      std::printf("\n");
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> m_Times;
  std::set<std::string> m_Peers;
};

// Runs the registered benchmarks with the ratio table at the end.
inline int RunWithRatioTable(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioTable reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
