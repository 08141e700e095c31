// A stream engine of the test model that serves the stream-client protocol
// without a bus: it keeps its clients' records as a USB engine does (the
// engine owns them, "USBS"), tells Prepare a frame number of its own, can
// be made to fail any step, and lets a test send the notifications a pipe
// would, at DISPATCH_LEVEL, about any of its clients.
#pragma once

#include <mutex>
#include <vector>

#include "driver/common/CStreamEngine.h"

namespace testsupport {

class TestCyclicEngine : public ICyclicControl, public CStreamEngine {
 public:
  TestCyclicEngine(PUNKNOWN outerUnknown, ULONG engineId) : CStreamEngine(outerUnknown, engineId) {}
  ~TestCyclicEngine() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- ICyclicControl
  NTSTATUS STDMETHODCALLTYPE RegisterClient(ULONG kind, const WAVEFORMATEXTENSIBLE* format, ULONG msPerUrb,
                                            ULONG urbCount, PCALLBACK_FUNCTION callback, PVOID context,
                                            StreamClientRecord** record) override;
  NTSTATUS STDMETHODCALLTYPE UnregisterClient(PVOID handle) override;
  NTSTATUS STDMETHODCALLTYPE StartClient(PVOID handle, ULONG startFrame, PULONG msPerUrb,
                                         IToneNode* processor) override;
  NTSTATUS STDMETHODCALLTYPE StopClient(PVOID handle, IToneNode* processor) override;
  NTSTATUS STDMETHODCALLTYPE PrepareClient(PVOID handle, PULONG msPerUrb, PULONG currentFrame) override;
  NTSTATUS STDMETHODCALLTYPE UnprepareClient(PVOID handle) override;

  // One notification about `client` (the latest registered when null), as
  // the pipes send them: render fills and captured data with a buffer,
  // positions with a byte count.
  void Notify(ULONG command, PVOID buffer, ULONG length, StreamClientRecord* client = nullptr);
  // The latest registered client still registered, or null.
  StreamClientRecord* Client();
  size_t Registered();
  // Clients prepared (or running) now.
  size_t Prepared();

  // ---- What the clients asked, and what the next step answers
  struct Registration {
    ULONG kind;
    WAVEFORMATEXTENSIBLE format;
    ULONG msPerUrb;
    ULONG urbCount;
  };
  std::vector<Registration> registrations;
  std::vector<ULONG> startFrames;
  int prepares = 0, starts = 0, stops = 0, unprepares = 0;
  ULONG frame = 7000;  // what PrepareClient reports
  NTSTATUS prepareStatus = STATUS_SUCCESS;
  NTSTATUS startStatus = STATUS_SUCCESS;

 private:
  struct Entry {
    StreamClientRecord* record;
    PCALLBACK_FUNCTION callback;
    PVOID context;
    bool prepared;
  };
  Entry* Find(PVOID handle);

  std::mutex m_Lock;
  std::vector<Entry> m_Clients;
};

}  // namespace testsupport
