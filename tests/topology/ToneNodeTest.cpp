// The tone prompt node against a render engine that records the client
// protocol: the prompt's waveform, its mix into the front pair, the client's
// registration and departure, and formats it cannot play.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "sim/host/ToneAnalysis.h"
#include "tests/topology/support/WaveTestbed.h"
#include "topology/CToneNode.h"

namespace {

constexpr ULONG kTag = MakeTag("TnTs");

// The render engine the prompt plays on.
using ToneEngine = wavetest::FakeEngine;

// Positive-going zero crossings of x[from, to).
int Cycles(const std::vector<float>& x, size_t from, size_t to) {
  int n = 0;
  for (size_t i = from + 1; i < to && i < x.size(); ++i)
    if (x[i - 1] < 0 && x[i] >= 0) ++n;
  return n;
}

class ToneNodeTest : public testsupport::KernelTest {
 protected:
  // An engine whose format 0 is `format`, a model holding it and an
  // initialised node bound to it.
  void Build(const WAVEFORMATEXTENSIBLE& format) {
    engine = new (NonPagedPool, kTag) ToneEngine(STREAM_DIRECTION_RENDER);
    engine->takesProcessor = true;
    engine->NonDelegatingAddRef();
    ASSERT_EQ(engine->Init(STREAM_DIRECTION_RENDER), STATUS_SUCCESS);
    ASSERT_EQ(engine->AddFormat(&format), STATUS_SUCCESS);
    model = new (NonPagedPool, kTag) wavetest::WaveModel(engine);
    model->NonDelegatingAddRef();
    ASSERT_EQ(model->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateToneNode(&unknown, nullptr, model->Hal()), STATUS_SUCCESS);
    ASSERT_EQ(unknown->QueryInterface(IID_IToneNode, reinterpret_cast<PVOID*>(&tone)), STATUS_SUCCESS);
    unknown->Release();
    ASSERT_EQ(tone->Init(), STATUS_SUCCESS);
    ASSERT_EQ(tone->SetRenderEngine(engine), STATUS_SUCCESS);
  }
  void TearDown() override {
    platform::workitem::Drain();
    ReleaseAll();
    testsupport::KernelTest::TearDown();
  }
  // The node, the model and the engine, for a test that builds again.
  void ReleaseAll() {
    if (tone) tone->Release();
    if (model) model->Release();
    if (engine) engine->Release();
    tone = nullptr;
    model = nullptr;
    engine = nullptr;
  }
  CToneNode* Node() { return static_cast<CToneNode*>(tone); }
  void Select(UCHAR rising) {
    ISwitchNode* sw = nullptr;
    ASSERT_EQ(tone->QueryInterface(IID_ISwitchNode, reinterpret_cast<PVOID*>(&sw)), STATUS_SUCCESS);
    EXPECT_EQ(sw->SetValue(1, rising), STATUS_SUCCESS);
    sw->Release();
  }

  // Runs the render path in `chunk`-frame buffers of `channels` channels
  // (channel c preset to 0.25 * c, so a mix shows) until the node asks to stop or `limit`
  // frames passed; returns channel 0 and keeps the others.
  std::vector<float> Render(const WAVEFORMATEXTENSIBLE& format, ULONG chunk, ULONG limit) {
    const ULONG channels = format.Format.nChannels;
    out.assign(channels, {});
    std::vector<std::vector<float>> buffers(8, std::vector<float>(chunk));
    float* pointers[8];
    for (ULONG c = 0; c < 8; ++c) pointers[c] = buffers[c].data();
    platform::IrqlScope dispatch(DISPATCH_LEVEL);
    for (ULONG done = 0; done < limit && !Node()->IsStopping(); done += chunk) {
      for (ULONG c = 0; c < 8; ++c) std::fill(buffers[c].begin(), buffers[c].end(), 0.25f * c);
      EXPECT_EQ(tone->Process(&format, pointers, chunk), STATUS_SUCCESS);
      for (ULONG c = 0; c < channels; ++c) out[c].insert(out[c].end(), buffers[c].begin(), buffers[c].end());
    }
    return out[0];
  }

