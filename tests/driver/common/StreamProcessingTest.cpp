// The stream engine's software signal path: the conversions to and from
// float channels, the order and chunking of the processor runs, the client
// processor lists, and the buffers and formats it must refuse.
#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver/common/CStreamEngine.h"
#include "dsp/DspFormat.h"
#include "tests/driver/support/TestAudioHal.h"
#include "tests/driver/support/TestNodes.h"
#include "tests/support/KernelTest.h"
#include "topology/CSoftwareMuteNode.h"

namespace {

constexpr ULONG kTestTag = MakeTag("SPrc");

using Log = std::vector<std::string>;
// What a processor does to the data it is given: channel pointers for PCM,
// the interleaved chunk for any other format.
using Action = std::function<void(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames)>;

float* const* Channels(PVOID data) { return static_cast<float* const*>(data); }

// A node processor that logs "<name>:<frames>" for every call, applies its
// action and answers `failOnCall` (1-based) with `failure`.
class FakeNodeProcessor : public IDspProcessor, public CUnknownBase {
 public:
  FakeNodeProcessor(PUNKNOWN outer, Log* log, std::string name, Action action)
      : CUnknownBase(outer), m_Log(log), m_Name(std::move(name)), m_Action(std::move(action)) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (object && IsEqualGUIDAligned(iid, IID_IDspProcessor)) {
      *object = static_cast<IDspProcessor*>(this);
      NonDelegatingAddRef();
      return STATUS_SUCCESS;
    }
    return CUnknownBase::NonDelegatingQueryInterface(iid, object);
  }
  NTSTATUS STDMETHODCALLTYPE Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE ResetLimiters() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override {
    m_Log->push_back(m_Name + ":" + std::to_string(frames));
    lastData = data;
    lastMxcsr = _mm_getcsr();
    if (++calls == failOnCall) return failure;
    if (m_Action) m_Action(format, data, frames);
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE Reset() override { return STATUS_SUCCESS; }

  int calls = 0;
  int failOnCall = 0;
  NTSTATUS failure = STATUS_UNSUCCESSFUL;
  PVOID lastData = nullptr;
  unsigned lastMxcsr = 0;

 private:
  Log* m_Log;
  std::string m_Name;
  Action m_Action;
};

// A stream client's processor: logs "<name>.capture:<frames>" or
// "<name>.render:<frames>" and adds `addend` to channels 0 and 1 on render,
// as the tone prompt mixes itself in.
class FakeToneNode : public IToneNode, public CUnknownBase {
 public:
  FakeToneNode(PUNKNOWN outer, Log* log, std::string name, float addend)
      : CUnknownBase(outer), m_Log(log), m_Name(std::move(name)), m_Addend(addend) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE Init() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE SetRenderEngine(IStreamEngine*) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Play() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Stop() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE ProcessCapture(const WAVEFORMATEXTENSIBLE*, float* const*, ULONG frames) override {
    m_Log->push_back(m_Name + ".capture:" + std::to_string(frames));
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE*, float* const* channels, ULONG frames) override {
    m_Log->push_back(m_Name + ".render:" + std::to_string(frames));
    for (ULONG c = 0; c < 2; ++c)
      for (ULONG i = 0; i < frames; ++i) channels[c][i] += m_Addend;
    return STATUS_SUCCESS;
  }

