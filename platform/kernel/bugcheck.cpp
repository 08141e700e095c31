#include "kernel/bugcheck.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform {
namespace {
std::mutex g_handlerLock;
BugCheckHandler g_handler;
}  // namespace

BugCheckHandler SetBugCheckHandler(BugCheckHandler handler) {
  std::lock_guard<std::mutex> guard(g_handlerLock);
  BugCheckHandler previous = std::move(g_handler);
  g_handler = std::move(handler);
  return previous;
}

void BugCheck(const char* rule, const char* file, int line) {
  std::string message = std::string(rule) + " at " + file + ":" + std::to_string(line);
  BugCheckHandler handler;
  {
    std::lock_guard<std::mutex> guard(g_handlerLock);
    handler = g_handler;
  }
  if (handler) {
    handler(message);
    return;
  }
  std::fprintf(stderr, "*** KERNEL RULE BROKEN: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace platform

void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
  char text[160];
  std::snprintf(text, sizeof text, "KeBugCheckEx(0x%X, 0x%zX, 0x%zX, 0x%zX, 0x%zX)", code, static_cast<size_t>(p1),
                static_cast<size_t>(p2), static_cast<size_t>(p3), static_cast<size_t>(p4));
  ::platform::BugCheck(text, __FILE__, __LINE__);
}
