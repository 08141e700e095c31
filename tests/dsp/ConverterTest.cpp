#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "dsp/CDspConverter.h"
#include "tests/dsp/DspTestSupport.h"
#include "tests/support/KernelTest.h"

namespace {

using dsptest::ScopedSignalPathMxcsr;

constexpr uint32_t kRates[] = {44100, 48000, 88200, 96000, 176400, 192000};

WAVEFORMATEXTENSIBLE Fmt(WORD tag, WORD channels, DWORD rate, WORD bits) {
  WAVEFORMATEXTENSIBLE f = {};
  f.Format.wFormatTag = tag;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<WORD>(channels * (bits / 8));
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  return f;
}
WAVEFORMATEXTENSIBLE Float(WORD channels, DWORD rate) { return Fmt(WAVE_FORMAT_IEEE_FLOAT, channels, rate, 32); }
WAVEFORMATEXTENSIBLE Pcm(WORD channels, DWORD rate, WORD bits) { return Fmt(WAVE_FORMAT_PCM, channels, rate, bits); }

template <typename Converter>
std::unique_ptr<Converter> Make() {
  std::unique_ptr<Converter> c(new (NonPagedPool, DSP_OBJECT_TAG) Converter);
  EXPECT_TRUE(c->Init());
  return c;
}

// "147 up, x2 up" style, as the chain holds it after the split stage.
std::string ChainOf(const CDspConverter& c) {
  std::string s;
  for (uint32_t i = 1; i < c.StageCount(); ++i) {
    const CDspStage* stage = c.Stage(i);
    if (!s.empty()) s += ", ";
    s += stage == c.SrcX2() ? "x2" : stage == c.SrcX4() ? "x4" : stage == c.Src147() ? "147" : "?";
    s += stage->RaisesRate() ? " up" : " down";
  }
  return s.empty() ? "none" : s;
}

// Runs interleaved float frames through in calls of the given input and
// output sizes; once the sizes are used up, calls offer everything left with
// ample room until nothing more comes out.
std::vector<float> RunInterleaved(CDspInterleaveSrc& conv, const std::vector<float>& in, uint32_t channels,
                                  const std::vector<uint32_t>& inSizes, const std::vector<uint32_t>& outSizes) {
  std::vector<float> out;
  const uint32_t frames = static_cast<uint32_t>(in.size() / channels);
  const uint32_t ample = frames * 5 + 8000;
  uint32_t pos = 0;
  for (size_t call = 0; call < 100000; ++call) {
    const bool scripted = call < inSizes.size();
    uint32_t inFrames = scripted ? std::min(inSizes[call], frames - pos) : frames - pos;
    uint32_t outFrames = scripted ? outSizes[call] : ample;
    std::vector<float> buf(static_cast<size_t>(outFrames) * channels);
    EXPECT_TRUE(conv.Process(reinterpret_cast<const uint8_t*>(in.data() + static_cast<size_t>(pos) * channels),
                             &inFrames, reinterpret_cast<uint8_t*>(buf.data()), &outFrames));
    pos += inFrames;
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<size_t>(outFrames) * channels);
    if (!scripted && pos == frames && outFrames == 0) break;
  }
  return out;
}

template <typename T>
std::vector<uint8_t> Bytes(std::initializer_list<T> values) {
  std::vector<uint8_t> b;
  for (T x : values) {
    const auto* p = reinterpret_cast<const uint8_t*>(&x);
    b.insert(b.end(), p, p + sizeof(x));
  }
  return b;
}

class ConverterTest : public testsupport::KernelTest {};

