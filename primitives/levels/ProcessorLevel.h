// Whether the processor running this code has the instructions of a level:
// for the tests and benchmarks that run the level builds directly. It asks
// the processor itself, never the replaceable cpuid source of
// primitives/CpuId.h (tests script that one).
#pragma once

inline bool ProcessorRunsLevel(int level) {
  switch (level) {
    case 1:
      return __builtin_cpu_supports("sse3");
    case 2:
      return __builtin_cpu_supports("ssse3");
    case 3:
      return __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("sse4.2");
    default:
      return true;
  }
}