  // Play on a work-queue thread, which the manual clock waits for before
  // it moves on: the wait inside Play then takes exactly its clock time.
  struct AsyncPlay {
    IToneNode* tone = nullptr;
    PIO_WORKITEM item = nullptr;
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
  };
  void StartPlay(AsyncPlay* play) {
    play->tone = tone;
    play->item = IoAllocateWorkItem(model->Hal()->GetDeviceObject());
    ASSERT_NE(play->item, nullptr);
    IoQueueWorkItem(
        play->item,
        [](PDEVICE_OBJECT, PVOID context) {
          auto* p = static_cast<AsyncPlay*>(context);
          p->status = p->tone->Play();
          p->done = true;
        },
        DelayedWorkQueue, play);
  }
  static void FinishPlay(AsyncPlay* play) {
    platform::workitem::Drain();
    IoFreeWorkItem(play->item);
  }

  ToneEngine* engine = nullptr;
  wavetest::WaveModel* model = nullptr;
  IToneNode* tone = nullptr;
  std::vector<std::vector<float>> out;
};

// The prompt a node builds for each type, as the render path reads it.
std::vector<SHORT> PromptOf(IToneNode* tone, UCHAR rising) {
  ISwitchNode* sw = nullptr;
  EXPECT_EQ(tone->QueryInterface(IID_ISwitchNode, reinterpret_cast<PVOID*>(&sw)), STATUS_SUCCESS);
  sw->SetValue(1, rising);
  sw->Release();
  EXPECT_EQ(tone->Play(), STATUS_SUCCESS);  // no engine: built, not played
  const auto* node = static_cast<CToneNode*>(tone);
  return std::vector<SHORT>(node->PromptSamples(), node->PromptSamples() + node->PromptLength());
}

// Rising: silence, 415 Hz, silence, 1,568 Hz, silence; falling: the bursts
// the other way round. Each burst starts at phase 0, peaks at 2,067 and
// fades in and out over 240 samples.
TEST_F(ToneNodeTest, PromptTablesFollowTheirRule) {
  Build(wavetest::Pcm(2, 48000, 16));
  ASSERT_EQ(tone->SetRenderEngine(nullptr), STATUS_SUCCESS);
  for (UCHAR rising : {1, 0}) {
    SCOPED_TRACE(rising ? "rising" : "falling");
    const std::vector<SHORT> prompt = PromptOf(tone, rising);
    ASSERT_EQ(prompt.size(), 12000u);
    for (auto [from, to] : {std::pair{0, 480}, std::pair{5280, 6720}, std::pair{11520, 12000}})
      for (int i = from; i < to; ++i) ASSERT_EQ(prompt[i], 0) << i;
    const double expectedHz[2] = {rising ? 415.0 : 1568.0, rising ? 1568.0 : 415.0};
    for (int burst = 0; burst < 2; ++burst) {
      const SHORT* x = prompt.data() + (burst ? TONE_SECOND_BURST_AT : TONE_FIRST_BURST_AT);
      EXPECT_EQ(x[0], 0);
      std::vector<float> samples(x, x + TONE_BURST_SAMPLES);
      float peak = 0;
      for (ULONG i = 0; i < TONE_BURST_SAMPLES; ++i) {
        peak = std::max(peak, std::fabs(samples[i]));
        ASSERT_LE(std::fabs(samples[i]), 2067.0f) << i;
        // Within the fades the sine is bounded by the ramp, and close to
        // it where the sine is at its peak.
        const ULONG edge = std::min(i, TONE_BURST_SAMPLES - i);
        if (edge < TONE_BURST_FADE_SAMPLES) {
          ASSERT_LE(std::fabs(samples[i]), 2067.0 * edge / 240 + 1) << i;
        }
      }
      EXPECT_NEAR(peak, 2067, 2);
      EXPECT_NEAR(sim::host::DominantFrequency(samples.data(), samples.size(), 48000, 100, 4000), expectedHz[burst],
                  1.0);
      // The fade-in follows i/240: at a crest of the sine the sample is the
      // ramp's height.
      const double period = 48000.0 / expectedHz[burst];
      const auto crest = static_cast<ULONG>(std::lround(period / 4 + period * std::floor(120 / period)));
      EXPECT_NEAR(samples[crest], 2067.0 * crest / 240 * std::sin(2 * M_PI * expectedHz[burst] * crest / 48000), 1.0);
    }
  }
}

TEST_F(ToneNodeTest, PromptPlaysOnFrontPairThenClientLeaves) {
  const auto format = wavetest::Pcm(8, 48000, 16);
  Build(format);
  Select(1);
  ASSERT_EQ(tone->Play(), STATUS_SUCCESS);
  EXPECT_EQ(Node()->State(), TONE_STATE_PLAYING);
  EXPECT_EQ(Node()->RingLength(), 1920u);
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"register", "prepare", "start"}));
  EXPECT_EQ(engine->record.Kind, CYCLIC_CLIENT_TONE);
  EXPECT_EQ(engine->record.MsPerUrb, 5u);
  EXPECT_EQ(engine->record.UrbCount, 3u);
  EXPECT_EQ(engine->startFrame, 42u);
  EXPECT_EQ(engine->processor, tone);

  Render(format, 240, 48000);
  ASSERT_TRUE(Node()->IsStopping());
  ASSERT_GE(out[0].size(), 12000u);
  EXPECT_LE(out[0].size(), 12000u + 240);
  // Rising: silence, 415 Hz, silence, 1,568 Hz, silence, at the prompt's
  // own timing, the same on both front channels.
  for (ULONG i = 0; i < 12000; ++i) {
    float expected = 0;
    if (i >= 480 && i < 5280) expected = ToneBurstA()[i - 480] / 32768.0f;
    if (i >= 6720 && i < 11520) expected = ToneBurstB()[i - 6720] / 32768.0f;
    ASSERT_NEAR(out[0][i], expected, 1e-4) << i;
    ASSERT_EQ(out[1][i], out[0][i] + 0.25f) << i;
  }
  for (ULONG c = 2; c < 8; ++c)
    for (float v : out[c]) {
      ASSERT_EQ(v, 0.25f * c) << c;
    }

  platform::workitem::Drain();
  EXPECT_EQ(Node()->State(), TONE_STATE_IDLE);
  EXPECT_EQ(engine->processor, nullptr);
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"register", "prepare", "start", "stop", "unprepare",
                                                     "unregister"}));
  EXPECT_EQ(tone->Stop(), STATUS_UNSUCCESSFUL);
}