TEST_F(ConverterTest, EveryRatePairChoosesItsChain) {
  // Rows: input rate, columns: output rate, in the order of kRates.
  const char* expected[6][6] = {
      {"none", "147 up", "x2 up", "147 up, x2 up", "x4 up", "147 up, x4 up"},
      {"147 down", "none", "147 down, x2 up", "x2 up", "147 down, x4 up", "x4 up"},
      {"x2 down", "x2 down, 147 up", "none", "147 up", "x2 up", "147 up, x2 up"},
      {"x2 down, 147 down", "x2 down", "147 down", "none", "147 down, x2 up", "x2 up"},
      {"x4 down", "x4 down, 147 up", "x2 down", "x2 down, 147 up", "none", "147 up"},
      {"x4 down, 147 down", "x4 down", "x2 down, 147 down", "x2 down", "147 down", "none"},
  };
  auto conv = Make<CDspInterleaveSrc>();
  for (int i = 0; i < 6; ++i) {
    for (int o = 0; o < 6; ++o) {
      const auto in = Pcm(2, kRates[i], 16), out = Pcm(2, kRates[o], 24);
      ASSERT_TRUE(conv->SetFormat(&in, &out));
      EXPECT_EQ(ChainOf(*conv), expected[i][o]) << kRates[i] << " -> " << kRates[o];
      EXPECT_EQ(conv->Stage(0), static_cast<const CDspStage*>(conv->Split()));
    }
  }
}

TEST_F(ConverterTest, TwentyMillisecondsOf44100Become960FramesAt48000) {
  auto conv = Make<CDspInterleaveSrc>();
  const auto in = Pcm(2, 44100, 16), out = Pcm(2, 48000, 16);
  ASSERT_TRUE(conv->SetFormat(&in, &out));
  std::vector<int16_t> input(882 * 2, 1000), output(1000 * 2);
  uint32_t inFrames = 882, outFrames = 1000;
  ASSERT_TRUE(conv->Process(reinterpret_cast<const uint8_t*>(input.data()), &inFrames,
                            reinterpret_cast<uint8_t*>(output.data()), &outFrames));
  EXPECT_EQ(inFrames, 882u);
  EXPECT_EQ(outFrames, 960u);
}

struct CheckCase {
  const char* name;
  WAVEFORMATEXTENSIBLE in, out;
  const char* interleaved;  // message suffix, "" for a silent refusal, nullptr for success
  const char* perChannel;
};

