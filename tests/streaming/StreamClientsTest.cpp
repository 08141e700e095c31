// The stream-client protocol: which client owns the format the engine is
// opened in, which one is active, what each client is told, and what the
// engine does when clients of different kinds come and go.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "tests/streaming/support/StreamBench.h"
#include "tests/support/KernelTest.h"
#include "topology/CToneNode.h"
#include "topology/CyclicClient.h"

namespace {

using streamtest::FakeOwner;
using streamtest::StreamBench;

// A tone prompt's processor, counting the references the engine holds.
class FakeTone final : public IToneNode {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID, PVOID* object) override {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS STDMETHODCALLTYPE Init() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE SetRenderEngine(IStreamEngine*) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Play() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Stop() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE ProcessCapture(const WAVEFORMATEXTENSIBLE*, float* const*, ULONG) override {
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE*, float* const*, ULONG) override {
    return STATUS_SUCCESS;
  }
  std::atomic<ULONG> refs{1};
};

class StreamClientsTest : public testsupport::KernelTest {
 protected:
  StreamClientRecord* Register(ULONG kind, const WAVEFORMATEXTENSIBLE& format, ULONG msPerUrb = 5, ULONG urbCount = 3) {
    StreamClientRecord* record = nullptr;
    EXPECT_EQ(bench->Register(kind, format, msPerUrb, urbCount, &record), STATUS_SUCCESS);
    return record;
  }
  NTSTATUS Prepare(StreamClientRecord* record, ULONG* frame = nullptr, ULONG* msPerUrb = nullptr) {
    ULONG ms = 0, f = 0;
    NTSTATUS status = bench->Cyclic()->PrepareClient(record->Handle, &ms, &f);
    if (frame) *frame = f;
    if (msPerUrb) *msPerUrb = ms;
    return status;
  }
  NTSTATUS Start(StreamClientRecord* record, IToneNode* processor = nullptr, ULONG* msPerUrb = nullptr) {
    ULONG ms = 0;
    NTSTATUS status = bench->Cyclic()->StartClient(record->Handle, bench->Owner().frame + 2, &ms, processor);
    if (msPerUrb) *msPerUrb = ms;
    return status;
  }
  // Runs an operation that may stop the pipeline while the bus answers
  // every URB still in flight.
  NTSTATUS WithBus(const std::function<NTSTATUS()>& operation) {
    std::atomic<bool> done{false};
    std::thread bus([&] {
      while (!done) bench->Owner().CompleteOldest();
    });
    NTSTATUS status = operation();
    done = true;
    bus.join();
    return status;
  }
  NTSTATUS Stop(StreamClientRecord* record, IToneNode* processor = nullptr) {
    return WithBus([&] { return bench->Cyclic()->StopClient(record->Handle, processor); });
  }
  void Forget(StreamClientRecord* record) {
    PVOID handle = record->Handle;
    EXPECT_EQ(bench->Cyclic()->UnprepareClient(handle), STATUS_SUCCESS);
    EXPECT_EQ(bench->Cyclic()->UnregisterClient(handle), STATUS_SUCCESS);
  }
  static std::vector<ULONG> FormatCommands(const std::vector<CyclicControlNotify>& notes,
                                           const StreamClientRecord* client) {
    std::vector<ULONG> values;
    for (const CyclicControlNotify& note : notes)
      if (note.Command == CYCLIC_COMMAND_FORMAT && note.Client == client) values.push_back(note.Value.Format.MsPerUrb);
    return values;
  }

  void SetUp() override {
    KernelTest::SetUp();
    bench = std::make_unique<StreamBench>();
  }
  void TearDown() override {
    bench.reset();
    KernelTest::TearDown();
  }

