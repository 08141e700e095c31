// The 7753's software processing and render stream: the nodes that act in
// software by output type or selected input, the driver-only mute and the
// LED switch, the gain node and the channel swap in an engine's signal
// path, and the render engine's formats and codec writes by output type.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "driver/SettingsStore.h"
#include "driver/common/CStreamEngine.h"
#include "sim/device/Device7753.h"
#include "tests/support/KernelTest.h"
#include "tests/variants/7753/Board7753.h"
#include "topology/CUacSelectorNode.h"
#include "variants/7753/C7753FeatureUnits.h"
#include "variants/7753/C7753Nodes.h"
#include "variants/7753/C7753Render.h"
#include "variants/7753/C7753Terminals.h"

namespace {

using test7753::Board;
using Writes = std::vector<std::pair<UCHAR, USHORT>>;
namespace chip = sim::chip7753;

constexpr LONG kDb = 65536;
constexpr ULONG kTag = MakeTag("7tst");

// An extensible record at 48 kHz; `tag` is the sub-format's.
WAVEFORMATEXTENSIBLE Format(WORD channels, WORD tag = WAVE_FORMAT_PCM, WORD bits = 16) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = 48000;
  f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.Format.nAvgBytesPerSec = 48000 * f.Format.nBlockAlign;
  f.Format.wBitsPerSample = bits;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = bits;
  f.dwChannelMask = channels == 2 ? KSAUDIO_SPEAKER_STEREO : 0;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  f.SubFormat.Data1 = tag;
  return f;
}

// Per-channel float buffers of a chunk, channel c holding c + 1 everywhere.
struct Channels {
  explicit Channels(ULONG count, ULONG frames = 16) : data(count, std::vector<float>(frames)) {
    for (ULONG c = 0; c < count; ++c) std::fill(data[c].begin(), data[c].end(), float(c + 1));
    for (auto& d : data) pointers.push_back(d.data());
  }
  bool Untouched() const {
    for (size_t c = 0; c < data.size(); ++c)
      for (float v : data[c])
        if (v != float(c + 1)) return false;
    return true;
  }
  bool Scaled(size_t c, float gain) const {
    for (float v : data[c])
      if (v != float(c + 1) * gain) return false;
    return true;
  }
  std::vector<std::vector<float>> data;
  std::vector<float*> pointers;
};

template <typename T>
T* NodeOf(Board& board, ULONG unitId, ULONG index) {
  ITopoNode* unit = nullptr;
  ITopoNode* node = nullptr;
  if (!NT_SUCCESS(board.Model()->FindUnitById(unitId, &unit)) ||
      !NT_SUCCESS(CUacUnit::FromUnitNode(unit)->GetNode(index, &node)))
    return nullptr;
  return dynamic_cast<T*>(node);
}

class C7753ProcessingTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
  }
};

// ---- Nodes of units 13 and 16 ------------------------------------------------------------------

TEST_F(C7753ProcessingTest, MasterNodesActInSoftwareOnlyOnSpdif) {
  auto board = Board::Evaluation();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  auto* mute = NodeOf<C7753FeatureUnit13MuteNode>(*board, chip::kMasterUnit, 0);
  auto* volume = NodeOf<C7753FeatureUnit13VolumeNode>(*board, chip::kMasterUnit, 1);
  ASSERT_TRUE(mute && volume);

  // Gains are the levels as powers of ten: silence is 0, -6 dB is 10^-0.3.
  ASSERT_EQ(volume->SetLevel(0, LEVEL_MINUS_INFINITY), STATUS_SUCCESS);
  ASSERT_EQ(volume->SetLevel(1, -6 * kDb), STATUS_SUCCESS);
  EXPECT_EQ(volume->GetGain(0), 0.0f);
  EXPECT_NEAR(volume->GetGain(1), std::pow(10.0f, -0.3f), 1e-6f);
  ASSERT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);

  const WAVEFORMATEXTENSIBLE pcm = Format(8);
  for (ULONG type : {ULONG{PIN_CATEGORY_HP}, ULONG{PIN_CATEGORY_SPDIF}}) {
    SCOPED_TRACE(type);
    mute->SetOutputType(type, nullptr);
    volume->SetOutputType(type, nullptr);
    Channels volumeIn(8), muteIn(8);
    ASSERT_EQ(volume->Process(&pcm, volumeIn.pointers.data(), 16), STATUS_SUCCESS);
    ASSERT_EQ(mute->Process(&pcm, muteIn.pointers.data(), 16), STATUS_SUCCESS);
    if (type == PIN_CATEGORY_HP) {
      EXPECT_TRUE(volumeIn.Untouched());
      EXPECT_TRUE(muteIn.Untouched());
    } else {
      for (ULONG c = 0; c < 8; ++c) EXPECT_TRUE(volumeIn.Scaled(c, volume->GetGain(c))) << c;
      EXPECT_TRUE(muteIn.Scaled(0, 0.0f) && muteIn.Scaled(7, 0.0f));
    }
  }
}