TEST_F(ConverterTest, SetFormatChecksInOrder) {
  auto ext = [](WAVEFORMATEXTENSIBLE f, const GUID& sub) {
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.SubFormat = sub;
    return f;
  };
  auto misaligned = [](WAVEFORMATEXTENSIBLE f) {
    f.Format.nBlockAlign += 1;
    return f;
  };
  const auto ok = Pcm(2, 48000, 16);
  const CheckCase cases[] = {
      {"pcm 16 to float", ok, Float(2, 44100), nullptr, nullptr},
      {"24 packed to 32", Pcm(2, 96000, 24), Pcm(2, 192000, 32), nullptr, nullptr},
      {"extensible pcm and float", ext(ok, KSDATAFORMAT_SUBTYPE_PCM),
       ext(Float(2, 48000), KSDATAFORMAT_SUBTYPE_IEEE_FLOAT), nullptr, nullptr},
      {"6 to 2 channels", Pcm(6, 48000, 16), Pcm(2, 48000, 16),
       " Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", nullptr},
      {"tag 2 in", Fmt(2, 2, 48000, 16), Fmt(2, 2, 48000, 16), " Tag not PCM\n", " Tag not PCM\n"},
      {"extensible analog in", ext(ok, KSDATAFORMAT_SUBTYPE_ANALOG), ok, " Tag not PCM\n", " Tag not PCM\n"},
      {"9 channels in", Pcm(9, 1, 16), ok, " InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n",
       " InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
      {"0 channels in", Pcm(0, 48000, 16), ok, " InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n",
       " InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
      {"32 kHz in", Pcm(2, 32000, 20), ok, " InFormat.Format.nSamplesPerSec not in List\n",
       " InFormat.Format.nSamplesPerSec not in List\n"},
      {"20 bits in", Fmt(1, 2, 48000, 20), ok, " InFormat.Format.wBitsPerSample not in List\n",
       " InFormat.Format.wBitsPerSample not in List\n"},
      {"40 bits in", Fmt(1, 2, 48000, 40), ok, " InFormat.Format.wBitsPerSample not in List\n",
       " InFormat.Format.wBitsPerSample not in List\n"},
      {"24-bit float in", Fmt(3, 2, 48000, 24), ok, " InFormat.Format.wBitsPerSample not in List\n",
       " InFormat.Format.wBitsPerSample not in List\n"},
      {"block align in", misaligned(ok), ok, " InFormat.Format.nBlockAlign not nChannels x wBitsPerSample / 8\n",
       " InFormat.Format.nBlockAlign not nChannels x wBitsPerSample / 8\n"},
      {"tag 2 out", ok, Fmt(2, 9, 1, 20), " Output Tag not PCM\n", " Output Tag not PCM\n"},
      {"9 channels out", ok, Pcm(9, 1, 20), " Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n",
       " Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
      {"8 kHz out", ok, Pcm(2, 8000, 20), " OutFormat.Format.nSamplesPerSec not in List\n",
       " OutFormat.Format.nSamplesPerSec not in List\n"},
      {"40 bits out", ok, Fmt(1, 2, 48000, 40), "", " OutFormat.Format.wBitsPerSample not in List\n"},
      {"64-bit float out", ok, Fmt(3, 2, 48000, 64), "", " OutFormat.Format.wBitsPerSample not in List\n"},
      {"block align out", ok, misaligned(Float(2, 48000)),
       " OutFormat.Format.nBlockAlign not nChannels x wBitsPerSample / 8\n",
       " OutFormat.Format.nBlockAlign not nChannels x wBitsPerSample / 8\n"},
  };
  for (const auto& tc : cases) {
    for (bool interleaved : {true, false}) {
      SCOPED_TRACE(std::string(tc.name) + (interleaved ? " interleaved" : " per channel"));
      platform::debug::Clear();
      const char* message = interleaved ? tc.interleaved : tc.perChannel;
      bool result;
      std::string prefix;
      if (interleaved) {
        auto conv = Make<CDspInterleaveSrc>();
        result = conv->SetFormat(&tc.in, &tc.out);
        prefix = "CDspInterleaveSrc::SetFormat";
      } else {
        auto conv = Make<CDspNonInterleaveSrc>();
        result = conv->SetFormat(&tc.in, &tc.out);
        prefix = "CDspNonInterleaveSrc::SetFormat";
      }
      EXPECT_EQ(result, message == nullptr);
      const auto lines = platform::debug::Lines();
      if (message && *message) {
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], prefix + message);
      } else {
        EXPECT_TRUE(lines.empty());
      }
    }
  }
}

// Every rate pair, stereo float: odd-sized calls with a random amount of room
// give the frames of one call, in order, leftovers first.
TEST_F(ConverterTest, SplitCallsGiveTheFramesOfOneCall) {
  ScopedSignalPathMxcsr mxcsr;
  for (uint32_t inRate : kRates) {
    for (uint32_t outRate : kRates) {
      SCOPED_TRACE(testing::Message() << inRate << " -> " << outRate);
      const uint32_t frames = inRate / 10;  // 100 ms
      const auto in = dsptest::Noise(static_cast<size_t>(frames) * 2, inRate + outRate, 0.5f);
      const auto fi = Float(2, inRate), fo = Float(2, outRate);
      auto a = Make<CDspInterleaveSrc>(), b = Make<CDspInterleaveSrc>();
      ASSERT_TRUE(a->SetFormat(&fi, &fo));
      ASSERT_TRUE(b->SetFormat(&fi, &fo));
      const auto whole = RunInterleaved(*a, in, 2, {}, {});

      // The scripted calls leave input over: only a call with input drains
      // what is pending.
      const std::vector<uint32_t> inSizes = dsptest::RandomSplits(frames / 2, 700, 1);
      std::vector<uint32_t> outSizes = dsptest::RandomSplits(100000, 1500, 2);
      const auto split = RunInterleaved(*b, in, 2, inSizes, outSizes);
      EXPECT_EQ(whole.size(), split.size());
      EXPECT_TRUE(dsptest::SameSamples(whole, split, dsptest::SplitTolerance(0.5)));
      // Every input frame is accounted for, but for the up to 3 frames a
      // lowering by 4 waits for.
      const double ideal = static_cast<double>(frames) * outRate / inRate;
      EXPECT_LE(whole.size() / 2, static_cast<size_t>(std::ceil(ideal)));
      EXPECT_GE(whole.size() / 2 + 4, static_cast<size_t>(ideal));
    }
  }
}

// Every rate pair: DC 1.0 stays 1.0 within 0.2 %, and a 1 kHz sine keeps its
// frequency and amplitude with the noise and distortion the filters allow.
TEST_F(ConverterTest, DcAndSinePassEveryRatePair) {
  ScopedSignalPathMxcsr mxcsr;
  for (uint32_t inRate : kRates) {
    for (uint32_t outRate : kRates) {
      SCOPED_TRACE(testing::Message() << inRate << " -> " << outRate);
      const auto fi = Float(1, inRate), fo = Float(1, outRate);
      auto conv = Make<CDspInterleaveSrc>();
      ASSERT_TRUE(conv->SetFormat(&fi, &fo));
      const auto dc = RunInterleaved(*conv, std::vector<float>(inRate / 10, 1.0f), 1, {1000}, {100000});
      for (size_t i = dc.size() / 2; i < dc.size(); ++i) ASSERT_NEAR(dc[i], 1.0f, 0.002f) << i;

      conv->Reset();
      const auto sine = RunInterleaved(*conv, dsptest::Sine(inRate / 5, 1000.0 / inRate, 0.5f), 1, {1000}, {100000});
      double residual = 0;
      const auto amp = dsptest::FitSines(sine, sine.size() / 4, sine.size() - 100, {1000.0 / outRate}, &residual);
      EXPECT_NEAR(amp[0], 0.5, 0.5 * 0.002);
      const double snr = dsptest::Db(amp[0] / residual);
      RecordProperty("snr", std::to_string(snr));
      // Raising by 2 or 4 leaves the images of its 60 dB stop band; the
      // 160/147 stage and the lowering filters stay above 105 dB.
      auto level = [](uint32_t rate) { return rate >= 176400 ? 2 : rate >= 88200 ? 1 : 0; };
      const bool raisesByPowerOfTwo = level(outRate) > level(inRate);
      EXPECT_GT(snr, raisesByPowerOfTwo ? 58.0 : 105.0);
    }
  }
}

// Sample formats on the split stage alone: scaling, truncation toward zero
// and saturation on the way out, 24-bit rounding to nearest.
TEST_F(ConverterTest, SampleFormatsConvertExactly) {
  struct Case {
    const char* name;
    WORD inTag, inBits, outTag, outBits;
    std::vector<uint8_t> in, expected;
  };
  const Case cases[] = {
      {"16 to 16", 1, 16, 1, 16, Bytes<int16_t>({-32768, 12345}), Bytes<int16_t>({-32768, 12345})},
      {"16 to 24", 1, 16, 1, 24, Bytes<int16_t>({-32768, 1}), {0x00, 0x00, 0x80, 0x00, 0x01, 0x00}},
      {"24 to 16 truncates", 1, 24, 1, 16, {0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF}, Bytes<int16_t>({32767, 0})},
      {"32 to 16", 1, 32, 1, 16, Bytes<int32_t>({0x7FFFFF00, -65536 * 3 - 5}), Bytes<int16_t>({32767, -3})},
      {"float to 16 saturates", 3, 32, 1, 16, Bytes<float>({1.5f, -1.0f}), Bytes<int16_t>({32767, -32768})},
      {"float to 24 rounds",
       3,
       32,
       1,
       24,
       Bytes<float>({1.5f / 8388608.0f, -1.0f}),
       {0x02, 0x00, 0x00, 0x00, 0x00, 0x80}},
      {"float to 32", 3, 32, 1, 32, Bytes<float>({0.5f, -1.0f}), Bytes<int32_t>({0x40000000, INT32_MIN})},
      {"16 to float", 1, 16, 3, 32, Bytes<int16_t>({-16384, 1}), Bytes<float>({-0.5f, 1.0f / 32768})},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    const auto fi = Fmt(tc.inTag, 2, 48000, tc.inBits), fo = Fmt(tc.outTag, 2, 48000, tc.outBits);
    auto conv = Make<CDspInterleaveSrc>();
    ASSERT_TRUE(conv->SetFormat(&fi, &fo));
    std::vector<uint8_t> out(tc.expected.size() + 8, 0xAA);
    uint32_t inFrames = 1, outFrames = 1;
    ASSERT_TRUE(conv->Process(tc.in.data(), &inFrames, out.data(), &outFrames));
    EXPECT_EQ(outFrames, 1u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + tc.expected.size()), tc.expected);
    EXPECT_EQ(out[tc.expected.size()], 0xAA);
  }
}

