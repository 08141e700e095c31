// Small helpers for the kernel stand-in's own tests: recording broken kernel
// rules instead of aborting, and running a routine on a system thread.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "kernel/nt.h"

namespace testsupport {

// Records broken kernel rules for its lifetime.
class RuleRecorder {
 public:
  RuleRecorder() {
    m_Previous = platform::SetBugCheckHandler([this](const std::string& message) {
      std::lock_guard<std::mutex> guard(m_Lock);
      m_Rules.push_back(message);
    });
  }
  ~RuleRecorder() { platform::SetBugCheckHandler(m_Previous); }
  RuleRecorder(const RuleRecorder&) = delete;
  RuleRecorder& operator=(const RuleRecorder&) = delete;

  // True when a rule containing `fragment` was broken since the last Take.
  bool Take(const std::string& fragment) {
    std::lock_guard<std::mutex> guard(m_Lock);
    for (auto it = m_Rules.begin(); it != m_Rules.end(); ++it) {
      if (it->find(fragment) != std::string::npos) {
        m_Rules.clear();
        return true;
      }
    }
    m_Rules.clear();
    return false;
  }
  std::vector<std::string> Rules() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Rules;
  }

 private:
  std::mutex m_Lock;
  std::vector<std::string> m_Rules;
  platform::BugCheckHandler m_Previous;
};

// Starts a system thread and returns its referenced thread object (the
// handle is closed, as drivers do).
inline PKTHREAD StartSystemThread(PKSTART_ROUTINE routine, PVOID context) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, routine, context),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  return static_cast<PKTHREAD>(thread);
}

// Waits for the thread to end and drops the reference.
inline void JoinSystemThread(PKTHREAD thread) {
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(thread);
}

inline LARGE_INTEGER RelativeMs(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

}  // namespace testsupport
