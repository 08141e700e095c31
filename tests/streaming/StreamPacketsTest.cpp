// The base engine's data road: the packet pool, the URB and IRP set-up, the
// pipeline that Start fills and Stop drains, the stream thread's refill and
// error recovery, and teardown with URBs still in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "portcls/framework.h"
#include "tests/streaming/support/StreamBench.h"
#include "tests/support/KernelTest.h"

namespace {

using streamtest::BenchEngine;
using streamtest::FakeOwner;
using streamtest::StreamBench;

class StreamPacketsTest : public testsupport::KernelTest {
 protected:
  // Registers, prepares and starts one wave client; returns its record.
  static StreamClientRecord* StartWave(StreamBench& bench, ULONG msPerUrb, ULONG urbCount) {
    StreamClientRecord* record = nullptr;
    EXPECT_EQ(bench.Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48, msPerUrb, urbCount, &record), STATUS_SUCCESS);
    ULONG ms = 0, frame = 0;
    EXPECT_EQ(bench.Cyclic()->PrepareClient(record->Handle, &ms, &frame), STATUS_SUCCESS);
    EXPECT_EQ(bench.Cyclic()->StartClient(record->Handle, frame + 2, &ms, nullptr), STATUS_SUCCESS);
    return record;
  }

  // Stops and forgets the client while a helper answers the URBs still in
  // flight, as the bus would.
  static void EndWave(StreamBench& bench, StreamClientRecord* record) {
    std::atomic<bool> done{false};
    std::thread bus([&] {
      while (!done) bench.Owner().CompleteOldest();
    });
    EXPECT_EQ(bench.Cyclic()->StopClient(record->Handle, nullptr), STATUS_SUCCESS);
    done = true;
    bus.join();
    PVOID handle = record->Handle;
    EXPECT_EQ(bench.Cyclic()->UnprepareClient(handle), STATUS_SUCCESS);
    EXPECT_EQ(bench.Cyclic()->UnregisterClient(handle), STATUS_SUCCESS);
  }
};

TEST_F(StreamPacketsTest, ClaimHandsOutOnlyTheFirstUrbCountPacketsAndReleaseReturnsThem) {
  StreamBench bench;
  StreamClientRecord* record = nullptr;
  ASSERT_EQ(bench.Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48, 10, 3, &record), STATUS_SUCCESS);
  ULONG ms = 0, frame = 0;
  ASSERT_EQ(bench.Cyclic()->PrepareClient(record->Handle, &ms, &frame), STATUS_SUCCESS);
  BenchEngine* engine = bench.Engine();
  EXPECT_EQ(engine->GetStreamState(), STREAM_STATE_OPEN);

  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  StreamPacket* claimed[3] = {};
  for (ULONG i = 0; i < 3; ++i) {
    claimed[i] = engine->ClaimPacket();
    ASSERT_NE(claimed[i], nullptr);
    EXPECT_EQ(claimed[i]->Index, i);
    EXPECT_EQ(claimed[i]->Owner, engine);
    EXPECT_EQ(claimed[i]->Irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
  }
  EXPECT_EQ(engine->ClaimPacket(), nullptr);
  engine->ReleasePacket(claimed[1]);
  StreamPacket* again = engine->ClaimPacket();
  EXPECT_EQ(again, claimed[1]);
  EXPECT_EQ(engine->ClaimPacket(), nullptr);
  for (StreamPacket* packet : claimed) engine->ReleasePacket(packet);
  KeLowerIrql(irql);

  PVOID handle = record->Handle;
  ASSERT_EQ(bench.Cyclic()->UnprepareClient(handle), STATUS_SUCCESS);
  EXPECT_EQ(engine->GetStreamState(), STREAM_STATE_CLOSED);
  EXPECT_EQ(bench.Cyclic()->UnregisterClient(handle), STATUS_SUCCESS);
  // Ten packets, ten IRPs, all given back on close.
  EXPECT_EQ(bench.Owner().irpsAllocated.load(), 10u);
}

