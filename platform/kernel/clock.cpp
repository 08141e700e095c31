#include "kernel/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "kernel/bugcheck.h"
#include "kernel/irql.h"

namespace platform::clock {
namespace {

using Steady = std::chrono::steady_clock;
using Ticks = std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>;

// A thread blocked in WaitUntil. Whoever ends the wait (a signaller whose
// change satisfied `wake`, or the clock passing the deadline) decides the
// outcome under the dispatcher lock and gives back the thread's activity in
// the same step.
struct Waiter {
  LONGLONG deadline;  // < 0: no limit
  const std::function<bool()>* wake;
  enum { Waiting, Woken, TimedOut } state = Waiting;
  int held;  // adopted activity units given up for the wait
  std::condition_variable cv;
  std::list<Waiter*>::iterator position;
};

struct State {
  std::mutex lock;  // the dispatcher lock
  std::atomic<Mode> mode{Mode::Manual};
  std::atomic<LONGLONG> manualNow{0};
  std::atomic<LONGLONG> realOffset{0};  // clock time at realBase
  std::atomic<Steady::rep> realBase{0};

  // Scheduled events in deadline order, ties in scheduling order.
  std::map<std::pair<LONGLONG, EventId>, std::function<void()>> events;
  std::unordered_map<EventId, LONGLONG> deadlineOf;
  EventId nextId = 1;
  EventId running = 0;  // the event whose callback runs now
  bool clockThreadStarted = false;
  std::thread::id clockThreadId;

  std::list<Waiter*> waiters;  // in arrival order, so wakes are first come first served
  long activity = 0;

  std::condition_variable clockCv;   // the clock thread: events or time changed
  std::condition_variable quietCv;   // Advance: activity fell or an event finished
  std::condition_variable cancelCv;  // Cancel: the running callback finished
  std::mutex advanceLock;            // one Advance at a time
};

State& S() {
  static State* s = new State;  // never destroyed: kernel threads outlive static destructors
  return *s;
}

thread_local int t_depth = 0;  // LockDispatcher nesting on this thread
thread_local int t_held = 0;   // activity units adopted by this thread

// Takes the dispatcher lock for code that waits on a condition variable, which
// needs the plain mutex; the thread must not hold the lock already.
class Held {
 public:
  Held() : m_Lock((Check(), S().lock)) { t_depth = 1; }
  ~Held() { t_depth = 0; }
  std::unique_lock<std::mutex>& Lock() { return m_Lock; }
  // Runs `f` with the lock released.
  template <typename F>
  void Unlocked(F&& f) {
    t_depth = 0;
    m_Lock.unlock();
    f();
    m_Lock.lock();
    t_depth = 1;
  }