TEST_F(C7753ProcessingTest, SpdifRecordingMuteFollowsItsOwnSelectorInput) {
  // In the full layout S/PDIF is the selector's third input; without the
  // microphone's recording unit it is the second.
  for (const auto& [set, spdifInput] :
       {std::pair{test7753::Switches{}, 3u}, std::pair{test7753::Switches{{C7753_DISABLE_MIC_IN_REC_UNIT, 1}}, 2u}}) {
    SCOPED_TRACE(spdifInput);
    auto board = Board::Evaluation();
    board->PutSwitches(set);
    ASSERT_EQ(board->Start(), STATUS_SUCCESS);
    auto* mute = NodeOf<C7753FeatureUnit16MuteNode>(*board, chip::kSpdifRecordUnit, 0);
    auto* selector = NodeOf<CUacSelectorNode>(*board, chip::kRecordSelector, 0);
    ASSERT_TRUE(mute && selector);
    ASSERT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
    const WAVEFORMATEXTENSIBLE pcm = Format(2);
    for (ULONG input = 1; input <= spdifInput; ++input) {
      ASSERT_EQ(selector->SetInput(input), STATUS_SUCCESS);
      Channels in(2);
      mute->Process(&pcm, in.pointers.data(), 16);
      EXPECT_EQ(in.Untouched(), input != spdifInput) << input;
    }
  }
}

// ---- Software mute, LED switch ---------------------------------------------------------------------

TEST_F(C7753ProcessingTest, SoftwareMuteNeverReachesTheDevice) {
  Board board(C7753_SOFT_MUTE_VENDOR, C7753_SOFT_MUTE_PRODUCT, 0, 0);
  ASSERT_EQ(board.Start(), STATUS_SUCCESS);
  auto* mute = NodeOf<C7753SoftwareMuteNode>(board, chip::kMicRecordUnit, 0);
  ASSERT_NE(mute, nullptr);
  board.Device().ClearRequests();
  ASSERT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
  EXPECT_TRUE(board.Device().Requests().empty());
  EXPECT_EQ(board.DeviceMute(chip::kMicRecordUnit), 0);
  UCHAR stored = 0;
  WCHAR name[32];
  RtlStringCchPrintfW(name, 32, u"Unit%02d_ 0_0", static_cast<int>(mute->GetId()));
  ASSERT_EQ(AccessSetting(board.Fdo(), SETTINGS_READ, &stored, 1, name), STATUS_SUCCESS);
  EXPECT_EQ(stored, 1);
  const WAVEFORMATEXTENSIBLE pcm = Format(2);
  Channels in(2);
  mute->Process(&pcm, in.pointers.data(), 16);
  EXPECT_TRUE(in.Scaled(0, 0.0f) && in.Scaled(1, 0.0f));
}