TEST_F(StreamPacketsTest, PipelineKeepsUrbCountInFlightAndNeverMoreThanTheTenPackets) {
  StreamBench bench;
  // More URBs than the pool holds: the pipeline is the pool.
  StreamClientRecord* record = StartWave(bench, 4, 25);
  FakeOwner& usb = bench.Owner();
  EXPECT_EQ(record->UrbCount, USB_STREAM_PACKETS);
  EXPECT_EQ(usb.Pending(), 10u);

  for (int round = 0; round < 30; ++round) {
    ASSERT_TRUE(usb.CompleteOldest());
    ASSERT_TRUE(usb.CompleteOldest());
    StreamBench::Settle();  // the thread refills
    EXPECT_EQ(usb.Pending(), 10u);
  }
  EXPECT_EQ(usb.maxPending.load(), 10u);

  // Every URB: 4 ms of 1-ms packets on the data pipe, explicit start frames
  // one URB apart from the frame the client asked for.
  std::vector<streamtest::SentUrb> sent = usb.Sent();
  ASSERT_EQ(sent.size(), 70u);
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].function, URB_FUNCTION_ISOCH_TRANSFER);
    EXPECT_EQ(sent[i].length, 152u + 4 * 12);
    EXPECT_EQ(sent[i].packets, 4u);
    EXPECT_EQ(sent[i].flags, 0u);
    EXPECT_EQ(sent[i].startFrame, usb.frame + 2 + 4 * i);
    EXPECT_EQ(sent[i].bufferLength, 4u * 192);
    EXPECT_EQ(sent[i].pipe, FakeOwner::PipeHandle(1));
  }
  EndWave(bench, record);
  EXPECT_EQ(usb.Pending(), 0u);
  EXPECT_EQ(bench.Engine()->GetOutstandingUrbs(), 0);
  EXPECT_EQ(usb.irpsAllocated.load(), 10u);
}

TEST_F(StreamPacketsTest, StopWaitsForTheLastUrbAndCloseSelectsTheZeroBandwidthSetting) {
  StreamBench bench;
  StreamClientRecord* record = StartWave(bench, 10, 3);
  FakeOwner& usb = bench.Owner();
  EXPECT_EQ(usb.busy.load(), 1);

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    EXPECT_EQ(bench.Cyclic()->StopClient(record->Handle, nullptr), STATUS_SUCCESS);
    stopped = true;
  });
  // Stop must not return while any of the three is still with the bus.
  for (int i = 0; i < 3; ++i) {
    while (bench.Engine()->GetStreamState() != STREAM_STATE_OPEN) std::this_thread::yield();
    EXPECT_FALSE(stopped.load());
    ASSERT_TRUE(usb.CompleteOldest());
  }
  stopper.join();
  EXPECT_TRUE(stopped.load());
  EXPECT_EQ(usb.Pending(), 0u);  // nothing was resubmitted after the stop
  EXPECT_EQ(bench.Engine()->GetStreamState(), STREAM_STATE_OPEN);

  PVOID handle = record->Handle;
  EXPECT_EQ(bench.Cyclic()->UnprepareClient(handle), STATUS_SUCCESS);
  EXPECT_EQ(bench.Engine()->GetStreamState(), STREAM_STATE_CLOSED);
  EXPECT_EQ(usb.selects, (std::vector<UCHAR>{1, 0}));
  EXPECT_EQ(usb.busy.load(), 0);
  EXPECT_EQ(bench.Cyclic()->UnregisterClient(handle), STATUS_SUCCESS);
}

TEST_F(StreamPacketsTest, FailedSendFailsTheStartAfterTheUrbsAlreadySentCameBack) {
  StreamBench bench;
  FakeOwner& usb = bench.Owner();
  usb.failSendAt = 3;
  usb.failSendStatus = STATUS_DEVICE_DATA_ERROR;
  StreamClientRecord* record = nullptr;
  ASSERT_EQ(bench.Register(CYCLIC_CLIENT_WAVE, StreamBench::kWave48, 10, 5, &record), STATUS_SUCCESS);
  ULONG ms = 0, frame = 0;
  ASSERT_EQ(bench.Cyclic()->PrepareClient(record->Handle, &ms, &frame), STATUS_SUCCESS);

  std::atomic<bool> done{false};
  std::thread bus([&] {
    while (!done) usb.CompleteOldest();
  });
  EXPECT_EQ(bench.Engine()->Start(frame + 2, TRUE), STATUS_DEVICE_DATA_ERROR);
  done = true;
  bus.join();
  EXPECT_EQ(bench.Engine()->GetStreamState(), STREAM_STATE_OPEN);
  EXPECT_EQ(bench.Engine()->GetOutstandingUrbs(), 0);
  EXPECT_EQ(usb.Sent().size(), 3u);

  PVOID handle = record->Handle;
  EXPECT_EQ(bench.Cyclic()->UnprepareClient(handle), STATUS_SUCCESS);
  EXPECT_EQ(bench.Cyclic()->UnregisterClient(handle), STATUS_SUCCESS);
}