 private:
  Log* m_Log;
  std::string m_Name;
  float m_Addend;
};

// Lets the tests set the engine's current format and see its lists.
class EngineProbe : public CStreamEngine {
 public:
  using CStreamEngine::CStreamEngine;
  void SetCurrentFormat(const WAVEFORMATEXTENSIBLE& format) { m_CurrentWaveFormat = format; }
  LONG RenderProcessorCount() const { return m_RenderProcessors->GetCount(); }
  LONG CaptureProcessorCount() const { return m_CaptureProcessors->GetCount(); }
};

WAVEFORMATEXTENSIBLE Format(WORD channels, WORD bits, const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM) {
  WAVEFORMATEXTENSIBLE f = testsupport::PcmFormat(channels, 48000, bits);
  f.SubFormat = subFormat;
  return f;
}

// Little-endian samples of any of the three depths.
void PutSample(std::vector<UCHAR>& bytes, size_t index, WORD bits, int32_t value) {
  for (size_t b = 0; b < bits / 8u; ++b) bytes[index * (bits / 8u) + b] = static_cast<UCHAR>(value >> (8 * b));
}
int32_t GetSample(const std::vector<UCHAR>& bytes, size_t index, WORD bits) {
  uint32_t raw = 0;
  for (size_t b = 0; b < bits / 8u; ++b) raw |= uint32_t(bytes[index * (bits / 8u) + b]) << (8 * b);
  const unsigned shift = 32 - bits;
  return static_cast<int32_t>(raw << shift) >> shift;
}

class StreamProcessingTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    m_Engine = NewEngine(STREAM_DIRECTION_RENDER);
  }
  void TearDown() override {
    for (CUnknownBase* object : m_Objects) object->NonDelegatingRelease();
    if (m_Engine) m_Engine->NonDelegatingRelease();
    KernelTest::TearDown();
  }

  EngineProbe* NewEngine(ULONG direction) {
    auto* engine = new (NonPagedPool, kTestTag) EngineProbe(nullptr, 0);
    engine->NonDelegatingAddRef();
    EXPECT_EQ(STATUS_SUCCESS, engine->Init(direction));
    EXPECT_EQ(STATUS_SUCCESS, engine->AllocateWorkBuffers());
    return engine;
  }

  // A node processor on the engine's list; the test keeps a reference.
  FakeNodeProcessor* AddNode(const std::string& name, Action action = {}) {
    auto* node = new (NonPagedPool, kTestTag) FakeNodeProcessor(nullptr, &m_Log, name, std::move(action));
    node->NonDelegatingAddRef();
    m_Objects.push_back(node);
    EXPECT_EQ(STATUS_SUCCESS, m_Engine->AddNodeProcessor(node));
    return node;
  }
  FakeToneNode* NewTone(const std::string& name, float addend = 0.0f) {
    auto* tone = new (NonPagedPool, kTestTag) FakeToneNode(nullptr, &m_Log, name, addend);
    tone->NonDelegatingAddRef();
    m_Objects.push_back(tone);
    return tone;
  }

  // The pipes call from their send or capture path at DISPATCH_LEVEL.
  NTSTATUS Process(std::vector<UCHAR>& buffer, LONG bytes) {
    platform::IrqlScope dispatch(DISPATCH_LEVEL);
    return m_Engine->ProcessBuffer(buffer.data(), bytes);
  }
  NTSTATUS Process(std::vector<UCHAR>& buffer) { return Process(buffer, static_cast<LONG>(buffer.size())); }

  EngineProbe* m_Engine = nullptr;
  Log m_Log;
  std::vector<CUnknownBase*> m_Objects;
};

