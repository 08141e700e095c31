// The capture pipe: the device's samples reach the active client in order
// and complete across the ring's end, every length the bus reports is held
// to the packet it belongs to, and a failed transfer recovers.
#include <gtest/gtest.h>

#include "streaming/CUac1Capture.h"
#include "tests/streaming/PipeRig.h"
#include "tests/support/KernelTest.h"

namespace {

using pipetest::Pcm;
using pipetest::PipeRig;
using pipetest::RigClient;
using pipetest::RunFramesUntil;

constexpr ULONG kCapture = sim::headset::kCaptureInterface;
constexpr UCHAR kEndpoint = sim::headset::kCaptureEndpoint;

// Consecutive 16-bit counters from `first` on, as many as `bytes` holds;
// the index of the first sample that breaks the run, or the count.
size_t RampRun(const sim::Bytes& bytes, uint16_t first) {
  for (size_t i = 0; 2 * i + 1 < bytes.size(); ++i) {
    const uint16_t v = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    if (v != static_cast<uint16_t>(first + i)) return i;
  }
  return bytes.size() / 2;
}

// A capture pipe whose completions the test makes: the packet lengths and
// statuses a bus could report, delivered to the active client.
class CaptureProbe : public CUac1Capture {
 public:
  using CUac1Capture::CUac1Capture;

  struct IsoResult {
    ULONG length;
    USBD_STATUS status;
  };