  std::unique_ptr<StreamBench> bench;
};

TEST_F(StreamClientsTest, HighestPreparedKindOwnsTheFormatWhicheverPreparedFirst) {
  for (const bool waveFirst : {true, false}) {
    SCOPED_TRACE(waveFirst);
    bench = std::make_unique<StreamBench>();
    FakeOwner& usb = bench->Owner();
    StreamClientRecord* wave = Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48, 5, 3);
    StreamClientRecord* tone = Register(CYCLIC_CLIENT_TONE, StreamBench::kAsio44, 10, 2);
    ULONG frame = 1, ms = 0;
    if (waveFirst) {
      ASSERT_EQ(Prepare(wave, &frame, &ms), STATUS_SUCCESS);
      EXPECT_EQ(frame, usb.frame.load());
      ASSERT_EQ(Prepare(tone, &frame, &ms), STATUS_SUCCESS);
      // Not the owner: the engine is not touched and there is no frame.
      EXPECT_EQ(frame, 0u);
      EXPECT_EQ(usb.selects, (std::vector<UCHAR>{1}));
    } else {
      ASSERT_EQ(Prepare(tone, &frame, &ms), STATUS_SUCCESS);
      EXPECT_EQ(ms, 10u);
      ASSERT_EQ(Prepare(wave, &frame, &ms), STATUS_SUCCESS);
      EXPECT_EQ(frame, usb.frame.load());
      EXPECT_EQ(usb.selects, (std::vector<UCHAR>{2, 0, 1}));  // reopened in the wave format
    }
    EXPECT_EQ(ms, 5u);  // the owner's
    EXPECT_EQ(bench->Engine()->GetFormatOwner(), wave);
    EXPECT_EQ(usb.sampleRates.back(), 48000u);
    Forget(tone);
    Forget(wave);
    EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_CLOSED);
    EXPECT_EQ(bench->Engine()->GetFormatOwner(), nullptr);
  }
}

TEST_F(StreamClientsTest, LaterClientOfTheSameKindGoesAheadAndOwnsTheFormat) {
  StreamClientRecord* first = Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48);
  StreamClientRecord* second = Register(CYCLIC_CLIENT_WAVE, StreamBench::kAsio44);
  ASSERT_EQ(Prepare(first), STATUS_SUCCESS);
  ASSERT_EQ(Prepare(second), STATUS_SUCCESS);
  EXPECT_EQ(bench->Engine()->GetFormatOwner(), second);
  EXPECT_EQ(bench->Owner().selects, (std::vector<UCHAR>{1, 0, 2}));
  // The first comes back when the second leaves.
  PVOID handle = second->Handle;
  EXPECT_EQ(bench->Cyclic()->UnprepareClient(handle), STATUS_SUCCESS);
  EXPECT_EQ(bench->Engine()->GetFormatOwner(), first);
  EXPECT_EQ(bench->Owner().selects, (std::vector<UCHAR>{1, 0, 2, 0, 1}));
  EXPECT_EQ(bench->Cyclic()->UnregisterClient(handle), STATUS_SUCCESS);
  Forget(first);
}