TEST_F(ToneNodeTest, FallingPromptAtOtherRatesKeepsItsTiming) {
  struct Case {
    DWORD rate;
    ULONG ring;
  };
  for (const Case& c : {Case{44100, 1764}, Case{96000, 3840}}) {
    SCOPED_TRACE(c.rate);
    const auto format = wavetest::Pcm(2, c.rate, 16);
    Build(format);
    Select(0);
    ASSERT_EQ(tone->Play(), STATUS_SUCCESS);
    EXPECT_EQ(Node()->RingLength(), c.ring);
    const ULONG chunk = c.rate / 200;
    Render(format, chunk, c.rate);
    ASSERT_TRUE(Node()->IsStopping());
    const double scale = c.rate / 48000.0;
    EXPECT_NEAR(out[0].size(), 12000 * scale, chunk + 64 * scale);
    // Falling: the high burst first, the low one second.
    const auto at = [&](ULONG sample) { return static_cast<size_t>(sample * scale); };
    EXPECT_NEAR(Cycles(out[0], at(600), at(5200)), 1568 * 4600 / 48000.0, 3);
    EXPECT_NEAR(Cycles(out[0], at(6840), at(11440)), 415 * 4600 / 48000.0, 3);
    // Buffers that do not divide the ring replay nothing of it once the
    // prompt is over.
    for (size_t i = at(11520) + 100; i < out[0].size(); ++i) ASSERT_LT(std::fabs(out[0][i]), 1e-4f) << i;
    platform::workitem::Drain();
    EXPECT_EQ(Node()->State(), TONE_STATE_IDLE);
    ReleaseAll();
  }
}