// Output space that is small for a while and then large leaves more pending
// frames in the last stage than the work buffer holds at once; they still
// come out whole and in order (8 channels, the widest frames).
TEST_F(ConverterTest, AWideBacklogIsWrittenInPiecesThatFit) {
  ScopedSignalPathMxcsr mxcsr;
  const auto fi = Float(8, 44100), fo = Pcm(8, 176400, 32);
  auto a = Make<CDspInterleaveSrc>(), b = Make<CDspInterleaveSrc>();
  ASSERT_TRUE(a->SetFormat(&fi, &fo));
  ASSERT_TRUE(b->SetFormat(&fi, &fo));
  const auto in = dsptest::Noise(4410 * 8, 3, 0.5f);
  auto run = [&](CDspInterleaveSrc& conv, std::vector<uint32_t> outSizes) {
    std::vector<int32_t> out;
    uint32_t pos = 0;
    for (size_t call = 0; call < 50; ++call) {
      uint32_t inFrames = 4410 - pos, outFrames = outSizes[std::min(call, outSizes.size() - 1)];
      std::vector<int32_t> buf(static_cast<size_t>(outFrames) * 8);
      EXPECT_TRUE(conv.Process(reinterpret_cast<const uint8_t*>(in.data() + static_cast<size_t>(pos) * 8), &inFrames,
                               reinterpret_cast<uint8_t*>(buf.data()), &outFrames));
      pos += inFrames;
      out.insert(out.end(), buf.begin(), buf.begin() + static_cast<size_t>(outFrames) * 8);
    }
    return out;
  };
  // Four calls with room for one frame each pile up 4 x 1764 - 4 frames.
  const auto piled = run(*a, {1, 1, 1, 1, 20000});
  const auto smooth = run(*b, {20000});
  EXPECT_EQ(piled.size(), 17640u * 8);
  EXPECT_EQ(piled.size(), smooth.size());
  // Full scale is 2^31, rounded toward zero.
  const double tolerance = dsptest::SplitTolerance(0.5);
  EXPECT_TRUE(dsptest::SameSamples(smooth, piled, tolerance == 0.0 ? 0.0 : tolerance * 0x1p31 + 1.0));
}