TEST_F(StreamPacketsTest, SeveralFailedTransfersMakeOneRecoveryThatRestartsAndTellsTheClients) {
  StreamBench bench;
  StreamClientRecord* record = StartWave(bench, 10, 4);
  FakeOwner& usb = bench.Owner();
  bench.ClearNotes();
  usb.frame = 7000;

  for (int i = 0; i < 3; ++i) ASSERT_TRUE(usb.CompleteOldest(STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED));
  StreamBench::Settle();
  // The thread waits for the last URB before it touches the interface.
  EXPECT_EQ(usb.selects, (std::vector<UCHAR>{1}));
  ASSERT_TRUE(usb.CompleteOldest(STATUS_SUCCESS, USBD_STATUS_ISO_NOT_ACCESSED_LATE));
  StreamBench::Settle();
  EXPECT_EQ(usb.selects, (std::vector<UCHAR>{1}));  // 100 ms before the reset
  platform::clock::AdvanceMs(100);
  StreamBench::Settle();

  EXPECT_EQ(usb.selects, (std::vector<UCHAR>{1, 0, 1}));
  EXPECT_EQ(usb.portCycles.load(), 0u);
  std::vector<CyclicControlNotify> notes = bench.Notes();
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].Command, CYCLIC_COMMAND_FORMAT);
  EXPECT_EQ(notes[0].Client, record);
  EXPECT_EQ(notes[0].Value.Format.MsPerUrb, 10u | CYCLIC_FORMAT_CHANGED);
  EXPECT_EQ(notes[0].Value.Format.UrbCount, 4u);
  EXPECT_EQ(usb.Pending(), 4u);
  EXPECT_EQ(usb.Sent().back().startFrame, 7000u + 2 + 30);
  EXPECT_EQ(usb.Sent()[4].startFrame, 7002u);
  EXPECT_EQ(usb.busy.load(), 1);  // one mark while streaming, however often reselected

  std::vector<std::string> lines = platform::debug::Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Error_ErrorOccur, m_StreamState = 2\n"), 1);
  EXPECT_TRUE(platform::debug::Contains("Error_ErrorOccur ntStatus = 0\n"));
  EndWave(bench, record);
}