TEST_F(StreamProcessingTest, PcmRoundTripsThroughFloatWithTheProcessorsChanges) {
  // Channel 0 is halved (16 and 32 bits truncate toward zero, 24 bits rounds
  // to nearest even), channel 1 negated (negative full scale saturates).
  struct Case {
    WORD bits;
    int32_t in0, in1;
    float seen0;  // channel 0 as float
    int32_t out0, out1;
  };
  const Case cases[] = {
      {16, -3, -32768, -3.0f / 32768, -1, 32767},
      {16, 32767, 5, 32767.0f / 32768, 16383, -5},
      {24, 0x7FFFFF, 3, 8388607.0f / 8388608, 4194304, -3},
      {24, 3, -8388608, 3.0f / 8388608, 2, 8388607},
      {24, -5, 0, -5.0f / 8388608, -2, 0},
      {32, 3 << 8, INT32_MIN, 768.0f / 2147483648.0f, 384, INT32_MAX},
      {32, -(7 << 8) - 0, 1 << 30, -1792.0f / 2147483648.0f, -896, -(1 << 30)},
      {32, 3, 0, 3.0f / 2147483648.0f, 1, 0},
  };
  float seen = 0;
  AddNode("half-negate", [&](const WAVEFORMATEXTENSIBLE*, PVOID data, ULONG frames) {
    seen = Channels(data)[0][0];
    for (ULONG i = 0; i < frames; ++i) {
      Channels(data)[0][i] *= 0.5f;
      Channels(data)[1][i] = -Channels(data)[1][i];
    }
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits, " << c.in0 << " / " << c.in1);
    m_Engine->SetCurrentFormat(Format(2, c.bits));
    std::vector<UCHAR> buffer(2 * c.bits / 8);
    PutSample(buffer, 0, c.bits, c.in0);
    PutSample(buffer, 1, c.bits, c.in1);
    ASSERT_EQ(STATUS_SUCCESS, Process(buffer));
    EXPECT_EQ(c.seen0, seen);
    EXPECT_EQ(c.out0, GetSample(buffer, 0, c.bits));
    EXPECT_EQ(c.out1, GetSample(buffer, 1, c.bits));
  }

  // Above full scale saturates on the way back.
  AddNode("overdrive", [](const WAVEFORMATEXTENSIBLE*, PVOID data, ULONG) {
    Channels(data)[0][0] = 1.5f;
    Channels(data)[1][0] = -1.5f;
  });
  m_Engine->SetCurrentFormat(Format(2, 16));
  std::vector<UCHAR> buffer(4, 0);
  ASSERT_EQ(STATUS_SUCCESS, Process(buffer));
  EXPECT_EQ(32767, GetSample(buffer, 0, 16));
  EXPECT_EQ(-32768, GetSample(buffer, 1, 16));
}

TEST_F(StreamProcessingTest, BuffersRunIn512FrameChunksNodesFirstThenCaptureThenRenderClients) {
  FakeNodeProcessor* first = AddNode("a", [](const WAVEFORMATEXTENSIBLE*, PVOID data, ULONG frames) {
    for (ULONG i = 0; i < frames; ++i) Channels(data)[0][i] *= 0.5f;
  });
  AddNode("b");
  FakeToneNode* tone = NewTone("tone", 0.25f);
  FakeToneNode* listener = NewTone("other");
  ASSERT_EQ(STATUS_SUCCESS, m_Engine->AddClientProcessor(CYCLIC_CLIENT_TONE, tone));
  ASSERT_EQ(STATUS_SUCCESS, m_Engine->AddClientProcessor(2, listener));

  // 1,000 stereo frames, every sample 0.5 of full scale.
  m_Engine->SetCurrentFormat(Format(2, 16));
  std::vector<UCHAR> buffer(1000 * 4);
  for (size_t i = 0; i < 2000; ++i) PutSample(buffer, i, 16, 16384);

  // The path forces flush-to-zero and round-to-nearest for its processors
  // and gives the caller its own settings back.
  const unsigned callerMxcsr = _mm_getcsr();
  _mm_setcsr((callerMxcsr & ~0x8000u) | 0x6000u);
  const unsigned before = _mm_getcsr();
  NTSTATUS status = Process(buffer);
  const unsigned after = _mm_getcsr();
  _mm_setcsr(callerMxcsr);
  ASSERT_EQ(STATUS_SUCCESS, status);
  EXPECT_EQ(before, after);
  EXPECT_EQ(0x8000u, first->lastMxcsr & 0xE000u);

  EXPECT_EQ((Log{"a:512", "b:512", "other.capture:512", "tone.render:512", "a:488", "b:488", "other.capture:488",
                 "tone.render:488"}),
            m_Log);
  // The tone is mixed in after the nodes: 0.5 x 0.5 + 0.25 on channel 0,
  // 0.5 + 0.25 on channel 1, in both chunks.
  for (size_t frame : {size_t(0), size_t(511), size_t(512), size_t(999)}) {
    SCOPED_TRACE(frame);
    EXPECT_EQ(16384, GetSample(buffer, 2 * frame, 16));
    EXPECT_EQ(24576, GetSample(buffer, 2 * frame + 1, 16));
  }
}

TEST_F(StreamProcessingTest, WithoutProcessorsOrFramesNothingIsTouched) {
  m_Engine->SetCurrentFormat(Format(2, 24));
  std::vector<UCHAR> buffer(6 * 10);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<UCHAR>(i * 37 + 1);
  const std::vector<UCHAR> original = buffer;
  EXPECT_EQ(STATUS_SUCCESS, Process(buffer));
  EXPECT_EQ(original, buffer);

  AddNode("a");
  EXPECT_EQ(STATUS_SUCCESS, Process(buffer, 0));
  EXPECT_TRUE(m_Log.empty());
}

TEST_F(StreamProcessingTest, FloatStreamsReachOnlyTheNodeProcessorsAsTheyStand) {
  AddNode("a", [](const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    auto* samples = static_cast<float*>(data);
    for (ULONG i = 0; i < frames * format->Format.nChannels; ++i) samples[i] *= 2.0f;
  });
  ASSERT_EQ(STATUS_SUCCESS, m_Engine->AddRenderProcessor(NewTone("tone", 0.25f)));
  m_Engine->SetCurrentFormat(Format(2, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));

  std::vector<UCHAR> buffer(600 * 8);
  std::vector<float> samples(1200, 0.375f);
  samples[1] = 3.0f;  // float data is not clipped by the path
  memcpy(buffer.data(), samples.data(), buffer.size());
  ASSERT_EQ(STATUS_SUCCESS, Process(buffer));
  memcpy(samples.data(), buffer.data(), buffer.size());
  EXPECT_EQ(0.75f, samples[0]);
  EXPECT_EQ(6.0f, samples[1]);
  EXPECT_EQ(0.75f, samples[1199]);
  EXPECT_EQ((Log{"a:512", "a:88"}), m_Log);
}

TEST_F(StreamProcessingTest, TheSoftwareMuteNodeSilencesTheStream) {
  auto* mute = new (NonPagedPool, MakeTag("UAC1")) CSoftwareMuteNode(nullptr, 9);
  mute->NonDelegatingAddRef();
  ASSERT_EQ(STATUS_SUCCESS, mute->Init(1, 1));
  ASSERT_EQ(STATUS_SUCCESS, m_Engine->AttachNode(mute));

  for (const WAVEFORMATEXTENSIBLE& format :
       {Format(2, 16), Format(8, 24), Format(2, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)}) {
    SCOPED_TRACE(testing::Message() << format.Format.nChannels << " x " << format.Format.wBitsPerSample);
    m_Engine->SetCurrentFormat(format);
    std::vector<UCHAR> buffer(size_t(format.Format.nBlockAlign) * 700, 0x11);
    const std::vector<UCHAR> original = buffer;
    ASSERT_EQ(STATUS_SUCCESS, mute->SetValue(0, 0));
    ASSERT_EQ(STATUS_SUCCESS, Process(buffer));
    EXPECT_EQ(original, buffer);

    ASSERT_EQ(STATUS_SUCCESS, mute->SetValue(0, 1));
    ASSERT_EQ(STATUS_SUCCESS, Process(buffer));
    EXPECT_EQ(std::vector<UCHAR>(buffer.size(), 0), buffer);
  }
  mute->NonDelegatingRelease();
}

TEST_F(StreamProcessingTest, AFailingProcessorLeavesItsChunkAndTheRestAsTheyWere) {
  FakeNodeProcessor* failing = AddNode("a", [](const WAVEFORMATEXTENSIBLE*, PVOID data, ULONG frames) {
    for (ULONG i = 0; i < frames; ++i) Channels(data)[0][i] = 0.0f;
  });
  failing->failOnCall = 2;
  failing->failure = STATUS_DEVICE_NOT_READY;
  AddNode("b");
  ASSERT_EQ(STATUS_SUCCESS, m_Engine->AddRenderProcessor(NewTone("tone")));

  m_Engine->SetCurrentFormat(Format(1, 16));
  std::vector<UCHAR> buffer(1500 * 2);
  for (size_t i = 0; i < 1500; ++i) PutSample(buffer, i, 16, 1000);
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, Process(buffer));
  EXPECT_EQ((Log{"a:512", "b:512", "tone.render:512", "a:512"}), m_Log);
  EXPECT_EQ(0, GetSample(buffer, 511, 16));
  EXPECT_EQ(1000, GetSample(buffer, 512, 16));
  EXPECT_EQ(1000, GetSample(buffer, 1499, 16));
}

