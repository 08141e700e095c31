// What a harness got to on the input it ran. A harness names the points its
// seeds must reach (the device started, the filter opened, the handler
// answered) and marks each as it passes it; every seed of its corpus (the
// files named seed-*) must reach all of them. A harness whose seeds stop
// short fuzzes less than it claims: a device whose start failed, a file the
// driver never opened.
//
// The check runs in two places: when a fuzz target starts (on the seeds in
// the corpus directories it was given, before the fuzzing), and in the test
// suite, which builds every harness with the ordinary compiler and feeds it
// its seeds from fuzz/corpus.
//
// A harness ends with FUZZ_REACHES("point", ...) after its entry point.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace fuzz {

using Entry = int (*)(const uint8_t* data, size_t size);

struct Harness {
  std::string name;  // the target's name: its source file's
  Entry run = nullptr;
  std::vector<std::string> points;
};

namespace reach {

struct Marks {
  std::mutex lock;
  std::set<std::string> reached;
};
inline Marks& State() {
  static Marks marks;
  return marks;
}

}  // namespace reach

// Marks `point` reached by the input being run (from any thread).
inline void Reached(const char* point) {
  reach::Marks& m = reach::State();
  std::lock_guard<std::mutex> guard(m.lock);
  m.reached.insert(point);
}

// The harnesses built into this program (the test suite holds all of them).
inline std::vector<Harness>& Harnesses() {
  static std::vector<Harness> all;
  return all;
}

inline std::string HarnessName(const char* file) {
  std::string name(file);
  name = name.substr(name.find_last_of("/\\") + 1);
  return name.substr(0, name.find('.'));
}

// The seed files (seed-*) of a corpus directory, sorted; none when it does
// not exist.
inline std::vector<std::string> SeedFiles(const std::string& directory) {
  std::vector<std::string> seeds;
  if (DIR* dir = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(dir))
      if (std::string(entry->d_name).rfind("seed-", 0) == 0) seeds.push_back(directory + "/" + entry->d_name);
    ::closedir(dir);
  }
  std::sort(seeds.begin(), seeds.end());
  return seeds;
}

// Runs each seed through the harness; one line per seed that misses a point
// (empty when every seed reaches every point).
inline std::string CheckSeeds(const Harness& harness, const std::vector<std::string>& seeds) {
  std::string missed;
  for (const std::string& path : seeds) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    {
      std::lock_guard<std::mutex> guard(reach::State().lock);
      reach::State().reached.clear();
    }
    harness.run(bytes.data(), bytes.size());
    std::lock_guard<std::mutex> guard(reach::State().lock);
    for (const std::string& point : harness.points)
      if (!reach::State().reached.count(point)) missed += path + ": never reached \"" + point + "\"\n";
  }
  return missed;
}

// At a fuzz target's start: the seeds of every corpus directory it was given
// must reach the harness's points, or the run stops before it fuzzes.
inline int CheckAtStart(const Harness& harness, int argc, char** argv) {
  std::vector<std::string> seeds;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-') continue;
    for (const std::string& seed : SeedFiles(argv[i])) seeds.push_back(seed);
  }
  const std::string missed = CheckSeeds(harness, seeds);
  if (!missed.empty()) {
    std::fprintf(stderr, "%s: its seeds fall short of what it fuzzes:\n%s", harness.name.c_str(), missed.c_str());
    std::abort();
  }
  std::fprintf(stderr, "seeds reached: %zu of %zu, every point\n", seeds.size(), seeds.size());
  return 0;
}

inline bool Register(Harness harness) {
  Harnesses().push_back(std::move(harness));
  return true;
}

}  // namespace fuzz

#ifdef HSD_FUZZ_HARNESS_TEST
// Built into the test suite: the harness joins the list the test walks.
#define FUZZ_REACHES(...)                                         \
  namespace {                                                     \
  const bool g_FuzzHarnessRegistered = ::fuzz::Register(          \
      {::fuzz::HarnessName(__FILE__), LLVMFuzzerTestOneInput, {__VA_ARGS__}}); \
  }
#else
#define FUZZ_REACHES(...)                                                                            \
  extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {                                     \
    return ::fuzz::CheckAtStart({::fuzz::HarnessName(__FILE__), LLVMFuzzerTestOneInput, {__VA_ARGS__}}, \
                                *argc, *argv);                                                       \
  }
#endif
