// The progress line of a long run: "playing 12.5 s of 60.0 s (20%)" on
// stderr, for runs that last longer than a second and only when stderr is
// a terminal, so that scripts and pipes never see it. Redrawn at most ten
// times a second; cleared when the run ends.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace tools {

class ProgressLine {
 public:
  // `what`: "playing", "recording"; `total` in `unit`s (seconds of audio
  // unless told).
  ProgressLine(FILE* err, std::string what, double total, std::string unit = "s");
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // `done` seconds of the total are through.
  void Update(double done);
  // Whether anything was drawn (for tests: a terminal and a long run).
  bool Shown() const { return m_Shown; }
  // Draws on a stream that is no terminal (for tests).
  void DrawAnyway() { m_Terminal = true; }

 private:
  using Clock = std::chrono::steady_clock;
  FILE* m_Err;
  std::string m_What;
  double m_Total;
  std::string m_Unit;
  bool m_Terminal;
  bool m_Shown = false;
  Clock::time_point m_Start, m_LastDrawn;
};

}  // namespace tools