 private:
  static void Check() { KERNEL_RULE(t_depth == 0, "the dispatcher lock taken for a wait while held"); }
  std::unique_lock<std::mutex> m_Lock;
};

LONGLONG RealNow() {
  State& s = S();
  Steady::duration since = Steady::now().time_since_epoch() - Steady::duration(s.realBase.load());
  return s.realOffset.load() + std::chrono::duration_cast<Ticks>(since).count();
}

Steady::time_point SteadyAt(LONGLONG deadline) {
  State& s = S();
  LONGLONG delta = deadline - s.realOffset.load();
  return Steady::time_point(Steady::duration(s.realBase.load())) +
         std::chrono::duration_cast<Steady::duration>(Ticks(delta));
}

void EndWait(Waiter* w, decltype(Waiter::state) outcome) {
  State& s = S();
  w->state = outcome;
  s.waiters.erase(w->position);
  s.activity += w->held;
  w->cv.notify_one();
}

// Offers every waiting thread the chance to be satisfied, first come first
// served: a satisfied wait may consume what it waited for (a synchronization
// event, a mutex), and a later waiter then sees it taken.
void EvaluateWaiters() {
  State& s = S();
  for (auto it = s.waiters.begin(); it != s.waiters.end();) {
    Waiter* w = *it++;
    if (w->wake && *w->wake && (*w->wake)()) EndWait(w, Waiter::Woken);
  }
}

bool HasDueEvent() {
  State& s = S();
  return !s.events.empty() && s.events.begin()->first.first <= Now();
}

bool QuietLocked() {
  State& s = S();
  return s.activity == 0 && s.running == 0 && !HasDueEvent();
}

std::string DescribeBusy() {
  State& s = S();
  return "activity " + std::to_string(s.activity) + (s.running ? ", a clock event running" : "") +
         (HasDueEvent() ? ", clock events due" : "");
}

void RunEvent(Held& held) {
  State& s = S();
  auto it = s.events.begin();
  EventId id = it->first.second;
  std::function<void()> callback = std::move(it->second);
  s.events.erase(it);
  s.deadlineOf.erase(id);
  s.running = id;
  held.Unlocked([&] {
    // The timer interrupt: callbacks run at DISPATCH_LEVEL.
    SetCurrentIrql(DISPATCH_LEVEL);
    callback();
    KERNEL_RULE(KeGetCurrentIrql() == DISPATCH_LEVEL, "a clock callback returned at a different IRQL");
    SetCurrentIrql(PASSIVE_LEVEL);
    callback = nullptr;
  });
  s.running = 0;
  s.cancelCv.notify_all();
  s.quietCv.notify_all();
}

void ClockThreadMain() {
  State& s = S();
  Held held;
  auto& lk = held.Lock();
  for (;;) {
    if (!s.events.empty()) {
      LONGLONG deadline = s.events.begin()->first.first;
      if (deadline <= Now()) {
        RunEvent(held);
        continue;
      }
      if (s.mode.load() == Mode::RealTime) {
        s.clockCv.wait_until(lk, SteadyAt(deadline));
        continue;
      }
    }
    s.clockCv.wait(lk);
  }
}

void StartClockThreadLocked() {
  State& s = S();
  if (s.clockThreadStarted) return;
  s.clockThreadStarted = true;
  std::thread t(ClockThreadMain);
  s.clockThreadId = t.get_id();
  t.detach();
}

bool WaitQuiet(Held& held) {
  State& s = S();
  auto& lk = held.Lock();
  // A kernel thread that spins without ever blocking keeps the system from
  // becoming quiet; report it rather than hang the test run.
  auto limit = Steady::now() + std::chrono::seconds(60);
  while (!QuietLocked()) {
    if (s.quietCv.wait_until(lk, limit) == std::cv_status::timeout && !QuietLocked()) {
      std::string rule = "the system never became quiet during Advance (" + DescribeBusy() + ")";
      held.Unlocked([&] { BugCheck(rule.c_str(), __FILE__, __LINE__); });
      return false;
    }
  }
  return true;
}

}  // namespace

void SetMode(Mode mode) {
  State& s = S();
  Held held;
  if (s.mode.load() == mode) return;
  if (mode == Mode::RealTime) {
    s.realOffset = s.manualNow.load();
    s.realBase = Steady::now().time_since_epoch().count();
  } else {
    s.manualNow = RealNow();
  }
  s.mode = mode;
  s.clockCv.notify_all();
  for (Waiter* w : s.waiters) w->cv.notify_one();
}

Mode GetMode() { return S().mode.load(); }

LONGLONG Now() { return S().mode.load() == Mode::Manual ? S().manualNow.load() : RealNow(); }

LONGLONG DeadlineFromDueTime(LONGLONG dueTime) {
  if (dueTime < 0) {
    LONGLONG now = Now();
    return -dueTime > INT64_MAX - now ? INT64_MAX : now - dueTime;
  }
  if (dueTime == 0) return Now();
  return std::max<LONGLONG>(0, dueTime - kSystemTimeAtBoot);
}

void Advance(LONGLONG ticks) {
  State& s = S();
  KERNEL_RULE(s.mode.load() == Mode::Manual, "clock Advance in real-time mode");
  KERNEL_RULE(ticks >= 0, "clock Advance by a negative time");
  KERNEL_RULE(t_depth == 0, "clock Advance with the dispatcher lock held");
  KERNEL_RULE(t_held == 0, "clock Advance from a thread the clock waits for");
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "clock Advance above PASSIVE_LEVEL");
  if (ticks < 0 || t_depth != 0 || t_held != 0 || KeGetCurrentIrql() != PASSIVE_LEVEL) return;
  std::lock_guard<std::mutex> one(s.advanceLock);
  Held held;
  const LONGLONG target = s.manualNow.load() + ticks;
  for (;;) {
    if (!WaitQuiet(held)) return;
    LONGLONG now = s.manualNow.load();
    if (now >= target) break;
    // Step to the next thing that happens: an event or a wait's deadline.
    LONGLONG next = target;
    if (!s.events.empty()) next = std::min(next, s.events.begin()->first.first);
    for (Waiter* w : s.waiters)
      if (w->deadline >= 0) next = std::min(next, w->deadline);
    next = std::max(next, now);
    s.manualNow = next;
    for (auto it = s.waiters.begin(); it != s.waiters.end();) {
      Waiter* w = *it++;
      if (w->deadline >= 0 && w->deadline <= next) EndWait(w, Waiter::TimedOut);
    }
    EvaluateWaiters();
    s.clockCv.notify_all();
  }
}