TEST_F(StreamClientsTest, WrongHandlesAndStatesAreRefusedAndChangeNothing) {
  ICyclicControl* cyclic = bench->Cyclic();
  StreamClientRecord* wave = Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48);
  StreamClientRecord* tone = Register(CYCLIC_CLIENT_TONE, StreamBench::kWave48);
  ULONG ms = 0, frame = 0;
  PVOID stranger = reinterpret_cast<PVOID>(0x1234);

  EXPECT_EQ(Start(wave), STATUS_INVALID_PARAMETER);  // engine closed
  ASSERT_EQ(Prepare(wave), STATUS_SUCCESS);
  EXPECT_EQ(Start(tone), STATUS_INVALID_PARAMETER);  // registered, not prepared
  EXPECT_FALSE(tone->Started);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_OPEN);
  EXPECT_EQ(bench->Engine()->GetActiveClient(), nullptr);

  EXPECT_EQ(cyclic->PrepareClient(stranger, &ms, &frame), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cyclic->StartClient(stranger, 0, &ms, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cyclic->StopClient(stranger, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cyclic->UnprepareClient(stranger), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(cyclic->UnregisterClient(stranger), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(cyclic->PrepareClient(wave->Handle, &ms, &frame), STATUS_INVALID_PARAMETER);  // already prepared
  EXPECT_EQ(cyclic->UnregisterClient(wave->Handle), STATUS_UNSUCCESSFUL);                 // prepared: unprepare first

  ASSERT_EQ(Start(wave), STATUS_SUCCESS);
  // Twice on the running list would outlive the record.
  EXPECT_EQ(Start(wave), STATUS_INVALID_PARAMETER);
  // Unprepared while running, it could be freed under the pipeline.
  EXPECT_EQ(cyclic->UnprepareClient(wave->Handle), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(Stop(wave), STATUS_SUCCESS);
  EXPECT_EQ(Stop(wave), STATUS_INVALID_PARAMETER);
  Forget(wave);
  EXPECT_EQ(cyclic->UnregisterClient(tone->Handle), STATUS_SUCCESS);
}

TEST_F(StreamClientsTest, RegistrationChecksTheFormatAndUndoesItselfWhenThePoolIsShort) {
  StreamClientRecord* record = reinterpret_cast<StreamClientRecord*>(1);
  const WAVEFORMATEXTENSIBLE foreign = streamtest::Pcm(1, 8000, 8);
  EXPECT_EQ(bench->Register(CYCLIC_CLIENT_WAVE, foreign, 5, 3, &record), STATUS_NO_MATCH);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(bench->Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48, 0, 3, &record), STATUS_INVALID_PARAMETER);

  // Record, callback registration, list node: each missing undoes the rest
  // (the fixture sees anything left behind).
  for (ULONG nth = 1; nth <= 3; ++nth) {
    SCOPED_TRACE(nth);
    platform::pool::FailNthAllocation(nth);
    NTSTATUS status = bench->Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48, 5, 3, &record);
    platform::pool::FailNthAllocation(0);
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(bench->Cyclic()->UnregisterClient(record->Handle), STATUS_SUCCESS);
    } else {
      EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(record, nullptr);
    }
  }
  // What a client asks beyond the pool, or for nothing, becomes what a
  // pipeline can carry.
  ASSERT_EQ(bench->Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48, 5, 0, &record), STATUS_SUCCESS);
  EXPECT_EQ(record->UrbCount, 1u);
  EXPECT_EQ(record->Direction, STREAM_DIRECTION_RENDER);
  EXPECT_EQ(record->Format.Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(bench->Cyclic()->UnregisterClient(record->Handle), STATUS_SUCCESS);
}

TEST_F(StreamClientsTest, TonePromptJoinsTheRunningWaveStreamWithoutTouchingThePipeline) {
  FakeOwner& usb = bench->Owner();
  StreamClientRecord* wave = Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48, 5, 3);
  StreamClientRecord* tone = Register(CYCLIC_CLIENT_TONE, StreamBench::kWave48, 10, 2);
  FakeTone processor;

  ASSERT_EQ(Prepare(wave), STATUS_SUCCESS);
  ULONG ms = 0;
  ASSERT_EQ(Start(wave, nullptr, &ms), STATUS_SUCCESS);
  EXPECT_EQ(ms, 5u);
  EXPECT_EQ(bench->Engine()->GetActiveClient(), wave);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_RUNNING);
  EXPECT_EQ(usb.Pending(), 3u);
  // Every client hears every notification; the wave stream finds its own.
  for (size_t client : {0u, 1u}) {
    std::vector<CyclicControlNotify> notes = bench->Notes(client);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].Client, wave);
    EXPECT_EQ(notes[0].Value.Format.MsPerUrb, 5u | CYCLIC_FORMAT_CHANGED);
    EXPECT_EQ(notes[0].Value.Format.UrbCount, 3u);
  }

  ULONG frame = 1;
  ASSERT_EQ(Prepare(tone, &frame), STATUS_SUCCESS);
  EXPECT_EQ(frame, 0u);
  ASSERT_EQ(Start(tone, &processor, &ms), STATUS_SUCCESS);
  EXPECT_EQ(ms, 5u);  // the active client's
  EXPECT_TRUE(tone->Started);
  EXPECT_EQ(bench->Engine()->GetActiveClient(), wave);
  EXPECT_EQ(bench->Engine()->RenderProcessors(), 1);
  EXPECT_EQ(processor.refs.load(), 2u);
  EXPECT_EQ(FormatCommands(bench->Notes(), wave), (std::vector<ULONG>{5u | CYCLIC_FORMAT_CHANGED, 5u}));
  EXPECT_EQ(usb.selects, (std::vector<UCHAR>{1}));

  ASSERT_EQ(Stop(tone, &processor), STATUS_SUCCESS);
  EXPECT_EQ(bench->Engine()->RenderProcessors(), 0);
  EXPECT_EQ(processor.refs.load(), 1u);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_RUNNING);
  EXPECT_EQ(Stop(tone, &processor), STATUS_INVALID_PARAMETER);  // no longer running

  // The last running client stops the pipeline; the engine stays open.
  ASSERT_EQ(Stop(wave), STATUS_SUCCESS);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_OPEN);
  EXPECT_EQ(bench->Engine()->GetActiveClient(), nullptr);
  EXPECT_EQ(usb.Pending(), 0u);
  Forget(wave);
  EXPECT_EQ(bench->Engine()->GetFormatOwner(), tone);
  Forget(tone);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_CLOSED);
}