TEST_F(ConverterTest, FailedChecksLeaveTheInterleavedChainAsItWas) {
  auto conv = Make<CDspInterleaveSrc>();
  const auto fi = Pcm(2, 44100, 16), fo = Pcm(2, 96000, 16), bad = Pcm(2, 32000, 16);
  ASSERT_TRUE(conv->SetFormat(&fi, &fo));
  EXPECT_FALSE(conv->SetFormat(&bad, &fo));
  EXPECT_EQ(ChainOf(*conv), "147 up, x2 up");
  std::vector<int16_t> input(441 * 2, 100), output(2000);
  uint32_t inFrames = 441, outFrames = 1000;
  EXPECT_TRUE(conv->Process(reinterpret_cast<const uint8_t*>(input.data()), &inFrames,
                            reinterpret_cast<uint8_t*>(output.data()), &outFrames));
  EXPECT_EQ(outFrames, 960u);
}

TEST_F(ConverterTest, UnconfiguredConvertersTakeNothing) {
  auto inter = Make<CDspInterleaveSrc>();
  auto per = Make<CDspNonInterleaveSrc>();
  uint8_t data[64] = {};
  uint8_t* outs[1] = {data};
  const uint8_t* ins[1] = {data};
  uint32_t inFrames = 5, outFrames = 7;
  EXPECT_FALSE(inter->Process(data, &inFrames, data, &outFrames));
  EXPECT_EQ(inFrames, 5u);
  EXPECT_EQ(outFrames, 7u);
  EXPECT_FALSE(per->Process(ins, &inFrames, outs, &outFrames));
  EXPECT_EQ(inFrames, 5u);
  EXPECT_EQ(outFrames, 7u);
}