EventId ScheduleAt(LONGLONG deadline, std::function<void()> callback) {
  State& s = S();
  LockDispatcher();
  StartClockThreadLocked();
  EventId id = s.nextId++;
  s.events.emplace(std::make_pair(deadline, id), std::move(callback));
  s.deadlineOf.emplace(id, deadline);
  s.clockCv.notify_all();
  UnlockDispatcher();
  return id;
}

bool Cancel(EventId id) {
  State& s = S();
  if (t_depth > 0) {
    auto it = s.deadlineOf.find(id);
    if (it == s.deadlineOf.end()) return false;
    s.events.erase(std::make_pair(it->second, id));
    s.deadlineOf.erase(it);
    s.quietCv.notify_all();
    return true;
  }
  Held held;
  auto it = s.deadlineOf.find(id);
  if (it != s.deadlineOf.end()) {
    s.events.erase(std::make_pair(it->second, id));
    s.deadlineOf.erase(it);
    s.quietCv.notify_all();
    return true;
  }
  if (std::this_thread::get_id() != s.clockThreadId) s.cancelCv.wait(held.Lock(), [&] { return s.running != id; });
  return false;
}

bool WaitUntil(LONGLONG deadline, const std::function<bool()>& wake) {
  State& s = S();
  KERNEL_RULE(t_depth == 0, "a wait with the dispatcher lock held");
  if (t_depth != 0) return false;
  Held held;
  if (wake && wake()) return true;
  if (deadline >= 0 && deadline <= Now()) return false;

  Waiter w{deadline, &wake, Waiter::Waiting, t_held, {}, {}};
  s.waiters.push_back(&w);
  w.position = std::prev(s.waiters.end());
  if (w.held) {
    s.activity -= w.held;
    s.quietCv.notify_all();
  }
  auto& lk = held.Lock();
  while (w.state == Waiter::Waiting) {
    if (deadline >= 0 && s.mode.load() == Mode::RealTime) {
      w.cv.wait_until(lk, SteadyAt(deadline));
      if (w.state == Waiter::Waiting && Now() >= deadline) EndWait(&w, Waiter::TimedOut);
    } else {
      w.cv.wait(lk);
    }
  }
  return w.state == Waiter::Woken;
}

void LockDispatcher() {
  if (t_depth++ == 0) S().lock.lock();
}

void UnlockDispatcher() {
  KERNEL_RULE(t_depth > 0, "UnlockDispatcher without the dispatcher lock");
  if (t_depth > 0 && --t_depth == 0) S().lock.unlock();
}

void Signal() {
  LockDispatcher();
  EvaluateWaiters();
  UnlockDispatcher();
}

void BeginActivity() {
  LockDispatcher();
  ++S().activity;
  UnlockDispatcher();
}

void EndActivity() {
  State& s = S();
  LockDispatcher();
  KERNEL_RULE(s.activity > 0, "clock EndActivity without BeginActivity");
  if (s.activity > 0) --s.activity;
  s.quietCv.notify_all();
  UnlockDispatcher();
}

void AdoptActivity() { ++t_held; }

bool CurrentThreadIsWaitedFor() { return t_held > 0; }

void EndAdoptedActivity() {
  KERNEL_RULE(t_held > 0, "EndAdoptedActivity on a thread that adopted none");
  if (t_held <= 0) return;
  LockDispatcher();
  --t_held;
  EndActivity();
  UnlockDispatcher();
}

void ResetForTest() {
  State& s = S();
  SetMode(Mode::Manual);
  Held held;
  KERNEL_RULE(s.events.empty(), "clock reset with events still scheduled");
  s.manualNow = 0;
}

size_t ScheduledCount() {
  Held held;
  return S().events.size();
}

size_t DiscardScheduledForTest() {
  State& s = S();
  Held held;
  size_t n = s.events.size();
  s.events.clear();
  s.deadlineOf.clear();
  s.quietCv.notify_all();
  return n;
}

}  // namespace platform::clock