TEST_F(StreamClientsTest, AsioTakesTheEngineFromTheWaveStreamAndHandsItBack) {
  FakeOwner& usb = bench->Owner();
  StreamClientRecord* wave = Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48, 5, 3);
  StreamClientRecord* asio = Register(CYCLIC_CLIENT_ASIO, StreamBench::kAsio44, 2, 4);
  ASSERT_EQ(Prepare(wave), STATUS_SUCCESS);
  ASSERT_EQ(Start(wave), STATUS_SUCCESS);
  bench->ClearNotes();

  ULONG frame = 0, ms = 0;
  ASSERT_EQ(WithBus([&] { return Prepare(asio, &frame, &ms); }), STATUS_SUCCESS);
  EXPECT_EQ(bench->Engine()->GetFormatOwner(), asio);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_OPEN);
  EXPECT_EQ(usb.sampleRates.back(), 44100u);
  EXPECT_EQ(ms, 2u);
  EXPECT_TRUE(wave->Started);  // still running, without data

  usb.frame = 9000;
  ASSERT_EQ(bench->Cyclic()->StartClient(asio->Handle, frame + 5, &ms, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(bench->Engine()->GetActiveClient(), asio);
  EXPECT_EQ(usb.Pending(), 4u);
  EXPECT_EQ(usb.Sent().back().startFrame, frame + 5 + 3 * 2);
  EXPECT_EQ(FormatCommands(bench->Notes(), asio), (std::vector<ULONG>{2u | CYCLIC_FORMAT_CHANGED}));

  // The ASIO client stops: the wave stream is active again, reopened in its
  // own format and restarted five frames after the reopen.
  const size_t sentBefore = usb.Sent().size();
  ASSERT_EQ(Stop(asio), STATUS_SUCCESS);
  EXPECT_EQ(bench->Engine()->GetActiveClient(), wave);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_RUNNING);
  EXPECT_EQ(usb.sampleRates.back(), 48000u);
  EXPECT_EQ(FormatCommands(bench->Notes(), wave), (std::vector<ULONG>{5u | CYCLIC_FORMAT_CHANGED}));
  ASSERT_GT(usb.Sent().size(), sentBefore);
  EXPECT_EQ(usb.Sent()[sentBefore].startFrame, 9005u);
  EXPECT_EQ(usb.Sent()[sentBefore].pipe, FakeOwner::PipeHandle(1));

  // Leaving while the wave stream runs changes nothing in the pipeline.
  PVOID handle = asio->Handle;
  EXPECT_EQ(bench->Cyclic()->UnprepareClient(handle), STATUS_SUCCESS);
  EXPECT_EQ(bench->Engine()->GetFormatOwner(), wave);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_RUNNING);
  EXPECT_EQ(bench->Cyclic()->UnregisterClient(handle), STATUS_SUCCESS);
  ASSERT_EQ(Stop(wave), STATUS_SUCCESS);
  Forget(wave);
}

