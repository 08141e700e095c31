// The wave stream: its cyclic buffer, its registration with the engine in
// RUN, render packets filled from the buffer, captured data converted into
// it, and positions advanced by completions and interpolated between them.
#include <gtest/gtest.h>

#include <numeric>

#include "tests/topology/support/WaveTestbed.h"

namespace {

using namespace wavetest;

class WaveCyclicStreamTest : public WaveTest {
 protected:
  // A render (or capture) stream of `format` on an engine that offers it.
  void Open(const WAVEFORMATEXTENSIBLE& format, bool capture = false) {
    ASSERT_EQ(Build(capture ? STREAM_DIRECTION_CAPTURE : STREAM_DIRECTION_RENDER, {format}), STATUS_SUCCESS);
    ASSERT_EQ(OpenStream(format, capture), STATUS_SUCCESS);
  }
  // Fills the cyclic buffer with the byte pattern i & 0xFF, through the port's copy.
  void FillPattern() {
    platform::IrqlScope dispatch(DISPATCH_LEVEL);
    const ULONG size = dma->AllocatedBufferSize();
    std::vector<UCHAR> bytes(size);
    for (ULONG i = 0; i < size; ++i) bytes[i] = static_cast<UCHAR>(i * 7);
    dma->CopyTo(dma->SystemAddress(), bytes.data(), size);
  }
  static UCHAR Pattern(ULONG offset) { return static_cast<UCHAR>(offset * 7); }
  ULONG Position() {
    ULONG p = 0;
    EXPECT_EQ(stream->GetPosition(&p), STATUS_SUCCESS);
    return p;
  }
};

TEST_F(WaveCyclicStreamTest, BufferHoldsFiftyMillisecondsOfWholeFrames) {
  struct Case {
    WAVEFORMATEXTENSIBLE format;
    ULONG buffer, framing;
  } cases[] = {
      {Pcm(2, 48000, 16), 9600, 1920},
      {Pcm(2, 44100, 16), 8820, 1764},
      {Pcm(2, 22050, 16), 4408, 880},  // 4,410 bytes would end inside a frame
      {Pcm(6, 96000, 24), 86400, 17280},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format.Format.nSamplesPerSec);
    Open(c.format);
    EXPECT_EQ(dma->AllocatedBufferSize(), c.buffer);
    EXPECT_EQ(dma->BufferSize(), c.buffer);
    EXPECT_EQ(dma->MaximumBufferSize(), 307200u);
    ULONG framing = 0;
    EXPECT_EQ(stream->SetNotificationFreq(20, &framing), 10u);
    EXPECT_EQ(framing, c.framing);
    ReleaseAll();
  }
  Open(Pcm(2, 48000, 16));
  LONGLONG p = 9600;
  EXPECT_EQ(stream->NormalizePhysicalPosition(&p), STATUS_SUCCESS);
  EXPECT_EQ(p, 500000);
}

TEST_F(WaveCyclicStreamTest, RunRegistersWithTheEngineAndPauseLeavesIt) {
  Open(Pcm(2, 48000, 16));
  EXPECT_EQ(stream->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_TRUE(engine->calls.empty());
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"register", "prepare", "start"}));
  EXPECT_EQ(engine->record.Kind, CYCLIC_CLIENT_WAVE);
  EXPECT_EQ(engine->record.MsPerUrb, 5u);
  EXPECT_EQ(engine->record.UrbCount, 3u);
  EXPECT_EQ(engine->record.Format.Format.nSamplesPerSec, 48000u);
  EXPECT_EQ(engine->startFrame, engine->currentFrame + 2);
  // Once is enough.
  EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(engine->calls.size(), 3u);
  engine->calls.clear();
  EXPECT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"stop", "unprepare", "unregister"}));
  EXPECT_FALSE(engine->registered);
  EXPECT_EQ(Stream()->GetState(), KSSTATE_PAUSE);

  // Straight from RUN to STOP leaves the engine too: nothing may call back
  // into a stopped stream, and the next RUN registers afresh.
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  engine->calls.clear();
  EXPECT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"stop", "unprepare", "unregister"}));
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  // Closing a running stream walks it down and unregisters.
  CloseStream();
  EXPECT_FALSE(engine->registered);
}

