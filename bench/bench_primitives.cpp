// The conversion, interleave, vector and power primitives against plain
// loops compiled in this same file (and the C library's powf), at the buffer
// sizes of the signal path: 48 (1 ms at 48 kHz), 480 (10 ms) and 4096.
// Each pair runs as <name>/ours/<n> and <name>/peer/<n>; the table at the end
// gives ours/peer time ratios (below 1: ours is faster).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "primitives/Convert.h"
#include "primitives/Power.h"
#include "primitives/Vector.h"

namespace {

constexpr int kMaxLen = 4096;

struct Buffers {
  alignas(32) float a[2 * kMaxLen];
  alignas(32) float b[2 * kMaxLen];
  alignas(32) float out[2 * kMaxLen];
  alignas(32) int16_t s16[2 * kMaxLen];
  alignas(32) int32_t s32[2 * kMaxLen];
  alignas(32) uint8_t s24[3 * kMaxLen];
  Buffers() {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    for (int i = 0; i < 2 * kMaxLen; ++i) {
      a[i] = sample(rng);
      b[i] = sample(rng);
      s16[i] = static_cast<int16_t>(rng());
      s32[i] = static_cast<int32_t>(rng());
    }
    for (auto& byte : s24) byte = static_cast<uint8_t>(rng());
  }
};

Buffers& B() {
  static Buffers buffers;
  return buffers;
}

// Registers one pair: `ours` and `peer` each run one buffer of n samples.
template <typename Ours, typename Peer>
void Pair(const char* name, Ours ours, Peer peer) {
  for (const char* side : {"ours", "peer"}) {
    const bool isOurs = side[0] == 'o';
    benchmark::RegisterBenchmark((std::string(name) + "/" + side).c_str(),
                                 [=](benchmark::State& state) {
                                   const int n = static_cast<int>(state.range(0));
                                   for (auto _ : state) {
                                     if (isOurs)
                                       ours(n);
                                     else
                                       peer(n);
                                     benchmark::ClobberMemory();
                                   }
                                   state.SetItemsProcessed(state.iterations() * n);
                                 })
        ->Arg(48)
        ->Arg(480)
        ->Arg(4096);
  }
}

void RegisterAll() {
  Buffers& d = B();
  Pair(
      "ConvS16ToF32Scaled", [&](int n) { ConvS16ToF32Scaled(d.s16, d.out, n, 15); },
      [&](int n) {
        for (int i = 0; i < n; ++i) d.out[i] = static_cast<float>(d.s16[i]) * (1.0f / 32768.0f);
      });
  Pair(
      "ConvF32ToS16Scaled", [&](int n) { ConvF32ToS16Scaled(d.a, d.s16, n, ROUND_TOWARD_ZERO, -15); },
      [&](int n) {
        for (int i = 0; i < n; ++i) {
          const double v = static_cast<double>(d.a[i]) * 32768.0;
          d.s16[i] = static_cast<int16_t>(v >= 32767.0 ? 32767 : v <= -32768.0 ? -32768 : static_cast<int>(v));
        }
      });
  Pair(
      "ConvS32ToF32Scaled", [&](int n) { ConvS32ToF32Scaled(d.s32, d.out, n, 31); },
      [&](int n) {
        for (int i = 0; i < n; ++i) d.out[i] = static_cast<float>(d.s32[i]) * (1.0f / 2147483648.0f);
      });
  Pair(
      "ConvF32ToS32Scaled", [&](int n) { ConvF32ToS32Scaled(d.a, d.s32, n, ROUND_TOWARD_ZERO, -31); },
      [&](int n) {
        for (int i = 0; i < n; ++i) {
          const double v = static_cast<double>(d.a[i]) * 2147483648.0;
          d.s32[i] = v >= 2147483647.0 ? 2147483647 : v <= -2147483648.0 ? INT32_MIN : static_cast<int32_t>(v);
        }
      });
  Pair(
      "ConvS24ToF32", [&](int n) { ConvS24ToF32(d.s24, d.out, n); },
      [&](int n) {
        for (int i = 0; i < n; ++i) {
          const uint8_t* p = d.s24 + 3 * i;
          d.out[i] = static_cast<float>(static_cast<int32_t>((p[0] << 8) | (p[1] << 16) | (p[2] << 24)) >> 8);
        }
      });
  Pair(
      "ConvF32ToS24Scaled", [&](int n) { ConvF32ToS24Scaled(d.a, d.s24, n, -23); },
      [&](int n) {
        for (int i = 0; i < n; ++i) {
          const float v = std::nearbyint(std::clamp(d.a[i] * 8388608.0f, -8388608.0f, 8388607.0f));
          const int32_t r = static_cast<int32_t>(v);
          std::memcpy(d.s24 + 3 * i, &r, 3);
        }
      });
  Pair(
      "VecInterleaveF32x2",
      [&](int n) {
        const float* channels[2] = {d.a, d.b};
        VecInterleaveF32(channels, 2, n, d.out);
      },
      [&](int n) {
        for (int i = 0; i < n; ++i) {
          d.out[2 * i] = d.a[i];
          d.out[2 * i + 1] = d.b[i];
        }
      });
  Pair(
      "VecDeinterleaveF32x2",
      [&](int n) {
        float* channels[2] = {d.out, d.b};
        VecDeinterleaveF32(d.a, 2, n, channels);
      },
      [&](int n) {
        for (int i = 0; i < n; ++i) {
          d.out[i] = d.a[2 * i];
          d.b[i] = d.a[2 * i + 1];
        }
      });
  Pair(
      "VecMulConstF32InPlace", [&](int n) { VecMulConstF32InPlace(0.5f, d.out, n); },
      [&](int n) {
        for (int i = 0; i < n; ++i) d.out[i] *= 0.5f;
      });
  Pair(
      "VecAddF32", [&](int n) { VecAddF32(d.a, d.b, d.out, n); },
      [&](int n) {
        for (int i = 0; i < n; ++i) d.out[i] = d.a[i] + d.b[i];
      });
  Pair(
      "VecMoveF32", [&](int n) { VecMoveF32(d.a + 1, d.a, n); }, [&](int n) { std::memmove(d.a, d.a + 1, 4 * n); });
  Pair(
      "VecZeroF32", [&](int n) { VecZeroF32(d.out, n); }, [&](int n) { std::fill(d.out, d.out + n, 0.0f); });
  Pair(
      "VecMaxF32",
      [&](int n) {
        float m;
        VecMaxF32(d.a, n, &m);
        benchmark::DoNotOptimize(m);
      },
      [&](int n) {
        float m = d.a[0];
        for (int i = 1; i < n; ++i)
          if (d.a[i] > m) m = d.a[i];
        benchmark::DoNotOptimize(m);
      });
  // dB to gain: 10^(x/20) for levels in [-60, 0] dB, against the C library.
  static std::vector<float> tens(kMaxLen, 10.0f), exponents(kMaxLen);
  for (int i = 0; i < kMaxLen; ++i) exponents[i] = -3.0f * static_cast<float>(i % 1000) / 1000.0f;
  Pair(
      "VecPowF32", [&](int n) { VecPowF32(tens.data(), exponents.data(), d.out, n); },
      [&](int n) {
        for (int i = 0; i < n; ++i) d.out[i] = std::pow(tens[i], exponents[i]);
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
    std::printf("\n%-26s %8s %8s %8s   (time ours / time peer)\n", "primitive", "48", "480", "4096");
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
      for (const char* size : {"48", "480", "4096"}) {
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