TEST_F(ConverterTest, ByteIdenticalFormatsCopyEveryBit) {
  auto conv = Make<CDspNonInterleaveSrc>();
  const auto f = Float(2, 48000);
  ASSERT_TRUE(conv->SetFormat(&f, &f));
  EXPECT_TRUE(conv->IsPassThrough());
  const uint32_t nanBits = 0x7FC01234;
  float nan;
  memcpy(&nan, &nanBits, 4);
  std::vector<float> l = {nan, -0.0f, 1e-40f, 3.0f}, r = {4, 5, 6, 7}, ol(4, 9), or_(4, 9);
  const uint8_t* ins[2] = {reinterpret_cast<uint8_t*>(l.data()), reinterpret_cast<uint8_t*>(r.data())};
  uint8_t* outs[2] = {reinterpret_cast<uint8_t*>(ol.data()), reinterpret_cast<uint8_t*>(or_.data())};
  uint32_t inFrames = 4, outFrames = 3;
  ASSERT_TRUE(conv->Process(ins, &inFrames, outs, &outFrames));
  EXPECT_EQ(inFrames, 3u);
  EXPECT_EQ(outFrames, 3u);
  EXPECT_EQ(memcmp(ol.data(), l.data(), 12), 0);
  EXPECT_EQ(ol[3], 9.0f);
  EXPECT_EQ(or_[2], 6.0f);
}

// After a failed SetFormat the per-channel converter gives nothing, whatever
// an earlier success left, until a SetFormat succeeds again.
TEST_F(ConverterTest, PerChannelConverterIsSilentAfterAFailedSetFormat) {
  auto conv = Make<CDspNonInterleaveSrc>();
  const auto fi = Pcm(1, 44100, 16), fo = Float(2, 48000), bad = Float(2, 8000);
  ASSERT_TRUE(conv->SetFormat(&fi, &fo));
  EXPECT_FALSE(conv->SetFormat(&fi, &bad));
  EXPECT_EQ(conv->StageCount(), 0u);
  EXPECT_FALSE(conv->IsPassThrough());
  std::vector<int16_t> mono(441, 1000);
  std::vector<float> l(1000), r(1000);
  const uint8_t* ins[1] = {reinterpret_cast<uint8_t*>(mono.data())};
  uint8_t* outs[2] = {reinterpret_cast<uint8_t*>(l.data()), reinterpret_cast<uint8_t*>(r.data())};
  uint32_t inFrames = 441, outFrames = 1000;
  EXPECT_FALSE(conv->Process(ins, &inFrames, outs, &outFrames));
  EXPECT_EQ(inFrames, 0u);
  EXPECT_EQ(outFrames, 0u);

  ASSERT_TRUE(conv->SetFormat(&fi, &fo));
  inFrames = 441;
  outFrames = 1000;
  ASSERT_TRUE(conv->Process(ins, &inFrames, outs, &outFrames));
  EXPECT_EQ(inFrames, 441u);
  EXPECT_EQ(outFrames, 480u);
  // Mono spreads to both channels.
  EXPECT_EQ(memcmp(l.data(), r.data(), 480 * sizeof(float)), 0);
  EXPECT_NEAR(l[400], 1000.0f / 32768, 1e-6f);
}