TEST_F(StreamClientsTest, StopWithAProcessorOfTheWrongKindStillStopsTheClient) {
  StreamClientRecord* wave = Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48);
  FakeTone processor;
  ASSERT_EQ(Prepare(wave), STATUS_SUCCESS);
  ASSERT_EQ(Start(wave, &processor), STATUS_SUCCESS);
  EXPECT_EQ(bench->Engine()->RenderProcessors(), 0);  // kind 3 has no list
  EXPECT_EQ(processor.refs.load(), 1u);

  EXPECT_EQ(Stop(wave, &processor), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(wave->Started);
  EXPECT_EQ(bench->Engine()->GetActiveClient(), nullptr);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_OPEN);
  Forget(wave);
}

TEST_F(StreamClientsTest, FailedOpenForANewOwnerLeavesTheRunningStreamRunning) {
  FakeOwner& usb = bench->Owner();
  StreamClientRecord* wave = Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48, 5, 3);
  StreamClientRecord* asio = Register(CYCLIC_CLIENT_ASIO, StreamBench::kAsio44, 2, 4);
  ASSERT_EQ(Prepare(wave), STATUS_SUCCESS);
  ASSERT_EQ(Start(wave), STATUS_SUCCESS);
  bench->ClearNotes();

  usb.failSelectOf = 2;
  usb.selectFailure = STATUS_DEVICE_BUSY;
  EXPECT_EQ(WithBus([&] { return Prepare(asio); }), STATUS_DEVICE_BUSY);
  usb.failSelectOf = -1;
  StreamBench::Settle();  // the bus answered some of the new URBs: the thread refills
  EXPECT_EQ(bench->Engine()->GetFormatOwner(), wave);
  EXPECT_EQ(bench->Engine()->GetActiveClient(), wave);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_RUNNING);
  EXPECT_EQ(usb.Pending(), 3u);
  EXPECT_EQ(FormatCommands(bench->Notes(), wave), (std::vector<ULONG>{5u | CYCLIC_FORMAT_CHANGED}));
  // The newcomer is still registered and can go.
  EXPECT_EQ(bench->Cyclic()->UnregisterClient(asio->Handle), STATUS_SUCCESS);

  // A start that cannot fill the pipeline closes the engine and undoes the
  // client's start.
  ASSERT_EQ(Stop(wave), STATUS_SUCCESS);
  usb.failSendAt = static_cast<ULONG>(usb.Sent().size()) + 1;
  EXPECT_EQ(WithBus([&] { return Start(wave); }), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(wave->Started);
  EXPECT_EQ(bench->Engine()->GetActiveClient(), nullptr);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_CLOSED);
  Forget(wave);
}

