// The conversion, interleave, vector and power primitives against plain
// loops compiled in this same file (and the C library's powf), at the buffer
// sizes of the signal path: 48 (1 ms at 48 kHz), 480 (10 ms) and 4096, and
// at 4 M samples, well outside the caches, where the runs go round four
// regions of every buffer and a plain memcpy of 4 M floats
// ("CopyBandwidth/memcpy") gives the bandwidth to hold the conversions
// against. Each pair runs as <name>/ours/<n> and <name>/peer/<n>; the table at
// the end gives ours/peer time ratios (below 1: ours is faster).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/OutOfCache.h"
#include "primitives/Convert.h"
#include "primitives/Power.h"
#include "primitives/Vector.h"

namespace {

using bench::kOutOfCache;
using bench::View;

// Registers one pair: `ours` and `peer` each run one buffer of n samples
// that moves `bytes` bytes per sample (read and written).
template <typename Ours, typename Peer>
void Pair(const char* name, Ours ours, Peer peer, int bytes = 8) {
  for (const char* side : {"ours", "peer"}) {
    const bool isOurs = side[0] == 'o';
    benchmark::RegisterBenchmark((std::string(name) + "/" + side).c_str(),
                                 [=](benchmark::State& state) {
                                   const int n = static_cast<int>(state.range(0));
                                   int64_t runs = 0;
                                   for (auto _ : state) {
                                     const View d = bench::Signals().At(n, runs++);
                                     if (isOurs)
                                       ours(d, n);
                                     else
                                       peer(d, n);
                                     benchmark::ClobberMemory();
                                   }
                                   state.SetItemsProcessed(state.iterations() * n);
                                   state.SetBytesProcessed(state.iterations() * n * int64_t{bytes});
                                 })
        ->Arg(48)
        ->Arg(480)
        ->Arg(4096)
        ->Arg(kOutOfCache);
  }
}

void RegisterAll() {
  // The bandwidth the conversions are held against out of cache.
  benchmark::RegisterBenchmark("CopyBandwidth/memcpy", [](benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    int64_t runs = 0;
    for (auto _ : state) {
      const View d = bench::Signals().At(n, runs++);
      std::memcpy(d.out, d.a, 4 * static_cast<size_t>(n));
      benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * n * int64_t{8});
  })->Arg(kOutOfCache);
  Pair(
      "ConvS16ToF32Scaled", [](const View& d, int n) { ConvS16ToF32Scaled(d.s16, d.out, n, 15); },
      [](const View& d, int n) {
        for (int i = 0; i < n; ++i) d.out[i] = static_cast<float>(d.s16[i]) * (1.0f / 32768.0f);
      },
      6);
  Pair(
      "ConvF32ToS16Scaled", [](const View& d, int n) { ConvF32ToS16Scaled(d.a, d.s16, n, ROUND_TOWARD_ZERO, -15); },
      [](const View& d, int n) {
        for (int i = 0; i < n; ++i) {
          const double v = static_cast<double>(d.a[i]) * 32768.0;
          d.s16[i] = static_cast<int16_t>(v >= 32767.0 ? 32767 : v <= -32768.0 ? -32768 : static_cast<int>(v));
        }
      },
      6);
  Pair(
      "ConvS32ToF32Scaled", [](const View& d, int n) { ConvS32ToF32Scaled(d.s32, d.out, n, 31); },
      [](const View& d, int n) {
        for (int i = 0; i < n; ++i) d.out[i] = static_cast<float>(d.s32[i]) * (1.0f / 2147483648.0f);
      });
  Pair(
      "ConvF32ToS32Scaled", [](const View& d, int n) { ConvF32ToS32Scaled(d.a, d.s32, n, ROUND_TOWARD_ZERO, -31); },
      [](const View& d, int n) {
        for (int i = 0; i < n; ++i) {
          const double v = static_cast<double>(d.a[i]) * 2147483648.0;
          d.s32[i] = v >= 2147483647.0 ? 2147483647 : v <= -2147483648.0 ? INT32_MIN : static_cast<int32_t>(v);
        }
      });
  Pair(
      "ConvS24ToF32", [](const View& d, int n) { ConvS24ToF32(d.s24, d.out, n); },
      [](const View& d, int n) {
        for (int i = 0; i < n; ++i) {
          const uint8_t* p = d.s24 + 3 * i;
          d.out[i] = static_cast<float>(static_cast<int32_t>((p[0] << 8) | (p[1] << 16) | (p[2] << 24)) >> 8);
        }
      },
      7);
  Pair(
      "ConvF32ToS24Scaled", [](const View& d, int n) { ConvF32ToS24Scaled(d.a, d.s24, n, -23); },
      [](const View& d, int n) {
        for (int i = 0; i < n; ++i) {
          const float v = std::nearbyint(std::clamp(d.a[i] * 8388608.0f, -8388608.0f, 8388607.0f));
          const int32_t r = static_cast<int32_t>(v);
          std::memcpy(d.s24 + 3 * i, &r, 3);
        }
      },
      7);
  Pair(
      "VecInterleaveF32x2",
      [](const View& d, int n) {
        const float* channels[2] = {d.a, d.b};
        VecInterleaveF32(channels, 2, n, d.out);
      },
      [](const View& d, int n) {
        for (int i = 0; i < n; ++i) {
          d.out[2 * i] = d.a[i];
          d.out[2 * i + 1] = d.b[i];
        }
      });
  Pair(
      "VecDeinterleaveF32x2",
      [](const View& d, int n) {
        float* channels[2] = {d.out, d.b};
        VecDeinterleaveF32(d.a, 2, n, channels);
      },
      [](const View& d, int n) {
        for (int i = 0; i < n; ++i) {
          d.out[i] = d.a[2 * i];
          d.b[i] = d.a[2 * i + 1];
        }
      });
  Pair(
      "VecMulConstF32InPlace", [](const View& d, int n) { VecMulConstF32InPlace(0.5f, d.out, n); },
      [](const View& d, int n) {
        for (int i = 0; i < n; ++i) d.out[i] *= 0.5f;
      });
  Pair(
      "VecAddF32", [](const View& d, int n) { VecAddF32(d.a, d.b, d.out, n); },
      [](const View& d, int n) {
        for (int i = 0; i < n; ++i) d.out[i] = d.a[i] + d.b[i];
      });
  Pair(
      "VecMoveF32", [](const View& d, int n) { VecMoveF32(d.a + 1, d.a, n); }, [](const View& d, int n) { std::memmove(d.a, d.a + 1, 4 * n); });
  Pair(
      "VecZeroF32", [](const View& d, int n) { VecZeroF32(d.out, n); }, [](const View& d, int n) { std::fill(d.out, d.out + n, 0.0f); });
  Pair(
      "VecMaxF32",
      [](const View& d, int n) {
        float m;
        VecMaxF32(d.a, n, &m);
        benchmark::DoNotOptimize(m);
      },
      [](const View& d, int n) {
        float m = d.a[0];
        for (int i = 1; i < n; ++i)
          if (d.a[i] > m) m = d.a[i];
        benchmark::DoNotOptimize(m);
      });
  // dB to gain: 10^(x/20) for levels in [-60, 0] dB, against the C library.
  Pair(
      "VecPowF32", [](const View& d, int n) { VecPowF32(d.tens, d.exponents, d.out, n); },
      [](const View& d, int n) {
        for (int i = 0; i < n; ++i) d.out[i] = std::pow(d.tens[i], d.exponents[i]);
      });
}

// Console output plus a closing table of ours/peer ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      m_Times[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-26s %8s %8s %8s %8s   (time ours / time peer)\n", "primitive", "48", "480", "4096", "4M");
    std::map<std::string, std::map<std::string, double>> ratios;
    for (const auto& [name, ours] : m_Times) {
      const size_t first = name.find("/ours/");
      if (first == std::string::npos) continue;
      const std::string peerName = name.substr(0, first) + "/peer/" + name.substr(first + 6);
      auto peer = m_Times.find(peerName);
      if (peer != m_Times.end() && peer->second > 0)
        ratios[name.substr(0, first)][name.substr(first + 6)] = ours / peer->second;
    }
    for (const auto& [primitive, bySize] : ratios) {
      std::printf("%-26s", primitive.c_str());
      for (const char* size : {"48", "480", "4096", "4194304"}) {
        auto it = bySize.find(size);
        if (it == bySize.end())
          std::printf(" %8s", "-");
        else
          std::printf(" %8.2f", it->second);
      }
      std::printf("\n");
    }
  }

 private:
  std::map<std::string, double> m_Times;
};

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