TEST_F(ToneNodeTest, FormatChangeRestartsThePrompt) {
  const auto format = wavetest::Pcm(2, 48000, 16);
  Build(format);
  Select(1);
  ASSERT_EQ(tone->Play(), STATUS_SUCCESS);
  Render(format, 240, 7200);  // into the second burst
  const auto fortyFour = wavetest::Pcm(2, 44100, 16);
  engine->SendFormat(fortyFour);
  EXPECT_EQ(Node()->RingLength(), 1764u);
  Render(fortyFour, 441, 4410);
  // From the beginning again: 10 ms of silence, then the low burst.
  for (ULONG i = 0; i < 400; ++i) ASSERT_EQ(out[0][i], 0.0f) << i;
  EXPECT_NEAR(Cycles(out[0], 500, 4410), 415 * 3910 / 44100.0, 3);
  EXPECT_EQ(tone->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(engine->processor, nullptr);
}

// A prompt that never ends (nothing renders) holds a second Play for
// 26 x 10 ms and 20 ms of clock time, no more; then the first client is
// stopped and the second prompt starts from its beginning.
TEST_F(ToneNodeTest, SecondPlayWaitsAtMost280MsThenRestarts) {
  Build(wavetest::Pcm(2, 48000, 16));
  ASSERT_EQ(tone->Play(), STATUS_SUCCESS);
  engine->calls.clear();
  AsyncPlay second;
  StartPlay(&second);
  platform::clock::AdvanceMs(279);
  EXPECT_FALSE(second.done);
  platform::clock::AdvanceMs(1);
  EXPECT_TRUE(second.done);
  FinishPlay(&second);
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"stop", "unprepare", "unregister", "register", "prepare",
                                                     "start"}));
  EXPECT_EQ(Node()->State(), TONE_STATE_PLAYING);
  EXPECT_EQ(tone->Stop(), STATUS_SUCCESS);
}

// Effect on, then off while the rising prompt plays: the second Play waits
// for the first prompt to end, and the stop queued at that end leaves the
// falling prompt alone, which then plays whole.
TEST_F(ToneNodeTest, QuickOnOffPlaysBothPromptsWhole) {
  const auto format = wavetest::Pcm(2, 48000, 16);
  Build(format);
  Select(1);
  ASSERT_EQ(tone->Play(), STATUS_SUCCESS);
  std::vector<float> first = Render(format, 240, 2400);
  Select(0);
  AsyncPlay second;
  StartPlay(&second);
  platform::clock::AdvanceMs(100);
  EXPECT_FALSE(second.done);
  // The rest of the rising prompt; its end queues a stop, which waits for
  // the node while the second Play holds it.
  const std::vector<float> rest = Render(format, 240, 48000);
  first.insert(first.end(), rest.begin(), rest.end());
  ASSERT_TRUE(Node()->IsStopping());
  platform::clock::AdvanceMs(40);
  EXPECT_TRUE(second.done);
  FinishPlay(&second);
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(Node()->State(), TONE_STATE_PLAYING);
  EXPECT_FALSE(Node()->IsStopping());

  Render(format, 240, 48000);
  ASSERT_TRUE(Node()->IsStopping());
  for (const auto& [played, rising] : {std::pair{&first, true}, std::pair{&out[0], false}}) {
    SCOPED_TRACE(rising ? "rising" : "falling");
    ASSERT_GE(played->size(), 12000u);
    for (ULONG i = 0; i < 12000; ++i) {
      float expected = 0;
      if (i >= 480 && i < 5280) expected = (rising ? ToneBurstA() : ToneBurstB())[i - 480] / 32768.0f;
      if (i >= 6720 && i < 11520) expected = (rising ? ToneBurstB() : ToneBurstA())[i - 6720] / 32768.0f;
      ASSERT_NEAR((*played)[i], expected, 1e-4) << i;
    }
  }
  platform::workitem::Drain();
  EXPECT_EQ(Node()->State(), TONE_STATE_IDLE);
}