// The tone prompt's own node on the engine, with the wave stream running
// beside it or not, while each list node its start takes cannot be had in
// turn (the processor's last): a prompt that fails to play leaves the engine
// as it found it, and once the node is freed the next client's start, which
// every registered callback hears, finds nobody calling into it.
TEST_F(StreamClientsTest, TonePromptThatFailsToStartLeavesNoClientToCallItBack) {
  for (const bool beside : {false, true}) {
    SCOPED_TRACE(beside ? "beside the wave stream" : "alone");
    bench = std::make_unique<StreamBench>();
    StreamClientRecord* wave = Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48);
    if (beside) {
      ASSERT_EQ(Prepare(wave), STATUS_SUCCESS);
      ASSERT_EQ(Start(wave), STATUS_SUCCESS);
    }
    const ULONG state = bench->Engine()->GetStreamState();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG failures = 0;
    for (size_t nth = 1; !NT_SUCCESS(status); ++nth) {
      SCOPED_TRACE(nth);
      PUNKNOWN unknown = nullptr;
      ASSERT_EQ(CreateToneNode(&unknown, nullptr, bench->Owner().Hal()), STATUS_SUCCESS);
      IToneNode* tone = nullptr;
      ASSERT_EQ(unknown->QueryInterface(IID_IToneNode, reinterpret_cast<PVOID*>(&tone)), STATUS_SUCCESS);
      unknown->Release();
      ASSERT_EQ(tone->Init(), STATUS_SUCCESS);
      ASSERT_EQ(tone->SetRenderEngine(bench->Engine()), STATUS_SUCCESS);
      platform::pool::FailNthAllocationWithTag(POINTER_LIST_TAG, nth);
      status = WithBus([&] { return tone->Play(); });
      platform::pool::ClearFailures();
      if (NT_SUCCESS(status)) {
        EXPECT_EQ(bench->Engine()->RenderProcessors(), 1);
        EXPECT_EQ(WithBus([&] { return tone->Stop(); }), STATUS_SUCCESS);
      } else {
        ++failures;
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(static_cast<CToneNode*>(tone)->State(), TONE_STATE_IDLE);
        EXPECT_EQ(bench->Engine()->GetActiveClient(), beside ? wave : nullptr);
        EXPECT_EQ(bench->Engine()->GetStreamState(), state);
        EXPECT_EQ(bench->Engine()->RenderProcessors(), 0);
      }
      EXPECT_EQ(tone->Release(), 0u);
      // A start that changes the active client tells every registered callback.
      if (beside) {
        ASSERT_EQ(Stop(wave), STATUS_SUCCESS);
        ASSERT_EQ(WithBus([&] { return Start(wave); }), STATUS_SUCCESS);
      } else {
        ASSERT_EQ(WithBus([&] { return Prepare(wave); }), STATUS_SUCCESS);
        ASSERT_EQ(WithBus([&] { return Start(wave); }), STATUS_SUCCESS);
        ASSERT_EQ(Stop(wave), STATUS_SUCCESS);
        EXPECT_EQ(bench->Cyclic()->UnprepareClient(wave->Handle), STATUS_SUCCESS);
      }
      ASSERT_FALSE(HasFatalFailure());
    }
    // Register, prepare, start and the processor: a node each.
    EXPECT_EQ(failures, 4u);
    if (beside) {
      ASSERT_EQ(Stop(wave), STATUS_SUCCESS);
      Forget(wave);
    } else {
      EXPECT_EQ(bench->Cyclic()->UnregisterClient(wave->Handle), STATUS_SUCCESS);
    }
  }
}

// An unprepare needs no memory: with the pool empty the record goes back
// to the registered list, in every case, and its owner can still name it.
// A reopen for the next owner that fails is reported, with the record
// registered all the same.
TEST_F(StreamClientsTest, UnprepareNeedsNoMemoryAndKeepsTheRecord) {
  struct Case {
    const char* name;
    bool second;      // an ASIO client prepared after the wave stream, and the one to leave
    int failSelectOf;  // SELECT_INTERFACE that fails on the way (-1: none)
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"last client", false, -1, STATUS_SUCCESS},
      {"owner hands back", true, -1, STATUS_SUCCESS},
      {"reopen fails", true, 1, STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bench = std::make_unique<StreamBench>();
    StreamClientRecord* wave = Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48);
    StreamClientRecord* asio = c.second ? Register(CYCLIC_CLIENT_ASIO, StreamBench::kAsio44, 2, 4) : nullptr;
    ASSERT_EQ(Prepare(wave), STATUS_SUCCESS);
    if (asio) {
      ASSERT_EQ(Prepare(asio), STATUS_SUCCESS);
    }
    PVOID handle = (asio ? asio : wave)->Handle;
    bench->Owner().failSelectOf = c.failSelectOf;
    platform::pool::FailAllocationsWithTag(POINTER_LIST_TAG);
    EXPECT_EQ(bench->Cyclic()->UnprepareClient(handle), c.expected);
    platform::pool::ClearFailures();
    bench->Owner().failSelectOf = -1;
    EXPECT_EQ(bench->Engine()->GetFormatOwner(), NT_SUCCESS(c.expected) && asio ? wave : nullptr);
    EXPECT_EQ(bench->Engine()->GetStreamState(), NT_SUCCESS(c.expected) && asio ? STREAM_STATE_OPEN : STREAM_STATE_CLOSED);
    EXPECT_EQ(bench->Cyclic()->UnregisterClient(handle), STATUS_SUCCESS);
    if (asio) Forget(wave);
  }
}