TEST_F(StreamPacketsTest, FailedResetOrRestartAsksForAPortCycle) {
  for (const int failing : {0, 1}) {
    SCOPED_TRACE(failing);
    StreamBench bench;
    StreamClientRecord* record = StartWave(bench, 10, 2);
    FakeOwner& usb = bench.Owner();
    bench.ClearNotes();
    usb.failSelectOf = failing;
    usb.CompleteAll(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
    StreamBench::Settle();
    platform::clock::AdvanceMs(100);
    StreamBench::Settle();
    EXPECT_EQ(usb.portCycles.load(), 1u);
    EXPECT_EQ(usb.Pending(), 0u);
    // A reset that worked is reported to the clients as a format change;
    // either way the failed recovery then ends the stream with its status.
    const std::vector<CyclicControlNotify> notes = bench.Notes();
    ASSERT_EQ(notes.size(), failing == 0 ? 1u : 2u);
    if (failing) {
      EXPECT_EQ(notes.front().Command, CYCLIC_COMMAND_FORMAT);
    }
    EXPECT_EQ(notes.back().Command, CYCLIC_COMMAND_ERROR);
    EXPECT_EQ(notes.back().Value.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bench.Engine()->GetStreamError(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(platform::debug::Contains("Error_ErrorOccur ntStatus = c0000001\n"));
    usb.failSelectOf = -1;
    EndWave(bench, record);
  }
}

TEST_F(StreamPacketsTest, RecoveriesWithoutAGoodTransferAreBoundedAndEndTheStreamWithAnError) {
  StreamBench bench;
  StreamClientRecord* record = StartWave(bench, 10, 2);
  FakeOwner& usb = bench.Owner();
  // Fails whatever is in flight and lets the recovery that follows run.
  auto failRound = [&] {
    usb.CompleteAll(STATUS_UNSUCCESSFUL, USBD_STATUS_ISOCH_REQUEST_FAILED);
    StreamBench::Settle();
    platform::clock::AdvanceMs(100);
    StreamBench::Settle();
  };
  // A good transfer between failures starts the count again: recovery
  // goes on for as long as the endpoint works now and then.
  for (int round = 0; round < 2 * USB_STREAM_MAX_RECOVERIES; ++round) {
    failRound();
    ASSERT_EQ(bench.Engine()->GetStreamError(), STATUS_SUCCESS) << "round " << round;
    if (round % 2) {
      usb.CompleteOldest();
      StreamBench::Settle();
    }
  }
  usb.CompleteAll();
  StreamBench::Settle();
  bench.ClearNotes();
  // An endpoint that fails everything gets its recoveries, then the stream
  // stops with an error that every client hears, and nothing more is sent.
  const ULONG cycles = usb.portCycles.load();
  for (int round = 0; round <= USB_STREAM_MAX_RECOVERIES; ++round) failRound();
  EXPECT_EQ(usb.Pending(), 0u);
  EXPECT_EQ(bench.Engine()->GetStreamError(), STATUS_IO_DEVICE_ERROR);
  EXPECT_EQ(usb.portCycles.load(), cycles);
  const std::vector<CyclicControlNotify> notes = bench.Notes();
  ASSERT_FALSE(notes.empty());
  EXPECT_EQ(notes.back().Command, CYCLIC_COMMAND_ERROR);
  EXPECT_EQ(notes.back().Value.Status, STATUS_IO_DEVICE_ERROR);
  const size_t sent = usb.Sent().size();
  EXPECT_EQ(bench.Engine()->SendPipeline(), STATUS_IO_DEVICE_ERROR);
  platform::clock::AdvanceMs(500);
  StreamBench::Settle();
  EXPECT_EQ(usb.Sent().size(), sent);
  EndWave(bench, record);

  // The next start streams again.
  record = StartWave(bench, 10, 2);
  EXPECT_EQ(bench.Engine()->GetStreamError(), STATUS_SUCCESS);
  EXPECT_EQ(usb.Pending(), 2u);
  EndWave(bench, record);
}

TEST_F(StreamPacketsTest, RemovedDeviceEndsTheThreadAndTheEngineSendsNothingMore) {
  StreamBench bench;
  StreamClientRecord* record = StartWave(bench, 10, 3);
  FakeOwner& usb = bench.Owner();
  usb.removed = true;
  usb.CompleteAll(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  StreamBench::Settle();
  EXPECT_TRUE(platform::debug::Contains("Error_ErrorOccur ntStatus = c000009d\n"));
  EXPECT_EQ(platform::thread::LiveCount(), ThreadsAtSetUp());  // the stream thread ended
  EXPECT_EQ(usb.selects, (std::vector<UCHAR>{1}));      // no reset of a device that is gone
  EXPECT_EQ(usb.portCycles.load(), 0u);

  // The clients hear that the stream ended, and why.
  EXPECT_EQ(bench.Engine()->GetStreamError(), STATUS_DEVICE_NOT_CONNECTED);
  ASSERT_FALSE(bench.Notes().empty());
  EXPECT_EQ(bench.Notes().back().Command, CYCLIC_COMMAND_ERROR);
  const size_t sent = usb.Sent().size();
  EXPECT_EQ(bench.Engine()->SendPipeline(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(usb.Sent().size(), sent);
  EndWave(bench, record);
  // The bench's destructor releases the engine: it must return although the
  // thread is long gone.
}

TEST_F(StreamPacketsTest, CompletionInsideThePassDownLeavesTheRefillToTheThread) {
  StreamBench bench;
  bench.Engine()->resubmitInline = true;
  FakeOwner& usb = bench.Owner();
  // A resubmission from inside the pass-down would take the send lock its
  // sender holds.
  usb.completeInline = 2;
  StreamClientRecord* record = StartWave(bench, 10, 3);
  StreamBench::Settle();
  EXPECT_EQ(usb.Pending(), 3u);
  EXPECT_EQ(usb.Sent().size(), 5u);
  // From now on completions resubmit for themselves.
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(usb.CompleteOldest());
  EXPECT_EQ(usb.Pending(), 3u);
  EXPECT_EQ(usb.Sent().size(), 11u);
  EndWave(bench, record);
}

TEST_F(StreamPacketsTest, TeardownWithUrbsInFlightLeavesNothingBehind) {
  StreamBench bench;
  StreamClientRecord* record = StartWave(bench, 2, 10);
  FakeOwner& usb = bench.Owner();
  for (int i = 0; i < 5; ++i) usb.CompleteOldest();
  EXPECT_GT(usb.Pending(), 0u);
  EndWave(bench, record);
  EXPECT_EQ(usb.Pending(), 0u);
  EXPECT_EQ(bench.Engine()->GetStreamState(), STREAM_STATE_CLOSED);
  // The fixture proves the pool is back; the IRPs are the stack's to count.
  EXPECT_EQ(usb.irpsAllocated.load(), 10u);
}

TEST_F(StreamPacketsTest, PacketsPerMillisecondFollowTheHighSpeedInterval) {
  struct Case {
    BOOLEAN highSpeed;
    UCHAR interval;
    ULONG packets;
  };
  for (const Case c : {Case{TRUE, 1, 8}, Case{TRUE, 2, 4}, Case{TRUE, 3, 2}, Case{TRUE, 4, 1}, Case{TRUE, 6, 1},
                       Case{TRUE, 0, 8}, Case{FALSE, 1, 1}}) {
    SCOPED_TRACE(testing::Message() << int(c.highSpeed) << " bInterval " << int(c.interval));
    StreamBench bench(2, c.interval, c.highSpeed);
    EXPECT_EQ(bench.Engine()->GetPacketsPerFrame(1), c.packets);
    EXPECT_EQ(bench.Engine()->GetPacketsPerFrame(0), 1u);  // no data endpoint
  }
  // A 10 ms URB at 8 packets per millisecond carries 80 packets.
  StreamBench bench(2, 1, TRUE);
  StreamClientRecord* record = StartWave(bench, 10, 1);
  ASSERT_EQ(bench.Owner().Sent().size(), 1u);
  EXPECT_EQ(bench.Owner().Sent()[0].packets, 80u);
  EXPECT_EQ(bench.Owner().Sent()[0].length, 152u + 960u);
  EndWave(bench, record);
}

TEST_F(StreamPacketsTest, ContentIdsGoToTheStackBelowTheDataPipe) {
  StreamBench bench;
  StreamClientRecord* record = StartWave(bench, 10, 2);
  PVOID object = nullptr;
  ASSERT_EQ(bench.Engine()->GetInnerUnknown()->QueryInterface(IID_IDrmContentForward, &object), STATUS_SUCCESS);
  auto* drm = static_cast<IDrmContentForward*>(object);
  EXPECT_EQ(drm->ForwardContentId(7), STATUS_SUCCESS);
  auto forwarded = platform::portcls::ForwardedContent();
  ASSERT_EQ(forwarded.size(), 1u);
  EXPECT_EQ(forwarded[0].contentId, 7u);
  EXPECT_EQ(forwarded[0].deviceObject, bench.Owner().Lower());
  EXPECT_EQ(static_cast<PVOID>(forwarded[0].fileObject), static_cast<PVOID>(FakeOwner::PipeHandle(1)));
  EXPECT_EQ(forwarded[0].context, static_cast<PVOID>(FakeOwner::PipeHandle(1)));
  drm->Release();

  EXPECT_EQ(bench.Engine()->AbortPipe(), STATUS_SUCCESS);
  EXPECT_EQ(bench.Owner().aborts, (std::vector<USBD_PIPE_HANDLE>{FakeOwner::PipeHandle(1)}));
  EndWave(bench, record);
}

}  // namespace