TEST_F(C7753ProcessingTest, LedSwitchWritesTheLedBitsAndKeepsOnlyWhatTheCodecTook) {
  Board board(C7753_LED_SWITCH_VENDOR, C7753_LED_SWITCH_PRODUCT, 0, 0);
  ASSERT_EQ(board.Start(), STATUS_SUCCESS);
  // The generic nodes (mute, volume), then the switch.
  auto* led = NodeOf<C7753LedSwitchNode>(board, chip::kMicRecordUnit, 2);
  ASSERT_NE(led, nullptr);
  EXPECT_EQ(led->GetType(), NODE_TYPE_BOARD_SWITCH);
  board.TakeCodecWrites();
  ASSERT_EQ(led->SetValue(0, 1), STATUS_SUCCESS);
  EXPECT_EQ(board.TakeCodecWrites(), (Writes{{1, 0x3012}}));
  ASSERT_EQ(led->SetValue(0, 0), STATUS_SUCCESS);
  EXPECT_EQ(board.TakeCodecWrites(), (Writes{{1, 0x3032}}));
  EXPECT_EQ(led->SetValue(1, 1), STATUS_INVALID_PARAMETER);

  sim::ControlFault refused;
  refused.match.type = BMREQUEST_CLASS;
  refused.match.request = HID_SET_REPORT;
  board.Device().AddFault(refused);
  EXPECT_FALSE(NT_SUCCESS(led->SetValue(0, 1)));
  UCHAR value = 9;
  ASSERT_EQ(led->GetValue(0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0);
  WCHAR name[32];
  RtlStringCchPrintfW(name, 32, u"Unit%02d_ 0_0", static_cast<int>(led->GetId()));
  ASSERT_EQ(AccessSetting(board.Fdo(), SETTINGS_READ, &value, 1, name), STATUS_SUCCESS);
  EXPECT_EQ(value, 0);
}

// ---- The processors on their own ------------------------------------------------------------------

TEST_F(C7753ProcessingTest, ProcessorsTouchOnlyWhatTheyMay) {
  auto* gain = new (NonPagedPool, kTag) CRenderGainNode(nullptr);
  auto* swap = new (NonPagedPool, kTag) C7753ChannelSwapProcessor(nullptr);
  gain->NonDelegatingAddRef();
  swap->NonDelegatingAddRef();

  const WAVEFORMATEXTENSIBLE pcm2 = Format(2), float2 = Format(2, 3, 32), pcm6 = Format(6), pcm8 = Format(8),
                             pcm10 = Format(10), float8 = Format(8, 3, 32);
  const struct {
    const char* name;
    IDspProcessor* processor;
    ULONG mode;
    const WAVEFORMATEXTENSIBLE* format;
    float gain;  // on every channel; < 0: channel pairs 4-5 and 6-7 traded
  } cases[] = {
      {"gain passes", gain, 0, &pcm2, 1.0f},
      {"gain attenuates", gain, 1, &pcm2, 0.25f},
      {"gain silences", gain, 2, &pcm2, 0.0f},
      {"gain leaves float", gain, 2, &float2, 1.0f},
      {"gain leaves ten channels", gain, 2, &pcm10, 1.0f},
      {"swap trades eight channels", swap, 0, &pcm8, -1.0f},
      {"swap leaves six", swap, 0, &pcm6, 1.0f},
      {"swap leaves float", swap, 0, &float8, 1.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    gain->SetMode(c.mode);
    Channels in(c.format->Format.nChannels);
    std::vector<float*> pointers = in.pointers;
    ASSERT_EQ(c.processor->Process(c.format, pointers.data(), 16), STATUS_SUCCESS);
    if (c.gain < 0) {
      const std::vector<ULONG> order = {0, 1, 2, 3, 6, 7, 4, 5};
      for (ULONG i = 0; i < 8; ++i) EXPECT_EQ(pointers[i], in.pointers[order[i]]) << i;
    } else {
      EXPECT_EQ(pointers, in.pointers);
      for (ULONG ch = 0; ch < c.format->Format.nChannels; ++ch) EXPECT_TRUE(in.Scaled(ch, c.gain)) << ch;
    }
  }
  EXPECT_EQ(gain->Reserved1(), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(swap->Reserved2(), STATUS_NOT_IMPLEMENTED);
  gain->NonDelegatingRelease();
  swap->NonDelegatingRelease();

  // The software mute zeroes another format's chunk only within a channel
  // buffer's 2,048 bytes, and never a stream of more than eight channels.
  const WAVEFORMATEXTENSIBLE ac3 = Format(2, 0x0092);
  std::vector<UCHAR> chunk(4096, 0x55);
  C7753MuteStream(&ac3, chunk.data(), 512);
  EXPECT_TRUE(std::all_of(chunk.begin(), chunk.begin() + 2048, [](UCHAR b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(chunk.begin() + 2048, chunk.end(), [](UCHAR b) { return b == 0x55; }));
  std::fill(chunk.begin(), chunk.end(), 0x55);
  C7753MuteStream(&ac3, chunk.data(), 513);
  EXPECT_TRUE(std::all_of(chunk.begin(), chunk.end(), [](UCHAR b) { return b == 0x55; }));
  Channels ten(10);
  C7753MuteStream(&pcm10, ten.pointers.data(), 16);
  EXPECT_TRUE(ten.Untouched());
}

// An engine whose format the test sets, to run the signal path on its own.
class EngineProbe : public CStreamEngine {
 public:
  using CStreamEngine::CStreamEngine;
  void SetCurrentFormat(const WAVEFORMATEXTENSIBLE& format) { m_CurrentWaveFormat = format; }
};

TEST_F(C7753ProcessingTest, EveryChunkOfAnEightChannelStreamComesOutSwapped) {
  auto* engine = new (NonPagedPool, kTag) EngineProbe(nullptr, 0);
  engine->NonDelegatingAddRef();
  ASSERT_EQ(engine->Init(STREAM_DIRECTION_RENDER), STATUS_SUCCESS);
  ASSERT_EQ(engine->AllocateWorkBuffers(), STATUS_SUCCESS);
  auto* swap = new (NonPagedPool, kTag) C7753ChannelSwapProcessor(nullptr);
  swap->NonDelegatingAddRef();
  ASSERT_EQ(engine->AddNodeProcessor(swap), STATUS_SUCCESS);
  swap->NonDelegatingRelease();
  engine->SetCurrentFormat(Format(8));

  // Three chunks (512, 512, 176 frames); sample = channel * 1000 + frame % 100.
  constexpr ULONG kFrames = 1200;
  std::vector<SHORT> samples(kFrames * 8);
  for (ULONG f = 0; f < kFrames; ++f)
    for (ULONG c = 0; c < 8; ++c) samples[f * 8 + c] = static_cast<SHORT>(c * 1000 + f % 100);
  {
    platform::IrqlScope dispatch(DISPATCH_LEVEL);
    ASSERT_EQ(engine->ProcessBuffer(samples.data(), static_cast<LONG>(samples.size() * sizeof(SHORT))),
              STATUS_SUCCESS);
  }
  const ULONG from[8] = {0, 1, 2, 3, 6, 7, 4, 5};
  for (ULONG f = 0; f < kFrames; ++f)
    for (ULONG c = 0; c < 8; ++c)
      ASSERT_EQ(samples[f * 8 + c], static_cast<SHORT>(from[c] * 1000 + f % 100)) << "frame " << f << " channel " << c;
  engine->NonDelegatingRelease();
}

// ---- Render stream ------------------------------------------------------------------------------

class C7753RenderTest : public C7753ProcessingTest {
 protected:
  // The render engine's advertised formats at 96 kHz and in AC-3, and how
  // many alternate-setting records it keeps.
  struct Lists {
    ULONG pcm96k = 0, ac3 = 0, offered = 0, records = 0;
  };
  static Lists ListsOf(CUsbStreamEngine* engine) {
    Lists l;
    l.offered = engine->GetFormatCount();
    l.records = engine->GetFormatRecordCount();
    for (ULONG i = 0; i < l.offered; ++i) {
      WAVEFORMATEXTENSIBLE f{};
      engine->GetFormat(i, &f);
      const USHORT tag = static_cast<USHORT>(f.SubFormat.Data1);
      if (tag == 0x0092) ++l.ac3;
      if (tag == WAVE_FORMAT_PCM && f.Format.nSamplesPerSec == 96000) ++l.pcm96k;
    }
    return l;
  }
  static NTSTATUS SelectAndName(Board& board, PinCategory type) {
    NTSTATUS status = board.Unit<C7753OutputTerminal>(chip::kSpeakerTerminal)->SelectType(type);
    if (NT_SUCCESS(status)) status = board.Engine(false)->SetName(u"SPKOut00");
    return status;
  }
  static NTSTATUS Open(CUsbStreamEngine* engine, const WAVEFORMATEXTENSIBLE& format) {
    StreamClientRecord client{};
    client.Kind = CYCLIC_CLIENT_WAVE;
    client.MsPerUrb = 10;
    client.UrbCount = 10;
    client.Format = format;
    ULONG frame = 0;
    NTSTATUS status = engine->OpenForFormat(&client, &frame);
    if (NT_SUCCESS(status)) engine->Close();
    return status;
  }
};

TEST_F(C7753RenderTest, FormatListsFollowTheOutputTypeBackAndForth) {
  auto board = Board::Evaluation();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  CUsbStreamEngine* engine = board->Engine(false);
  const struct {
    PinCategory type;
    ULONG pcm96k, ac3, offered, records;
  } steps[] = {
      // Speaker: the descriptor's formats at 44.1 and 48 kHz on settings 1-4.
      {PIN_CATEGORY_SPK, 0, 0, 8, 8},
      // Headphone: the stereo ones and one 96 kHz format.
      {PIN_CATEGORY_HP, 1, 0, 3, 9},
      {PIN_CATEGORY_SPDIF, 1, 3, 6, 12},
      {PIN_CATEGORY_HP, 1, 0, 3, 9},
      {PIN_CATEGORY_SPDIF, 1, 3, 6, 12},
      {PIN_CATEGORY_SPK, 0, 0, 8, 8},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.type);
    ASSERT_EQ(SelectAndName(*board, s.type), STATUS_SUCCESS);
    const Lists l = ListsOf(engine);
    EXPECT_EQ(l.pcm96k, s.pcm96k);
    EXPECT_EQ(l.ac3, s.ac3);
    EXPECT_EQ(l.offered, s.offered);
    EXPECT_EQ(l.records, s.records);
  }
  // On S/PDIF the 96 kHz formats play on setting 5, AC-3 at 44.1 and 48 kHz on 2.
  ASSERT_EQ(SelectAndName(*board, PIN_CATEGORY_SPDIF), STATUS_SUCCESS);
  for (const auto& [rate, tag, alternate] :
       {std::tuple{96000u, WORD{0x0092}, 5}, std::tuple{96000u, WORD{1}, 5}, std::tuple{44100u, WORD{0x0092}, 2},
        std::tuple{48000u, WORD{0x0092}, 2}}) {
    WAVEFORMATEXTENSIBLE f = Format(2, tag);
    f.Format.nSamplesPerSec = rate;
    f.Format.nAvgBytesPerSec = rate * 4;
    if (tag != WAVE_FORMAT_PCM) f.dwChannelMask = 0;
    UCHAR found = 0;
    ASSERT_EQ(engine->FindAlternateSetting(&f, &found), STATUS_SUCCESS) << rate << " " << tag;
    EXPECT_EQ(found, alternate);
  }
}

TEST_F(C7753RenderTest, OpeningTellsTheCodecTheRateAndThePayload) {
  auto board = Board::Evaluation();
  ASSERT_EQ(board->Start(), STATUS_SUCCESS);
  CUsbStreamEngine* engine = board->Engine(false);
  ASSERT_EQ(SelectAndName(*board, PIN_CATEGORY_SPDIF), STATUS_SUCCESS);
  // A rate the codec has no bits for leaves them; a format the engine does
  // not offer opens nothing.
  WAVEFORMATEXTENSIBLE at32k = Format(2);
  at32k.Format.nSamplesPerSec = 32000;
  at32k.Format.nAvgBytesPerSec = 128000;
  ASSERT_EQ(engine->AddFormat(&at32k, C7753_ALT_SETTING_STEREO), STATUS_SUCCESS);
  board->TakeCodecWrites();

  WAVEFORMATEXTENSIBLE ac3 = Format(2, 0x0092);
  ac3.dwChannelMask = 0;
  WAVEFORMATEXTENSIBLE pcm96k = Format(2);
  pcm96k.Format.nSamplesPerSec = 96000;
  pcm96k.Format.nAvgBytesPerSec = 384000;
  const struct {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
    Writes writes;
  } opens[] = {
      {"AC-3 at 48 kHz", ac3, {{0, 0xA004}, {0, 0xA006}}},
      {"PCM at 96 kHz", pcm96k, {{0, 0xE006}, {0, 0xE004}}},
      {"PCM at 32 kHz", at32k, {{0, 0xE004}}},
  };
  for (const auto& o : opens) {
    SCOPED_TRACE(o.name);
    ASSERT_EQ(Open(engine, o.format), STATUS_SUCCESS);
    EXPECT_EQ(board->TakeCodecWrites(), o.writes);
  }
  WAVEFORMATEXTENSIBLE at22k = at32k;
  at22k.Format.nSamplesPerSec = 22050;
  EXPECT_FALSE(NT_SUCCESS(Open(engine, at22k)));
  EXPECT_TRUE(board->TakeCodecWrites().empty());
}

}  // namespace