TEST_F(StreamProcessingTest, BuffersAndFormatsThePathCannotCarryAreRefused) {
  FakeNodeProcessor* node = AddNode("a");
  WAVEFORMATEXTENSIBLE squeezed = Format(2, 16);
  squeezed.Format.nBlockAlign = 2;
  WAVEFORMATEXTENSIBLE squeezedFloat = Format(2, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  squeezedFloat.Format.nBlockAlign = 4;
  WAVEFORMATEXTENSIBLE none{};
  struct Case {
    const char* what;
    WAVEFORMATEXTENSIBLE format;
    LONG bytes;
    bool nullBuffer;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"partial frame", Format(2, 16), 6, false, STATUS_UNSUCCESSFUL},
      {"negative size", Format(2, 16), -8, false, STATUS_INVALID_PARAMETER},
      {"no buffer", Format(2, 16), 8, true, STATUS_INVALID_PARAMETER},
      {"no format yet", none, 8, false, STATUS_INVALID_DEVICE_STATE},
      {"ten channels", Format(10, 16), 40, false, STATUS_NOT_SUPPORTED},
      {"ten float channels", Format(10, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT), 80, false, STATUS_NOT_SUPPORTED},
      {"8-bit PCM", Format(2, 8), 8, false, STATUS_NOT_SUPPORTED},
      {"frames shorter than their samples", squeezed, 8, false, STATUS_NOT_SUPPORTED},
      {"float frames shorter than their samples", squeezedFloat, 8, false, STATUS_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    platform::debug::Clear();
    m_Engine->SetCurrentFormat(c.format);
    std::vector<UCHAR> buffer(80, 0x5A);
    {
      platform::IrqlScope dispatch(DISPATCH_LEVEL);
      EXPECT_EQ(c.expected, m_Engine->ProcessBuffer(c.nullBuffer ? nullptr : buffer.data(), c.bytes));
    }
    EXPECT_EQ(std::vector<UCHAR>(80, 0x5A), buffer);
  }
  EXPECT_EQ(0, node->calls);

  platform::debug::Clear();
  m_Engine->SetCurrentFormat(Format(2, 16));
  std::vector<UCHAR> buffer(8);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Process(buffer, 6));
  EXPECT_TRUE(platform::debug::Contains("0 != lBufSize(6) Div m_CurrentWaveFormat.Format.nBlockAlign(4) \n"));

  // The single-chunk runs take no more frames than the channel buffers hold.
  ASSERT_EQ(STATUS_SUCCESS, m_Engine->AddRenderProcessor(NewTone("tone")));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, m_Engine->RunRenderProcessorsFloat(513));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, m_Engine->RunNodeProcessorsFloat(nullptr, 513, WAVE_FORMAT_PCM));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, m_Engine->RunNodeProcessorsFloat(nullptr, 4, WAVE_FORMAT_IEEE_FLOAT));
  EXPECT_EQ(STATUS_SUCCESS, m_Engine->RunRenderProcessorsFloat(512));
  EXPECT_EQ(0, node->calls);
}