TEST_F(WaveCyclicStreamTest, FailedRunUndoesWhatItDid) {
  Open(Pcm(2, 48000, 16));
  engine->registerStatus = STATUS_NO_MATCH;
  EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_NO_MATCH);
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"register"}));
  engine->registerStatus = STATUS_SUCCESS;
  engine->prepareStatus = STATUS_INSUFFICIENT_RESOURCES;
  engine->calls.clear();
  EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"register", "prepare", "unregister"}));
  engine->prepareStatus = STATUS_SUCCESS;
  engine->startStatus = STATUS_UNSUCCESSFUL;
  engine->calls.clear();
  EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"register", "prepare", "start", "unprepare", "unregister"}));
  EXPECT_EQ(Stream()->GetState(), KSSTATE_STOP);
  EXPECT_FALSE(engine->registered);
  // Without a buffer there is nothing to play.
  dma->FreeBuffer();
  engine->startStatus = STATUS_SUCCESS;
  EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_UNSUCCESSFUL);
}

TEST_F(WaveCyclicStreamTest, FormatNotificationStartsRenderOnePipelineBehind) {
  Open(Pcm(2, 44100, 16));
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  // The engine's start announced 5 ms x 3 URBs with the flag.
  EXPECT_EQ(Stream()->GetCopyOffset(), 8820u - 44 * 4 * 15);
  // A pipeline deeper than the buffer still starts inside it.
  engine->SendFormat(25 | CYCLIC_FORMAT_CHANGED, 3);
  EXPECT_LT(Stream()->GetCopyOffset(), 8820u);
  // Without the flag and the same format, nothing moves.
  engine->SendFormat(5 | CYCLIC_FORMAT_CHANGED, 3);
  const ULONG offset = Stream()->GetCopyOffset();
  engine->SendFormat(5, 3);
  EXPECT_EQ(Stream()->GetCopyOffset(), offset);
}

TEST_F(WaveCyclicStreamTest, RenderFillCopiesAcrossTheWrap) {
  Open(Pcm(2, 48000, 16));
  FillPattern();
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  const ULONG start = 9600 - 48 * 4 * 15;  // 6,720
  ASSERT_EQ(Stream()->GetCopyOffset(), start);
  // Three packets of 960 bytes, then one more: 6720..9600 and 0..960.
  std::vector<UCHAR> packet(1000);
  ULONG offset = start;
  for (int i = 0; i < 4; ++i) {
    std::fill(packet.begin(), packet.end(), 0xEE);
    engine->SendFill(packet.data(), 960);
    for (ULONG k = 0; k < 960; ++k) ASSERT_EQ(packet[k], Pattern((offset + k) % 9600)) << i << ":" << k;
    EXPECT_EQ(packet[960], 0xEE);
    offset = (offset + 960) % 9600;
  }
  EXPECT_EQ(Stream()->GetCopyOffset(), 960u);
  // A packet that straddles the end is split.
  engine->SendFormat(5 | CYCLIC_FORMAT_CHANGED, 3);
  engine->SendFill(packet.data(), 960);
  engine->SendFill(packet.data(), 960);
  engine->SendFill(packet.data(), 100);
  std::vector<UCHAR> straddle(1000);
  engine->SendFill(straddle.data(), 1000);
  for (ULONG k = 0; k < 1000; ++k) ASSERT_EQ(straddle[k], Pattern((start + 2020 + k) % 9600)) << k;

  // Another client is active: the stream keeps time but copies nothing.
  std::vector<UCHAR> silent(960, 0);
  const ULONG before = Stream()->GetCopyOffset();
  engine->SendFill(silent.data(), 960, &engine->other);
  EXPECT_EQ(std::accumulate(silent.begin(), silent.end(), 0), 0);
  EXPECT_EQ(Stream()->GetCopyOffset(), before + 960);
  // A packet as long as the buffer is not served.
  std::vector<UCHAR> huge(9600, 0);
  engine->SendFill(huge.data(), 9600);
  EXPECT_EQ(std::accumulate(huge.begin(), huge.end(), 0), 0);
}