// Play after Play while the engine's data path runs the node without
// pause: the prompt is replaced under the running client, and the render
// path never reads a buffer that is gone (the sanitizer sees every read).
TEST_F(ToneNodeTest, PlayWhilePlayingIsSafeAgainstTheRenderPath) {
  const auto format = wavetest::Pcm(8, 48000, 16);
  Build(format);
  platform::clock::SetMode(platform::clock::Mode::RealTime);
  std::atomic<bool> stop{false};
  std::atomic<ULONG> buffers{0};
  std::thread render([&] {
    std::vector<std::vector<float>> data(8, std::vector<float>(240));
    float* pointers[8];
    for (ULONG c = 0; c < 8; ++c) pointers[c] = data[c].data();
    while (!stop) {
      engine->RunProcessor(format, pointers, 240);
      ++buffers;
    }
  });
  for (int i = 0; i < 24; ++i) {
    Select(static_cast<UCHAR>(i & 1));
    EXPECT_EQ(tone->Play(), STATUS_SUCCESS);
    // Now and then straight away, now and then once the prompt is well in.
    if (i % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  stop = true;
  render.join();
  EXPECT_GT(buffers.load(), 0u);
  EXPECT_EQ(tone->Stop() == STATUS_SUCCESS || Node()->State() == TONE_STATE_IDLE, true);
  platform::workitem::Drain();
  platform::clock::SetMode(platform::clock::Mode::Manual);
}

// The prompt ends, its stop is queued, and before it runs the device goes:
// the HAL stop stops the client and every owner lets the node go. The
// queued stop keeps the node alive until it has run, and then frees it.
TEST_F(ToneNodeTest, RemovalRightAfterThePromptEndsFreesTheNodeAfterItsStop) {
  const auto format = wavetest::Pcm(2, 48000, 16);
  Build(format);
  // Hold the stop's queue with an item that waits for the test.
  KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  PIO_WORKITEM blocker = IoAllocateWorkItem(model->Hal()->GetDeviceObject());
  IoQueueWorkItem(
      blocker,
      [](PDEVICE_OBJECT, PVOID event) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
      },
      HyperCriticalWorkQueue, &release);
  ASSERT_EQ(tone->Play(), STATUS_SUCCESS);
  Render(format, 480, 48000);
  ASSERT_TRUE(Node()->IsStopping());
  EXPECT_EQ(tone->Stop(), STATUS_SUCCESS);  // the room effect node's HAL stop
  tone->Release();                          // the room effect node goes
  tone = nullptr;
  EXPECT_EQ(platform::workitem::Pending(), 2u);
  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  platform::workitem::Drain();
  IoFreeWorkItem(blocker);
  EXPECT_EQ(engine->processor, nullptr);
  EXPECT_EQ(engine->calls, (std::vector<std::string>{"register", "prepare", "start", "stop", "unprepare",
                                                     "unregister"}));
  // The teardown's pool check proves the node and its buffers were freed.
}

// Formats the prompt cannot be played in: no front pair, more channels or
// a faster rate than the buffers hold, a stream the client processors never
// see, a rate the converter does not reach.
const struct {
  const char* what;
  WAVEFORMATEXTENSIBLE format;
} kUnplayable[] = {
    {"mono", wavetest::Pcm(1, 48000, 16)},
    {"twelve channels", wavetest::Pcm(12, 48000, 16)},
    {"400 kHz", wavetest::Pcm(2, 400000, 16)},
    {"float", wavetest::Float(2, 48000)},
    {"32 kHz", wavetest::Pcm(2, 32000, 16)},
};

TEST_F(ToneNodeTest, UnplayableFormatsAreRefusedBeforeTheClientRegisters) {
  for (const auto& c : kUnplayable) {
    SCOPED_TRACE(c.what);
    Build(c.format);
    Select(1);
    EXPECT_EQ(tone->Play(), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(engine->calls.empty());
    EXPECT_EQ(Node()->State(), TONE_STATE_IDLE);
    ReleaseAll();
  }
}

// Such a format announced while the prompt plays ends it there: nothing is
// mixed, and the client leaves through the stop work item.
TEST_F(ToneNodeTest, UnplayableFormatNotificationEndsThePrompt) {
  const auto format = wavetest::Pcm(2, 48000, 16);
  for (const auto& c : kUnplayable) {
    if (c.format.Format.nSamplesPerSec == 32000) continue;  // only the converter refuses it
    SCOPED_TRACE(c.what);
    Build(format);
    ASSERT_EQ(tone->Play(), STATUS_SUCCESS);
    engine->SendFormat(c.format);
    EXPECT_TRUE(Node()->IsStopping());
    Render(format, 240, 2400);
    for (float v : out[0]) ASSERT_EQ(v, 0.0f);
    platform::workitem::Drain();
    EXPECT_EQ(Node()->State(), TONE_STATE_IDLE);
    EXPECT_EQ(engine->processor, nullptr);
    ReleaseAll();
  }
}

TEST_F(ToneNodeTest, ClientFailuresUndoAndStayIdle) {
  struct Case {
    NTSTATUS ToneEngine::*status;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {&ToneEngine::registerStatus, {"register"}},
      {&ToneEngine::prepareStatus, {"register", "prepare", "unregister"}},
      {&ToneEngine::startStatus, {"register", "prepare", "start", "unprepare", "unregister"}},
  };
  Build(wavetest::Pcm(2, 48000, 16));
  for (const Case& c : cases) {
    engine->calls.clear();
    engine->*c.status = STATUS_DEVICE_NOT_READY;
    EXPECT_EQ(tone->Play(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(engine->calls, c.calls);
    EXPECT_EQ(Node()->State(), TONE_STATE_IDLE);
    EXPECT_EQ(engine->processor, nullptr);
    engine->*c.status = STATUS_SUCCESS;
  }
}

TEST_F(ToneNodeTest, EngineBindingAndSelector) {
  Build(wavetest::Pcm(2, 48000, 16));
  ASSERT_EQ(tone->Play(), STATUS_SUCCESS);
  EXPECT_EQ(tone->SetRenderEngine(nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(tone->Stop(), STATUS_SUCCESS);
  EXPECT_EQ(tone->Stop(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(tone->SetRenderEngine(nullptr), STATUS_SUCCESS);
  engine->calls.clear();
  EXPECT_EQ(tone->Play(), STATUS_SUCCESS);  // no engine: nothing plays
  EXPECT_TRUE(engine->calls.empty());

  ISwitchNode* sw = nullptr;
  ASSERT_EQ(tone->QueryInterface(IID_ISwitchNode, reinterpret_cast<PVOID*>(&sw)), STATUS_SUCCESS);
  UCHAR value = 9;
  EXPECT_EQ(sw->SetValue(0, 1), STATUS_SUCCESS);
  EXPECT_EQ(sw->GetValue(1, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(sw->SetValue(2, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(sw->GetValue(0, nullptr), STATUS_INVALID_PARAMETER);
  ULONG count = 0;
  EXPECT_EQ(sw->GetChannelCount(&count), STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
  sw->Release();
}

TEST_F(ToneNodeTest, InitFailsCleanlyWithoutMemory) {
  Build(wavetest::Pcm(2, 48000, 16));
  // The converter, the work-item record, the buffer table, a buffer.
  for (size_t n : {1, 2, 3, 5}) {
    SCOPED_TRACE(n);
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateToneNode(&unknown, nullptr, model->Hal()), STATUS_SUCCESS);
    IToneNode* second = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IToneNode, reinterpret_cast<PVOID*>(&second)), STATUS_SUCCESS);
    unknown->Release();
    platform::pool::FailNthAllocationWithTag(TONE_NODE_TAG, n);
    EXPECT_EQ(second->Init(), STATUS_INSUFFICIENT_RESOURCES);
    platform::pool::ClearFailures();
    second->Release();  // the teardown's leak check covers the partial Init
  }
}

}  // namespace