TEST_F(StreamProcessingTest, TheSingleListRunsConvertLikeTheWholePath) {
  FakeNodeProcessor* node = AddNode("a", [](const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    if (EffectiveFormatTag(*format) != WAVE_FORMAT_PCM) return;
    for (ULONG i = 0; i < frames; ++i) Channels(data)[1][i] = 0.5f;
  });
  ASSERT_EQ(STATUS_SUCCESS, m_Engine->AddRenderProcessor(NewTone("tone", 0.25f)));
  ASSERT_EQ(STATUS_SUCCESS, m_Engine->AddCaptureProcessor(NewTone("other")));
  m_Engine->SetCurrentFormat(Format(2, 16));
  std::vector<UCHAR> buffer(600 * 4, 0);

  // Client processors only ever see float channels, here too.
  EXPECT_EQ(STATUS_SUCCESS, m_Engine->RunRenderProcessors(buffer.data(), LONG(buffer.size())));
  EXPECT_EQ(8192, GetSample(buffer, 0, 16));
  EXPECT_EQ(8192, GetSample(buffer, 1199, 16));
  EXPECT_EQ(STATUS_SUCCESS, m_Engine->RunCaptureProcessors(buffer.data(), LONG(buffer.size())));
  EXPECT_EQ(STATUS_SUCCESS, m_Engine->RunNodeProcessors(buffer.data(), LONG(buffer.size())));
  EXPECT_EQ(8192, GetSample(buffer, 0, 16));
  EXPECT_EQ(16384, GetSample(buffer, 1199, 16));
  EXPECT_EQ((Log{"tone.render:512", "tone.render:88", "other.capture:512", "other.capture:88", "a:512", "a:88"}),
            m_Log);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, m_Engine->RunNodeProcessors(buffer.data(), 6));

  // The chunk runs hand the node processors the engine's channel buffers.
  m_Log.clear();
  EXPECT_EQ(STATUS_SUCCESS, m_Engine->RunNodeProcessorsFloat(buffer.data(), 16, WAVE_FORMAT_PCM));
  EXPECT_NE(static_cast<PVOID>(buffer.data()), node->lastData);
  EXPECT_EQ(STATUS_SUCCESS, m_Engine->RunCaptureProcessorsFloat(16));
  EXPECT_EQ(STATUS_SUCCESS, m_Engine->RunRenderProcessorsFloat(16));
  // A tag that is not the format's would have the processors read samples
  // as channel pointers.
  EXPECT_EQ(STATUS_INVALID_PARAMETER, m_Engine->RunNodeProcessorsFloat(buffer.data(), 16, WAVE_FORMAT_IEEE_FLOAT));
  EXPECT_EQ((Log{"a:16", "other.capture:16", "tone.render:16"}), m_Log);
  // Any other format: the interleaved buffer itself.
  m_Engine->SetCurrentFormat(Format(2, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, m_Engine->RunNodeProcessorsFloat(buffer.data(), 16, WAVE_FORMAT_PCM));
  EXPECT_EQ(STATUS_SUCCESS, m_Engine->RunNodeProcessorsFloat(buffer.data(), 16, WAVE_FORMAT_IEEE_FLOAT));
  EXPECT_EQ(static_cast<PVOID>(buffer.data()), node->lastData);
}