TEST_F(WaveCyclicStreamTest, AnotherClientsFormatIsCountedInStreamBytes) {
  Open(Pcm(2, 44100, 16));  // 176,400 bytes per second
  FillPattern();
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  // A higher client now runs the device at 48 kHz.
  engine->other.Format = Pcm(2, 48000, 16);
  engine->SendFormat(5 | CYCLIC_FORMAT_CHANGED, 3, &engine->other);
  EXPECT_EQ(Stream()->GetCopyOffset(), 8820u - 44 * 4 * 15);
  std::vector<UCHAR> packet(960, 0);
  engine->SendFill(packet.data(), 960, &engine->other);
  EXPECT_EQ(std::accumulate(packet.begin(), packet.end(), 0), 0);
  EXPECT_EQ(Stream()->GetInFlightCap(), 882u);  // 5 ms of the stream's own format
  // 5 ms at a time, 1 ms at a time: the thousandths add up without drift.
  engine->SendPosition(960);
  EXPECT_EQ(Stream()->GetPlayPosition(), 882u);
  for (int i = 0; i < 10; ++i) engine->SendPosition(192);
  EXPECT_EQ(Stream()->GetPlayPosition(), 882u * 3);
}

TEST_F(WaveCyclicStreamTest, CompletionsAdvanceAndInterpolateThePosition) {
  Open(Pcm(2, 48000, 16));  // 192,000 bytes per second
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  std::vector<UCHAR> packet(960);
  for (int i = 0; i < 3; ++i) engine->SendFill(packet.data(), 960);
  EXPECT_EQ(Stream()->GetInFlightCap(), 960u);
  engine->SendPosition(960);
  EXPECT_EQ(port->notifications, 1u);
  EXPECT_EQ(Position(), 960u);
  platform::clock::AdvanceMs(2);
  EXPECT_EQ(Position(), 960u + 384);
  platform::clock::AdvanceMs(4);
  EXPECT_EQ(Position(), 960u + 960);  // capped at the packet now playing
  // Positions wrap at the buffer's end.
  for (int i = 0; i < 9; ++i) engine->SendPosition(960);
  EXPECT_EQ(Stream()->GetPlayPosition(), 0u);
  // PAUSE freezes the reported position; STOP clears it.
  platform::clock::AdvanceMs(1);
  const ULONG frozen = Position();
  ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  platform::clock::AdvanceMs(3);
  EXPECT_EQ(Position(), frozen);
  ASSERT_EQ(stream->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(Position(), 0u);
}

TEST_F(WaveCyclicStreamTest, CaptureDataIsStoredAndThePositionLags) {
  Open(Pcm(2, 48000, 16), true);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(Stream()->GetCopyOffset(), 0u);
  // 9,000 bytes land at 0, then 1,200 more wrap: 600 at the end, 600 at the start.
  std::vector<int16_t> first(4500), second(600);
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<int16_t>(i * 3 + 1);
  for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<int16_t>(-1 - static_cast<int>(i));
  engine->SendCapture(first.data(), 9000);
  engine->SendPosition(9000);
  engine->SendCapture(second.data(), 1200);
  engine->SendPosition(960);
  const auto* buffer = static_cast<const int16_t*>(dma->SystemAddress());
  EXPECT_EQ(buffer[300], first[300]);
  EXPECT_EQ(buffer[4499], first[4499]);
  EXPECT_EQ(buffer[4500], second[0]);
  EXPECT_EQ(buffer[4799], second[299]);
  EXPECT_EQ(buffer[0], second[300]);
  EXPECT_EQ(buffer[299], second[599]);
  EXPECT_EQ(Stream()->GetCopyOffset(), 600u);
  // Just after a completion the position trails by the data just delivered.
  EXPECT_EQ(Position(), (9000u + 960 - 960) % 9600);
  platform::clock::AdvanceMs(2);
  EXPECT_EQ(Position(), 9000u + 384);
}

TEST_F(WaveCyclicStreamTest, SetFormatReallocatesOnlyForANewShape) {
  ASSERT_EQ(Build(STREAM_DIRECTION_RENDER, {Pcm(2, 48000, 16), Pcm(2, 48000, 24), Pcm(2, 48000, 32), Float(2, 48000)}),
            STATUS_SUCCESS);
  ASSERT_EQ(OpenStream(Pcm(2, 48000, 16)), STATUS_SUCCESS);
  DataFormat to24 = MakeDataFormat(Pcm(2, 48000, 24));
  ASSERT_EQ(stream->SetFormat(&to24.header), STATUS_SUCCESS);
  EXPECT_EQ(dma->AllocatedBufferSize(), 14400u);
  EXPECT_EQ(Stream()->GetStreamFormat().Format.wBitsPerSample, 24u);
  DataFormat to32 = MakeDataFormat(Pcm(2, 48000, 32));
  ASSERT_EQ(stream->SetFormat(&to32.header), STATUS_SUCCESS);
  DataFormat toFloat = MakeDataFormat(Float(2, 48000));
  ASSERT_EQ(stream->SetFormat(&toFloat.header), STATUS_SUCCESS);
  EXPECT_EQ(Stream()->GetStreamFormat().SubFormat, KSDATAFORMAT_SUBTYPE_PCM);  // same shape: kept
  DataFormat refused = MakeDataFormat(Pcm(2, 44100, 16));
  EXPECT_EQ(stream->SetFormat(&refused.header), STATUS_INVALID_PARAMETER);
  // A failed allocation keeps the old buffer.
  PVOID old = dma->SystemAddress();
  platform::pool::FailAllocationsWithTag(WAVE_STREAM_BUFFER_TAG);
  EXPECT_EQ(stream->SetFormat(&to24.header), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool::ClearFailures();
  EXPECT_EQ(dma->SystemAddress(), old);
  EXPECT_EQ(Stream()->GetStreamFormat().Format.wBitsPerSample, 32u);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(stream->SetFormat(&to24.header), STATUS_UNSUCCESSFUL);
}

TEST_F(WaveCyclicStreamTest, BufferAccessOutsideTheBufferIsIgnored) {
  Open(Format(KSDATAFORMAT_SUBTYPE_PCM, 1, 48000, 8));  // 2,400 bytes
  auto* buffer = static_cast<PUCHAR>(dma->SystemAddress());
  const ULONG size = dma->AllocatedBufferSize();
  ASSERT_EQ(size, 2400u);
  stream->Silence(buffer + 100, 50);
  EXPECT_EQ(buffer[99], 0);
  EXPECT_EQ(buffer[100], 0x80);  // 8-bit silence
  EXPECT_EQ(buffer[149], 0x80);
  EXPECT_EQ(buffer[150], 0);
  stream->Silence(buffer + size - 10, 11);  // one byte past the end
  EXPECT_EQ(buffer[size - 10], 0);

  UCHAR source[64], target[64] = {};
  memset(source, 0x5A, sizeof source);
  {
    platform::IrqlScope dispatch(DISPATCH_LEVEL);
    dma->CopyTo(buffer + size - 64, source, 64);  // fits exactly
    dma->CopyTo(buffer + size - 32, source, 64);  // would run past the end
    dma->CopyTo(source, buffer, 64);              // the buffer is not the destination
    dma->CopyFrom(target, buffer + size - 64, 64);
  }
  EXPECT_EQ(buffer[size - 65], 0);
  EXPECT_EQ(target[0], 0x5A);
  EXPECT_EQ(source[0], 0x5A);

  // The reported size shrinks; positions keep the allocated size.
  dma->SetBufferSize(size);
  EXPECT_EQ(dma->BufferSize(), size);
  dma->SetBufferSize(1000);
  EXPECT_EQ(dma->BufferSize(), 1000u);
  EXPECT_EQ(dma->AllocatedBufferSize(), size);
  ASSERT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  std::vector<UCHAR> packet(480);
  for (int i = 0; i < 3; ++i) engine->SendFill(packet.data(), 480);
  for (int i = 0; i < 3; ++i) engine->SendPosition(480);
  EXPECT_EQ(Stream()->GetPlayPosition(), 1440u);
  // After the buffer is gone, notifications change nothing.
  ASSERT_EQ(stream->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  dma->FreeBuffer();
  EXPECT_EQ(dma->SystemAddress(), nullptr);
}

}  // namespace