  // One completed IN transfer: packet i's part of the buffer holds bytes
  // `fill + i * 16 + k`, its descriptor reports `results[i]`.
  void Complete(StreamClientRecord* active, const std::vector<IsoResult>& results, UCHAR fill,
                NTSTATUS irpStatus = STATUS_SUCCESS) {
    m_ActiveClient = active;
    StreamPacket* packet = ClaimPacket();
    ASSERT_NE(packet, nullptr);
    const ULONG stride = PacketStride();
    ASSERT_EQ(results.size(), m_PacketsPerMs * m_MsPerUrb);
    for (size_t i = 0; i < results.size(); ++i) {
      for (ULONG k = 0; k < stride; ++k) packet->Buffer[i * stride + k] = static_cast<UCHAR>(fill + i * 16 + k);
      auto& iso = packet->Urb->UrbIsochronousTransfer.IsoPacket[i];
      iso.Offset = static_cast<ULONG>(i) * stride;
      iso.Length = results[i].length;
      iso.Status = results[i].status;
    }
    packet->Urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    packet->Irp->IoStatus.Status = irpStatus;
    AddOutstandingUrb();
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(OnUrbComplete(nullptr, packet->Irp, packet), STATUS_MORE_PROCESSING_REQUIRED);
    KeLowerIrql(irql);
    m_ActiveClient = nullptr;
  }
  // The bytes packet i of a Complete(fill) holds at its start.
  static sim::Bytes Part(UCHAR fill, size_t i, ULONG bytes) {
    sim::Bytes part(bytes);
    for (ULONG k = 0; k < bytes; ++k) part[k] = static_cast<UCHAR>(fill + i * 16 + k);
    return part;
  }
};

class CapturePipeTest : public testsupport::KernelTest {};

TEST_F(CapturePipeTest, DeviceSamplesReachTheClientProcessedAndInOrderAcrossTheRingEnd) {
  PipeRig rig;
  rig.Device().Source(kEndpoint).SetRamp();
  const WAVEFORMATEXTENSIBLE mono = Pcm(1, 48000, 16);
  // The signal path halves every sample before the client sees it.
  auto* halve = new (NonPagedPool, pipetest::kRigTag) pipetest::ScaleProcessor({0.5f});
  halve->NonDelegatingAddRef();
  auto* engine = rig.MakeEngine<CUac1Capture>(kCapture, STREAM_DIRECTION_CAPTURE, {mono}, halve);
  halve->NonDelegatingRelease();
  // 3 ms URBs do not divide the 40 ms ring: deliveries meet its end.
  RigClient client(engine, CYCLIC_CLIENT_WAVE, mono, 3, 2);
  ASSERT_EQ(client.Register(), STATUS_SUCCESS);
  ULONG frame = 0;
  ASSERT_EQ(client.Prepare(&frame), STATUS_SUCCESS);
  // 6 ms in flight is too little: raised to 4 URBs, 12 ms.
  EXPECT_EQ(client.Record()->UrbCount, 4u);
  EXPECT_EQ(engine->GetRingSize(), 3840u);
  EXPECT_EQ(engine->GetPacketFrames(), 49u);  // the endpoint's 98-byte packets
  EXPECT_EQ(rig.Device().SamplingRate(kEndpoint), 48000u);
  ASSERT_EQ(client.Start(frame + 2), STATUS_SUCCESS);
  ASSERT_TRUE(RunFramesUntil([&] { return client.Captured().size() >= 3 * 3840; }));
  ASSERT_EQ(client.Finish(), STATUS_SUCCESS);
  EXPECT_EQ(rig.Owner()->Busy(), 0);

  const sim::Bytes captured = client.Captured();
  size_t wrong = 0;
  for (size_t i = 0; 2 * i + 1 < captured.size(); ++i) {
    const auto got = static_cast<int16_t>(captured[2 * i] | captured[2 * i + 1] << 8);
    const auto want = static_cast<int16_t>(static_cast<int16_t>(i) / 2);
    if (got != want && wrong++ < 5) ADD_FAILURE() << "sample " << i << ": " << got << " != " << want;
  }
  EXPECT_EQ(wrong, 0u);
  // A delivery across the end comes in two pieces and one position for both.
  size_t pieces = 0, split = 0;
  ULONG pieceBytes = 0;
  for (const pipetest::Seen& seen : client.Notifications()) {
    if (seen.command == CYCLIC_COMMAND_CAPTURE_DATA) {
      ++pieces;
      pieceBytes += seen.length;
    } else if (seen.command == CYCLIC_COMMAND_POSITION) {
      EXPECT_EQ(seen.value, pieceBytes);
      split += pieces == 2;
      EXPECT_LE(pieces, 2u);
      pieces = 0;
      pieceBytes = 0;
    }
  }
  EXPECT_GE(split, 2u);
  EXPECT_EQ(client.PositionBytes(), captured.size());
}

TEST_F(CapturePipeTest, EveryReportedLengthIsHeldToItsPacket) {
  PipeRig rig;
  const WAVEFORMATEXTENSIBLE mono = Pcm(1, 48000, 16);
  auto* engine = rig.MakeEngine<CaptureProbe>(kCapture, STREAM_DIRECTION_CAPTURE, {mono});
  RigClient client(engine, CYCLIC_CLIENT_WAVE, mono, 1, 10);
  ASSERT_EQ(client.Register(), STATUS_SUCCESS);
  ASSERT_EQ(client.Prepare(), STATUS_SUCCESS);
  const ULONG stride = 98;  // 49 frames
  ASSERT_EQ(engine->GetPacketFrames() * 2, stride);

  // A length beyond the packet's part of the buffer is cut to it.
  engine->Complete(client.Record(), {{5000, USBD_STATUS_SUCCESS}}, 0x10);
  // An empty successful packet is one millisecond and one frame of silence.
  engine->Complete(client.Record(), {{0, USBD_STATUS_SUCCESS}}, 0x20);
  // An empty failed packet adds nothing; a failed one with data adds it.
  engine->Complete(client.Record(), {{0, USBD_STATUS_XACT_ERROR}}, 0x30);
  engine->Complete(client.Record(), {{6, USBD_STATUS_XACT_ERROR}}, 0x40);
  // Three bytes: one frame now, the odd byte waits for the next packet.
  engine->Complete(client.Record(), {{3, USBD_STATUS_SUCCESS}}, 0x50);
  engine->Complete(client.Record(), {{1, USBD_STATUS_SUCCESS}}, 0x60);
  // A failed transfer carries nothing.
  engine->Complete(client.Record(), {{8, USBD_STATUS_SUCCESS}}, 0x70, STATUS_UNSUCCESSFUL);

  sim::Bytes expected = CaptureProbe::Part(0x10, 0, stride);
  expected.insert(expected.end(), stride, 0);
  for (const sim::Bytes& part :
       {CaptureProbe::Part(0x40, 0, 6), CaptureProbe::Part(0x50, 0, 3), CaptureProbe::Part(0x60, 0, 1)})
    expected.insert(expected.end(), part.begin(), part.end());
  EXPECT_EQ(client.Captured(), expected);
  std::vector<ULONG> positions;
  for (const pipetest::Seen& seen : client.Notifications())
    if (seen.command == CYCLIC_COMMAND_POSITION) positions.push_back(seen.value);
  EXPECT_EQ(positions, (std::vector<ULONG>{98, 98, 6, 2, 2}));
  EXPECT_EQ(engine->GetOutstandingUrbs(), 0);
  ASSERT_EQ(client.Unprepare(), STATUS_SUCCESS);
}

TEST_F(CapturePipeTest, FailedTransferRecoversAndCaptureGoesOn) {
  PipeRig rig;
  rig.Device().Source(kEndpoint).SetRamp();
  const WAVEFORMATEXTENSIBLE mono = Pcm(1, 48000, 16);
  auto* engine = rig.MakeEngine<CUac1Capture>(kCapture, STREAM_DIRECTION_CAPTURE, {mono});
  RigClient client(engine, CYCLIC_CLIENT_WAVE, mono, 10, 3);
  // Every packet of the third URB fails: the transfer fails as a whole.
  rig.Device().AddIsoFault({kEndpoint, USBD_STATUS_XACT_ERROR, 20, 10, 1});
  platform::debug::Clear();
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  ASSERT_TRUE(RunFramesUntil([&] { return client.Captured().size() >= 2 * 3840; }));
  ASSERT_EQ(client.Finish(), STATUS_SUCCESS);

  size_t recoveries = 0;
  for (const std::string& line : platform::debug::Lines())
    recoveries += line.rfind("Error_ErrorOccur, m_StreamState", 0) == 0;
  EXPECT_EQ(recoveries, 1u);
  EXPECT_TRUE(platform::debug::Contains("Error_ErrorOccur ntStatus = 0\n"));
  // The failed packets carried nothing; everything the device sent before
  // and after the restart arrived once and in order.
  const sim::Bytes captured = client.Captured();
  EXPECT_EQ(RampRun(captured, 0), captured.size() / 2);
  EXPECT_EQ(client.FormatChanges(), 2u);  // the start and the recovery
}

TEST_F(CapturePipeTest, RefusedRateFailsTheOpenAndGivesTheSettingBack) {
  PipeRig rig;
  const WAVEFORMATEXTENSIBLE mono = Pcm(1, 48000, 16);
  auto* engine = rig.MakeEngine<CUac1Capture>(kCapture, STREAM_DIRECTION_CAPTURE, {mono});
  RigClient client(engine, CYCLIC_CLIENT_WAVE, mono, 10, 3);
  ASSERT_EQ(client.Register(), STATUS_SUCCESS);
  rig.Device().AddFault({sim::RequestMatch::ClassToEndpoint(kEndpoint), sim::FaultAction::Stall});
  EXPECT_FALSE(NT_SUCCESS(client.Prepare()));
  EXPECT_EQ(engine->GetStreamState(), STREAM_STATE_CLOSED);
  // No bandwidth and no busy mark stay behind a failed open.
  EXPECT_EQ(rig.Device().AlternateSetting(kCapture), 0);
  EXPECT_EQ(rig.Owner()->Busy(), 0);

  rig.Device().ClearFaults();
  EXPECT_EQ(client.Prepare(), STATUS_SUCCESS);
  EXPECT_EQ(rig.Device().AlternateSetting(kCapture), 1);
  EXPECT_EQ(rig.Owner()->Busy(), 1);
  EXPECT_EQ(client.Unprepare(), STATUS_SUCCESS);
}

TEST_F(CapturePipeTest, OpenRefusesUrbLengthsThePipeCannotCarry) {
  PipeRig rig;
  const WAVEFORMATEXTENSIBLE mono = Pcm(1, 48000, 16);
  auto* engine = rig.MakeEngine<CUac1Capture>(kCapture, STREAM_DIRECTION_CAPTURE, {mono});
  // 1025 packets are more than one URB carries.
  for (ULONG msPerUrb : {1025u, 0xFFFFFFFFu}) {
    RigClient client(engine, CYCLIC_CLIENT_WAVE, mono, msPerUrb, 3);
    ASSERT_EQ(client.Register(), STATUS_SUCCESS);
    EXPECT_EQ(client.Prepare(), STATUS_INVALID_PARAMETER) << msPerUrb;
    EXPECT_EQ(engine->GetStreamState(), STREAM_STATE_CLOSED);
    EXPECT_EQ(rig.Device().AlternateSetting(kCapture), 0);
  }
}

}  // namespace