// The client steps' own checks, on the engine through a control that
// fails one step the way a faulty engine would: a start that reports a
// failure with the client left running, an unregistration refused once.
// Join takes the client back out; Leave keeps the handle of a client the
// engine still holds, and a second Leave finishes.
class ScriptedControl final : public ICyclicControl {
 public:
  explicit ScriptedControl(ICyclicControl* engine) : m_Engine(engine) {}
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID, PVOID* object) override {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS STDMETHODCALLTYPE RegisterClient(ULONG kind, const WAVEFORMATEXTENSIBLE* format, ULONG msPerUrb,
                                            ULONG urbCount, PCALLBACK_FUNCTION callback, PVOID context,
                                            StreamClientRecord** record) override {
    return m_Engine->RegisterClient(kind, format, msPerUrb, urbCount, callback, context, record);
  }
  NTSTATUS STDMETHODCALLTYPE UnregisterClient(PVOID handle) override {
    if (refuseUnregister) {
      refuseUnregister = false;
      return STATUS_UNSUCCESSFUL;
    }
    return m_Engine->UnregisterClient(handle);
  }
  NTSTATUS STDMETHODCALLTYPE StartClient(PVOID handle, ULONG startFrame, PULONG msPerUrb,
                                         IToneNode* processor) override {
    const NTSTATUS status = m_Engine->StartClient(handle, startFrame, msPerUrb, processor);
    return NT_SUCCESS(status) && failStartHalfWay ? STATUS_INSUFFICIENT_RESOURCES : status;
  }
  NTSTATUS STDMETHODCALLTYPE StopClient(PVOID handle, IToneNode* processor) override {
    return m_Engine->StopClient(handle, processor);
  }
  NTSTATUS STDMETHODCALLTYPE PrepareClient(PVOID handle, PULONG msPerUrb, PULONG currentFrame) override {
    return m_Engine->PrepareClient(handle, msPerUrb, currentFrame);
  }
  NTSTATUS STDMETHODCALLTYPE UnprepareClient(PVOID handle) override { return m_Engine->UnprepareClient(handle); }

  bool failStartHalfWay = false;
  bool refuseUnregister = false;

 private:
  ICyclicControl* m_Engine;
};

TEST_F(StreamClientsTest, JoinAndLeaveCheckEveryStepTheyUndo) {
  ScriptedControl control(bench->Cyclic());
  const CyclicClientRequest request{CYCLIC_CLIENT_WAVE, &StreamBench::kWave48, 5, 3, [](PVOID, PVOID, PVOID) {},
                                    nullptr, nullptr};
  StreamClientRecord* record = nullptr;
  PVOID handle = nullptr;
  ULONG ms = 0;

  control.failStartHalfWay = true;
  EXPECT_EQ(WithBus([&] { return JoinCyclicClient(&control, request, &record, &handle, &ms); }),
            STATUS_INSUFFICIENT_RESOURCES);
  control.failStartHalfWay = false;
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(bench->Engine()->GetActiveClient(), nullptr);
  EXPECT_EQ(bench->Engine()->GetFormatOwner(), nullptr);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_CLOSED);

  ASSERT_EQ(WithBus([&] { return JoinCyclicClient(&control, request, &record, &handle, &ms); }), STATUS_SUCCESS);
  control.refuseUnregister = true;
  EXPECT_EQ(WithBus([&] { return LeaveCyclicClient(&control, nullptr, &record, &handle); }), STATUS_UNSUCCESSFUL);
  ASSERT_NE(handle, nullptr);  // still the engine's
  EXPECT_EQ(record->Handle, handle);
  EXPECT_EQ(WithBus([&] { return LeaveCyclicClient(&control, nullptr, &record, &handle); }), STATUS_SUCCESS);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(bench->Engine()->GetStreamState(), STREAM_STATE_CLOSED);
}

}  // namespace
