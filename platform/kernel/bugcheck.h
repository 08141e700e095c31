// Kernel rule violations. A real kernel stops the machine; the stand-in
// reports the rule that was broken and, by default, aborts so that a test
// that breaks it fails loudly. Tests of the rules themselves install a
// recording handler.
#pragma once

#include <functional>
#include <string>

#include "kernel/ntdef.h"

namespace platform {

using BugCheckHandler = std::function<void(const std::string& message)>;

// Installs a handler and returns the previous one. An empty handler restores
// the default (print to stderr, then abort).
BugCheckHandler SetBugCheckHandler(BugCheckHandler handler);

[[gnu::cold]] void BugCheck(const char* rule, const char* file, int line);

}  // namespace platform

#define KERNEL_RULE(cond, rule)                               \
  do {                                                        \
    if (!(cond)) ::platform::BugCheck(rule, __FILE__, __LINE__); \
  } while (0)

#define ASSERT(e) KERNEL_RULE((e), "ASSERT(" #e ")")
#define NT_ASSERT(e) ASSERT(e)

void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4);