TEST_F(StreamProcessingTest, ClientProcessorsJoinTheListTheirKindAndTheEngineDirectionSelect) {
  struct Case {
    ULONG direction;
    ULONG kind;
    LONG render, capture;
    NTSTATUS removal;
  };
  const Case cases[] = {
      {STREAM_DIRECTION_RENDER, CYCLIC_CLIENT_TONE, 1, 0, STATUS_SUCCESS},
      {STREAM_DIRECTION_RENDER, 2, 0, 1, STATUS_SUCCESS},
      {STREAM_DIRECTION_RENDER, CYCLIC_CLIENT_WAVE, 0, 0, STATUS_INVALID_PARAMETER},
      {STREAM_DIRECTION_CAPTURE, CYCLIC_CLIENT_TONE, 0, 1, STATUS_SUCCESS},
      {STREAM_DIRECTION_CAPTURE, 2, 1, 0, STATUS_SUCCESS},
      {STREAM_DIRECTION_CAPTURE, CYCLIC_CLIENT_ASIO, 0, 0, STATUS_INVALID_PARAMETER},
  };
  FakeToneNode* tone = NewTone("tone");
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "direction " << c.direction << " kind " << c.kind);
    EngineProbe* engine = NewEngine(c.direction);
    EXPECT_EQ(STATUS_SUCCESS, engine->AddClientProcessor(c.kind, tone));
    EXPECT_EQ(c.render, engine->RenderProcessorCount());
    EXPECT_EQ(c.capture, engine->CaptureProcessorCount());
    EXPECT_EQ(1 + c.render + c.capture, testsupport::RefCount(tone));
    EXPECT_EQ(c.removal, engine->RemoveClientProcessor(c.kind, tone));
    EXPECT_EQ(1, testsupport::RefCount(tone));
    if (NT_SUCCESS(c.removal)) {
      EXPECT_EQ(STATUS_UNSUCCESSFUL, engine->RemoveClientProcessor(c.kind, tone));
    }
    engine->NonDelegatingRelease();
  }

  // Only that very processor is taken off; the rest go with the engine.
  FakeToneNode* other = NewTone("other");
  ASSERT_EQ(STATUS_SUCCESS, m_Engine->AddRenderProcessor(tone));
  ASSERT_EQ(STATUS_SUCCESS, m_Engine->AddRenderProcessor(other));
  ASSERT_EQ(STATUS_SUCCESS, m_Engine->AddCaptureProcessor(other));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, m_Engine->RemoveCaptureProcessor(tone));
  EXPECT_EQ(STATUS_SUCCESS, m_Engine->RemoveRenderProcessor(tone));
  EXPECT_EQ(1, m_Engine->RenderProcessorCount());
  EXPECT_EQ(1, testsupport::RefCount(tone));
  EXPECT_EQ(3, testsupport::RefCount(other));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, m_Engine->AddRenderProcessor(nullptr));

  // A list that cannot grow gives the reference back.
  platform::pool::FailAllocationsWithTag(POINTER_LIST_TAG);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, m_Engine->AddRenderProcessor(tone));
  platform::pool::ClearFailures();
  EXPECT_EQ(1, testsupport::RefCount(tone));

  m_Engine->ReleaseCaptureProcessors();
  EXPECT_EQ(0, m_Engine->CaptureProcessorCount());
  EXPECT_EQ(2, testsupport::RefCount(other));
  m_Engine->NonDelegatingRelease();
  m_Engine = nullptr;
  EXPECT_EQ(1, testsupport::RefCount(other));
}

}  // namespace