TEST_F(ConverterTest, PerChannelConverterDrainsPendingFramesFirst) {
  ScopedSignalPathMxcsr mxcsr;
  auto conv = Make<CDspNonInterleaveSrc>();
  const auto fi = Float(6, 48000), fo = Pcm(2, 96000, 16);
  ASSERT_TRUE(conv->SetFormat(&fi, &fo));
  std::vector<std::vector<float>> in(6, std::vector<float>(480, 0.1f));
  const uint8_t* ins[6];
  for (int c = 0; c < 6; ++c) ins[c] = reinterpret_cast<uint8_t*>(in[c].data());
  std::vector<int16_t> l(960), r(960);
  uint8_t* outs[2] = {reinterpret_cast<uint8_t*>(l.data()), reinterpret_cast<uint8_t*>(r.data())};
  uint32_t inFrames = 480, outFrames = 100;
  ASSERT_TRUE(conv->Process(ins, &inFrames, outs, &outFrames));
  EXPECT_EQ(inFrames, 480u);
  EXPECT_EQ(outFrames, 100u);
  inFrames = 480;
  outFrames = 960;
  ASSERT_TRUE(conv->Process(ins, &inFrames, outs, &outFrames));
  EXPECT_EQ(inFrames, 0u);  // the 860 frames still pending go out first
  EXPECT_EQ(outFrames, 860u);
  // The 6-channel fold: 0.1 + 0.707 (0.1 + 0.1) - 0.871 x 0.1 - 0.49 x 0.1 at unity.
  EXPECT_NEAR(l[800] / 32768.0, 0.1 + 0.1414 - 0.1361, 2e-3);
}

TEST_F(ConverterTest, ResetDropsPendingFrames) {
  auto conv = Make<CDspInterleaveSrc>();
  const auto f = Pcm(2, 48000, 16);
  ASSERT_TRUE(conv->SetFormat(&f, &f));
  std::vector<int16_t> in(960, 5), out(960);
  uint32_t inFrames = 480, outFrames = 10;
  ASSERT_TRUE(conv->Process(reinterpret_cast<uint8_t*>(in.data()), &inFrames, reinterpret_cast<uint8_t*>(out.data()),
                            &outFrames));
  EXPECT_EQ(conv->Split()->Pending(0), 470u);
  EXPECT_TRUE(conv->Reset());
  EXPECT_EQ(conv->Split()->Pending(0), 0u);
}

TEST_F(ConverterTest, InitFailsCleanlyAtEveryAllocation) {
  for (size_t n = 1;; ++n) {
    platform::pool::FailNthAllocation(n);
    std::unique_ptr<CDspInterleaveSrc> a(new (NonPagedPool, DSP_OBJECT_TAG) CDspInterleaveSrc);
    const bool ok = a && a->Init();
    platform::pool::ClearFailures();
    if (ok) {
      EXPECT_GT(n, 50u);  // 4 stages x 8 channels x 3 blocks and more
      break;
    }
  }
  for (size_t n = 1;; ++n) {
    platform::pool::FailNthAllocation(n);
    std::unique_ptr<CDspNonInterleaveSrc> a(new (NonPagedPool, DSP_OBJECT_TAG) CDspNonInterleaveSrc);
    const bool ok = a && a->Init();
    platform::pool::ClearFailures();
    if (ok) break;
  }
}

}  // namespace
