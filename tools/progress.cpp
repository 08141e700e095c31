#include "tools/progress.h"

#include <unistd.h>

#include <algorithm>

namespace tools {

ProgressLine::ProgressLine(FILE* err, std::string what, double total, std::string unit)
    : m_Err(err),
      m_What(std::move(what)),
      m_Total(total),
      m_Unit(std::move(unit)),
      m_Terminal(err && isatty(fileno(err))),
      m_Start(Clock::now()) {}

ProgressLine::~ProgressLine() {
  if (!m_Shown) return;
  // Back to the line's start, the line erased.
  std::fprintf(m_Err, "\r\033[K");
  std::fflush(m_Err);
}

void ProgressLine::Update(double done) {
  if (!m_Terminal) return;
  const Clock::time_point now = Clock::now();
  if (now - m_Start < std::chrono::seconds(1)) return;
  if (m_Shown && now - m_LastDrawn < std::chrono::milliseconds(100)) return;
  m_LastDrawn = now;
  m_Shown = true;
  done = std::clamp(done, 0.0, m_Total);
  const double percent = m_Total > 0 ? 100.0 * done / m_Total : 100.0;
  std::fprintf(m_Err, "\r%s %.1f %s of %.1f %s (%.0f%%)\033[K", m_What.c_str(), done, m_Unit.c_str(), m_Total,
               m_Unit.c_str(), percent);
  std::fflush(m_Err);
}

}  // namespace tools
