#include "kernel/debug.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "kernel/format.h"

namespace {
struct Sink {
  std::mutex lock;
  std::vector<std::string> lines;
  bool echo = false;
};
Sink& TheSink() {
  static Sink* s = new Sink;
  return *s;
}

ULONG Emit(const char* format, va_list args) {
  std::string line = platform::FormatNarrow(format, args);
  Sink& s = TheSink();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.echo) std::fprintf(stderr, "%s", line.c_str());
  // Bounded so that a chatty long run cannot grow without limit.
  if (s.lines.size() >= 100000) s.lines.erase(s.lines.begin(), s.lines.begin() + 50000);
  s.lines.push_back(std::move(line));
  return STATUS_SUCCESS;
}
}  // namespace

ULONG DbgPrint(const char* format, ...) {
  va_list args;
  va_start(args, format);
  ULONG r = Emit(format, args);
  va_end(args);
  return r;
}

ULONG DbgPrintEx(ULONG, ULONG, const char* format, ...) {
  va_list args;
  va_start(args, format);
  ULONG r = Emit(format, args);
  va_end(args);
  return r;
}

void DbgBreakPoint() {}

namespace platform::debug {
std::vector<std::string> Lines() {
  Sink& s = TheSink();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.lines;
}
void Clear() {
  Sink& s = TheSink();
  std::lock_guard<std::mutex> guard(s.lock);
  s.lines.clear();
}
bool Contains(const std::string& fragment) {
  for (const std::string& l : Lines())
    if (l.find(fragment) != std::string::npos) return true;
  return false;
}
void SetEcho(bool echo) {
  Sink& s = TheSink();
  std::lock_guard<std::mutex> guard(s.lock);
  s.echo = echo;
}
}  // namespace platform::debug
