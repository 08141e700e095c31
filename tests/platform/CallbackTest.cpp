// Named callback objects.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kernel/nt.h"
#include "tests/platform/KernelHelpers.h"
#include "tests/support/KernelTest.h"

namespace {

class CallbackTest : public testsupport::KernelTest {
 protected:
  NTSTATUS Create(const char16_t* name, ULONG attributes, BOOLEAN create, BOOLEAN allowMultiple,
                  PCALLBACK_OBJECT* object) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &text, attributes, nullptr, nullptr);
    return ExCreateCallback(object, &oa, create, allowMultiple);
  }
};

struct Log {
  std::vector<std::string> calls;
};

void Record(const char* who, PVOID context, PVOID argument1) {
  static_cast<Log*>(context)->calls.push_back(std::string(who) + ":" + static_cast<const char*>(argument1));
}
void First(PVOID context, PVOID a1, PVOID) { Record("first", context, a1); }
void Second(PVOID context, PVOID a1, PVOID) { Record("second", context, a1); }
void Third(PVOID context, PVOID a1, PVOID) { Record("third", context, a1); }

TEST_F(CallbackTest, CreateOrOpenByNameHonoursCaseAndPermanence) {
  PCALLBACK_OBJECT created = nullptr, opened = nullptr, other = nullptr;
  ASSERT_EQ(Create(u"\\Callback\\AudioHalAddr1234", OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, TRUE, TRUE, &created),
            STATUS_SUCCESS);
  ASSERT_EQ(Create(u"\\callback\\audiohaladdr1234", OBJ_CASE_INSENSITIVE, FALSE, TRUE, &opened), STATUS_SUCCESS);
  EXPECT_EQ(opened, created);
  EXPECT_EQ(Create(u"\\callback\\audiohaladdr1234", 0, FALSE, TRUE, &other), STATUS_OBJECT_NAME_NOT_FOUND)
      << "a case-sensitive open must not match";
  EXPECT_EQ(Create(u"\\Callback\\Elsewhere", OBJ_CASE_INSENSITIVE, FALSE, TRUE, &other), STATUS_OBJECT_NAME_NOT_FOUND);

  ObDereferenceObject(opened);
  ObDereferenceObject(created);
  EXPECT_EQ(platform::callback::Names(), std::vector<std::u16string>{u"\\Callback\\AudioHalAddr1234"})
      << "a permanent object outlives its references";
  ASSERT_EQ(Create(u"\\Callback\\AudioHalAddr1234", OBJ_CASE_INSENSITIVE, FALSE, TRUE, &opened), STATUS_SUCCESS);
  ObMakeTemporaryObject(opened);
  ObDereferenceObject(opened);
  EXPECT_TRUE(platform::callback::Names().empty());

  // A temporary object goes with its last reference.
  ASSERT_EQ(Create(u"\\Callback\\Temporary", OBJ_CASE_INSENSITIVE, TRUE, TRUE, &created), STATUS_SUCCESS);
  ObDereferenceObject(created);
  EXPECT_EQ(Create(u"\\Callback\\Temporary", OBJ_CASE_INSENSITIVE, FALSE, TRUE, &other), STATUS_OBJECT_NAME_NOT_FOUND);

  platform::pool::FailAllocationsWithTag(platform::callback::kObjectTag);
  EXPECT_EQ(Create(u"\\Callback\\NoMemory", OBJ_CASE_INSENSITIVE, TRUE, TRUE, &created), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(CallbackTest, NotifyCallsRegistrationsInOrderOnTheCallersThread) {
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(Create(u"\\Callback\\StreamEngineAddr1", OBJ_CASE_INSENSITIVE, TRUE, TRUE, &object), STATUS_SUCCESS);
  Log log;
  PVOID first = ExRegisterCallback(object, First, &log);
  PVOID second = ExRegisterCallback(object, Second, &log);
  PVOID third = ExRegisterCallback(object, Third, &log);
  ASSERT_TRUE(first && second && third);
  ObDereferenceObject(object);  // the registrations keep it alive

  ExNotifyCallback(object, const_cast<char*>("a"), nullptr);
  ExUnregisterCallback(second);
  ExNotifyCallback(object, const_cast<char*>("b"), nullptr);
  EXPECT_EQ(log.calls, (std::vector<std::string>{"first:a", "second:a", "third:a", "first:b", "third:b"}));

  ExUnregisterCallback(first);
  ExUnregisterCallback(third);
  EXPECT_EQ(platform::callback::ObjectCount(), 0u) << "the last registration held the last reference";

  // A single-registration object refuses a second one.
  ASSERT_EQ(Create(u"\\Callback\\Single", OBJ_CASE_INSENSITIVE, TRUE, FALSE, &object), STATUS_SUCCESS);
  PVOID only = ExRegisterCallback(object, First, &log);
  EXPECT_NE(only, nullptr);
  EXPECT_EQ(ExRegisterCallback(object, Second, &log), nullptr);
  ExUnregisterCallback(only);
  ObDereferenceObject(object);
}

// Unregistering waits for a notification that is calling the function on
// another thread; a function may unregister itself.
TEST_F(CallbackTest, UnregisterWaitsForARunningCallback) {
  PCALLBACK_OBJECT object = nullptr;
  ASSERT_EQ(Create(u"\\Callback\\Busy", OBJ_CASE_INSENSITIVE, TRUE, TRUE, &object), STATUS_SUCCESS);
  struct Busy {
    std::atomic<bool> entered{false}, release{false}, finished{false};
  } busy;
  PVOID registration = ExRegisterCallback(
      object,
      [](PVOID context, PVOID, PVOID) {
        auto* b = static_cast<Busy*>(context);
        b->entered = true;
        while (!b->release) std::this_thread::yield();
        b->finished = true;
      },
      &busy);
  std::thread notifier([&] { ExNotifyCallback(object, nullptr, nullptr); });
  while (!busy.entered) std::this_thread::yield();
  std::atomic<bool> unregistered{false};
  std::thread unregisterer([&] {
    ExUnregisterCallback(registration);
    unregistered = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(unregistered) << "unregistered while the callback still ran";
  busy.release = true;
  unregisterer.join();
  notifier.join();
  EXPECT_TRUE(busy.finished);

  struct Self {
    PVOID registration;
    int calls = 0;
  } self;
  self.registration = ExRegisterCallback(
      object,
      [](PVOID context, PVOID, PVOID) {
        auto* s = static_cast<Self*>(context);
        ++s->calls;
        ExUnregisterCallback(s->registration);
      },
      &self);
  ExNotifyCallback(object, nullptr, nullptr);
  ExNotifyCallback(object, nullptr, nullptr);
  EXPECT_EQ(self.calls, 1);
  ObDereferenceObject(object);
}

}  // namespace
