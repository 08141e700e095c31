// The mute the driver carries out itself on a stream's buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/KernelTest.h"
#include "topology/CSoftwareMuteNode.h"

namespace {

constexpr GUID kFloatSubFormat =
    DEFINE_GUID_VALUE(0x00000003, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);

WAVEFORMATEXTENSIBLE Format(WORD tag, WORD channels, WORD bits, const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = tag;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = 48000;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * 48000u;
  f.Format.cbSize = tag == WAVE_FORMAT_EXTENSIBLE ? 22 : 0;
  f.SubFormat = subFormat;
  return f;
}

class SoftwareMuteNodeTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    m_Node = new (NonPagedPool, MakeTag("UAC1")) CSoftwareMuteNode(nullptr, 7);
    m_Node->NonDelegatingAddRef();
    ASSERT_EQ(m_Node->Init(3, 1), STATUS_SUCCESS);
  }
  void TearDown() override {
    m_Node->NonDelegatingRelease();
    KernelTest::TearDown();
  }
  IDspProcessor* Processor() {
    PVOID object = nullptr;
    EXPECT_EQ(m_Node->NonDelegatingQueryInterface(IID_IDspProcessor, &object), STATUS_SUCCESS);
    static_cast<IDspProcessor*>(object)->Release();
    return static_cast<IDspProcessor*>(object);
  }

  CSoftwareMuteNode* m_Node = nullptr;
};

TEST_F(SoftwareMuteNodeTest, IsAOneChannelMuteFedByItsSource) {
  EXPECT_EQ(m_Node->GetType(), NODE_TYPE_MUTE);
  ULONG source = 0, count = 1;
  EXPECT_EQ(m_Node->GetSourceIds(&count, &source), STATUS_SUCCESS);
  EXPECT_EQ(source, 3u);
  // The processor is the first interface of the object.
  EXPECT_EQ(static_cast<PVOID>(Processor()), static_cast<PVOID>(m_Node));
  for (ULONG outputType : {PIN_CATEGORY_STREAM, PIN_CATEGORY_SPK, PIN_CATEGORY_HP, PIN_CATEGORY_HEADSET}) {
    m_Node->SetOutputType(outputType, nullptr);
    ULONG channels = 0;
    EXPECT_EQ(m_Node->GetChannelCount(&channels), STATUS_SUCCESS);
    EXPECT_EQ(channels, 1u) << outputType;
  }
  UCHAR value = 9;
  EXPECT_EQ(m_Node->GetValue(0, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0);  // starts unmuted
  EXPECT_EQ(m_Node->SetValue(1, 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(m_Node->GetValue(1, &value), STATUS_INVALID_PARAMETER);

  IDspProcessor* processor = Processor();
  EXPECT_EQ(processor->Reserved1(), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(processor->Reserved2(), STATUS_NOT_IMPLEMENTED);
  WAVEFORMATEXTENSIBLE f = Format(WAVE_FORMAT_PCM, 2, 16);
  EXPECT_EQ(processor->SetFormat(&f), STATUS_SUCCESS);
  EXPECT_EQ(processor->ResetLimiters(), STATUS_SUCCESS);
  EXPECT_EQ(processor->Reset(), STATUS_SUCCESS);
}

TEST_F(SoftwareMuteNodeTest, MoreThanOneChannelIsRefused) {
  auto* node = new (NonPagedPool, MakeTag("UAC1")) CSoftwareMuteNode(nullptr, 1);
  node->NonDelegatingAddRef();
  EXPECT_EQ(node->Init(0, 2), STATUS_INSUFFICIENT_RESOURCES);
  UCHAR value = 0;
  EXPECT_EQ(node->GetValue(0, &value), STATUS_INVALID_PARAMETER);  // no value array
  node->NonDelegatingRelease();
}

TEST_F(SoftwareMuteNodeTest, MutedBuffersAreSilencedOverTheirFramesOnly) {
  struct Case {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
    bool perChannel;  // PCM: float channel buffers; otherwise the interleaved buffer
  };
  const Case cases[] = {
      {"16-bit PCM stereo", Format(WAVE_FORMAT_PCM, 2, 16), true},
      {"extensible PCM, six channels", Format(WAVE_FORMAT_EXTENSIBLE, 6, 24), true},
      {"32-bit float", Format(WAVE_FORMAT_IEEE_FLOAT, 2, 32), false},
      {"extensible float", Format(WAVE_FORMAT_EXTENSIBLE, 2, 32, kFloatSubFormat), false},
  };
  constexpr ULONG kFrames = 100;
  constexpr ULONG kRoom = 128;
  for (bool muted : {false, true}) {
    m_Node->SetValue(0, muted ? 1 : 0);
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << (muted ? ", muted" : ", not muted"));
      const WORD channels = c.format.Format.nChannels;
      std::vector<std::vector<float>> planes(channels, std::vector<float>(kRoom, 0.5f));
      std::vector<float*> pointers;
      for (auto& plane : planes) pointers.push_back(plane.data());
      std::vector<UCHAR> interleaved(kRoom * c.format.Format.nBlockAlign, 0x5A);
      PVOID data = c.perChannel ? static_cast<PVOID>(pointers.data()) : static_cast<PVOID>(interleaved.data());
      EXPECT_EQ(Processor()->Process(&c.format, data, kFrames), STATUS_SUCCESS);
      if (c.perChannel) {
        for (const auto& plane : planes)
          for (ULONG i = 0; i < kRoom; ++i) EXPECT_EQ(plane[i], muted && i < kFrames ? 0.0f : 0.5f) << i;
        EXPECT_TRUE(std::all_of(interleaved.begin(), interleaved.end(), [](UCHAR b) { return b == 0x5A; }));
      } else {
        const size_t silenced = muted ? kFrames * c.format.Format.nBlockAlign : 0;
        for (size_t i = 0; i < interleaved.size(); ++i) EXPECT_EQ(interleaved[i], i < silenced ? 0 : 0x5A) << i;
      }
    }
  }
}

}  // namespace
