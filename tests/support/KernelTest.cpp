#include "tests/support/KernelTest.h"

#include <algorithm>
#include <mutex>

#include "kernel/format.h"

namespace testsupport {
namespace {
std::vector<LeakCheck>& Checks() {
  static std::vector<LeakCheck> checks;
  return checks;
}

// What the kernel stand-in held when the test began; a test must give back
// what it took, not what earlier tests (or process-wide set-up) hold.
struct KernelBaseline {
  size_t threads = 0;
  size_t handles = 0;
  size_t callbackObjects = 0;
  size_t processes = 0;
};
KernelBaseline g_baseline;

std::string Plural(size_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

// Timers left set, DPCs and work items still queued, a timer-resolution
// request not withdrawn, system threads still running, handles left open,
// user process objects left and callback objects left in the namespace. Clock events and the resolution
// request are cleared after they are reported, so that the next test starts
// clean.
std::string KernelLeaks() {
  std::string out;
  // DPCs need no clock time to run: give queued ones their chance first.
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) KeFlushQueuedDpcs();
  if (size_t events = platform::clock::ScheduledCount()) {
    out += Plural(events, "clock event") + " still scheduled (a timer left set?)\n";
    platform::clock::DiscardScheduledForTest();
  }
  if (size_t work = platform::workitem::Pending()) out += Plural(work, "work item") + " still queued or running\n";
  if (platform::timer::ResolutionRequested()) {
    out += "a timer-resolution request is still outstanding (ExSetTimerResolution(..., TRUE) never withdrawn)\n";
    platform::timer::ClearResolutionForTest();
  }
  if (size_t threads = platform::thread::LiveCount(); threads > g_baseline.threads)
    out += Plural(threads - g_baseline.threads, "system thread") + " still running\n";
  if (size_t handles = platform::ob::HandleCount(); handles > g_baseline.handles)
    out += Plural(handles - g_baseline.handles, "handle") + " left open\n";
  if (size_t processes = platform::mm::ProcessCount(); processes > g_baseline.processes)
    out += Plural(processes - g_baseline.processes, "user process object") + " left (a reference never dropped?)\n";
  if (size_t objects = platform::callback::ObjectCount(); objects > g_baseline.callbackObjects) {
    out += Plural(objects - g_baseline.callbackObjects, "callback object") + " left:";
    for (const std::u16string& name : platform::callback::Names()) out += " \"" + platform::Narrow(name) + "\"";
    out += "\n";
  }
  return out;
}
}  // namespace

void RegisterLeakCheck(LeakCheck check) {
  auto& checks = Checks();
  if (std::find(checks.begin(), checks.end(), check) == checks.end()) checks.push_back(check);
}

void KernelTest::SetUp() {
  platform::clock::ResetForTest();
  platform::version::ResetForTest();
  // Each test starts from an empty registry and no "\SystemRoot\" mapping.
  platform::registry::Reset();
  platform::files::SetSystemRoot("");
  g_baseline =
      KernelBaseline{platform::thread::LiveCount(), platform::ob::HandleCount(), platform::callback::ObjectCount(),
                     platform::mm::ProcessCount()};
  platform::pool::ClearFailures();
  platform::debug::Clear();
  m_Baseline = platform::pool::Outstanding();
}

void KernelTest::ExpectOutstandingAtTeardown(ULONG tag, size_t blocks) { m_Expected.emplace_back(tag, blocks); }

size_t KernelTest::ThreadsAtSetUp() { return g_baseline.threads; }

void KernelTest::TearDown() {
  std::string kernelLeaks = KernelLeaks();
  EXPECT_TRUE(kernelLeaks.empty()) << "kernel objects left at teardown:\n" << kernelLeaks;
  platform::pool::ClearFailures();
  auto now = platform::pool::Outstanding();
  std::vector<platform::pool::TagUsage> leaked;
  for (const auto& u : now) {
    size_t before = 0;
    for (const auto& b : m_Baseline)
      if (b.tag == u.tag) before = b.allocations;
    for (const auto& [tag, n] : m_Expected)
      if (tag == u.tag) before += n;
    if (u.allocations > before) leaked.push_back({u.tag, u.allocations - before, u.bytes});
  }
  EXPECT_TRUE(leaked.empty()) << "pool leaked at teardown:\n" << platform::pool::Describe(leaked);
  for (LeakCheck check : Checks()) {
    std::string left = check();
    EXPECT_TRUE(left.empty()) << left;
  }
}

}  // namespace testsupport
