#include <array>
#include <functional>
#include <map>
#include <memory>

#include "dsp/CChannelConversion.h"
#include "tests/support/KernelTest.h"

namespace {

using Frame = std::array<double, 8>;
using Rule = std::function<void(const Frame& x, Frame& y)>;

WAVEFORMATEXTENSIBLE Format(WORD tag, WORD channels) {
  WAVEFORMATEXTENSIBLE f = {};
  f.Format.wFormatTag = tag;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = 48000;
  f.Format.wBitsPerSample = 32;
  f.Format.nBlockAlign = static_cast<WORD>(channels * 4);
  return f;
}

// Runs one frame of distinct per-channel values through the conversion (or
// the mixdown) and returns all 8 buffers, channels never written included.
Frame Convert(uint32_t d, uint32_t e, bool mixdown, const Frame& in) {
  std::array<std::vector<float>, 8> buf;
  float* ptrs[8];
  for (int c = 0; c < 8; ++c) {
    buf[c].assign(3, static_cast<float>(in[c]));
    ptrs[c] = buf[c].data();
  }
  if (mixdown) {
    ChannelMixdown(ptrs, d, e, 3);
  } else {
    CChannelConversion conv;
    EXPECT_TRUE(conv.Init());
    const auto fi = Format(WAVE_FORMAT_IEEE_FLOAT, static_cast<WORD>(d));
    const auto fo = Format(WAVE_FORMAT_IEEE_FLOAT, static_cast<WORD>(e));
    EXPECT_TRUE(conv.SetFormat(&fi, &fo));
    EXPECT_TRUE(conv.Process(ptrs, 3));
  }
  Frame out;
  for (int c = 0; c < 8; ++c) {
    EXPECT_EQ(buf[c][0], buf[c][2]) << "every sample alike";
    out[c] = buf[c][0];
  }
  return out;
}

// The layouts as the conversion defines them; channels a rule does not name
// keep their values. Every pair without a rule is unchanged.
std::map<std::pair<int, int>, Rule> ConversionRules() {
  std::map<std::pair<int, int>, Rule> r;
  r[{2, 1}] = [](const Frame& x, Frame& y) { y[0] = 0.5 * x[0] + 0.5 * x[1]; };
  r[{4, 1}] = [](const Frame& x, Frame& y) { y[0] = 0.25 * (x[0] + x[1] + x[2] + x[3]); };
  r[{4, 2}] = [](const Frame& x, Frame& y) {
    y[0] = x[0] - 0.871 * x[2] - 0.49 * x[3];
    y[1] = x[1] + 0.49 * x[2] + 0.871 * x[3];
  };
  r[{6, 1}] = [](const Frame& x, Frame& y) { y[0] = (x[0] + x[1] + x[2] + x[3] + x[4] + x[5]) / 6; };
  r[{6, 2}] = [](const Frame& x, Frame& y) {
    y[0] = x[0] + 0.707 * (x[2] + x[3]) - 0.871 * x[4] - 0.49 * x[5];
    y[1] = x[1] + 0.707 * (x[2] + x[3]) + 0.49 * x[4] + 0.871 * x[5];
  };
  r[{6, 4}] = [](const Frame& x, Frame& y) {
    y[0] = x[0] + 0.707 * (x[2] + x[3]);
    y[1] = x[1] + 0.707 * (x[2] + x[3]);
    y[2] = x[4];
    y[3] = x[5];
  };
  r[{8, 1}] = [](const Frame& x, Frame& y) { y[0] = 0.125 * (x[0] + x[1] + x[2] + x[3] + x[4] + x[5] + x[6] + x[7]); };
  r[{8, 2}] = [](const Frame& x, Frame& y) {
    y[0] = x[0] + 0.707 * (x[2] + x[3]) - 0.4355 * (x[4] + x[6]) - 0.245 * (x[5] + x[7]);
    y[1] = x[1] + 0.707 * (x[2] + x[3]) + 0.245 * (x[4] + x[6]) + 0.4355 * (x[5] + x[7]);
  };
  r[{8, 4}] = [](const Frame& x, Frame& y) {
    y[0] = x[0] + 0.707 * (x[2] + x[3]);
    y[1] = x[1] + 0.707 * (x[2] + x[3]);
    y[2] = 0.871 * x[4] + x[6] + 0.49 * x[5];
    y[3] = 0.49 * x[4] + x[7] + 0.871 * x[5];
  };
  r[{8, 6}] = [](const Frame& x, Frame& y) {
    y[4] = 0.871 * x[4] + x[6] + 0.49 * x[5];
    y[5] = 0.49 * x[4] + x[7] + 0.871 * x[5];
  };
  for (int e = 2; e <= 8; ++e)
    r[{1, e}] = [e](const Frame& x, Frame& y) {
      y[1] = x[0];
      for (int c = 2; c < e; ++c) y[c] = 0;
    };
  for (int e = 3; e <= 8; ++e)
    r[{2, e}] = [e](const Frame&, Frame& y) {
      for (int c = 2; c < e; ++c) y[c] = 0;
    };
  for (int e = 5; e <= 8; ++e)
    r[{4, e}] = [e](const Frame& x, Frame& y) {
      y[4] = x[2];
      y[5] = x[3];
      y[2] = y[3] = 0;
      if (e >= 7) y[6] = y[7] = 0;
    };
  for (int e = 7; e <= 8; ++e) r[{6, e}] = [](const Frame&, Frame& y) { y[6] = y[7] = 0; };
  return r;
}

std::map<std::pair<int, int>, Rule> MixdownRules() {
  std::map<std::pair<int, int>, Rule> r;
  r[{2, 1}] = [](const Frame& x, Frame& y) { y[0] = 0.5 * (x[0] + x[1]); };
  r[{4, 1}] = [](const Frame& x, Frame& y) {
    y[1] = x[1] + x[3];
    y[0] = 0.5 * ((x[0] - x[2]) + y[1]);
  };
  r[{4, 2}] = [](const Frame& x, Frame& y) {
    y[0] = x[0] - x[2];
    y[1] = x[1] + x[3];
  };
  r[{6, 1}] = [](const Frame& x, Frame& y) {
    y[1] = x[1] + 0.707 * (x[2] + x[3]) + x[5];
    y[0] = 0.5 * (x[0] + 0.707 * (x[2] + x[3]) + x[4] + y[1]);
  };
  r[{6, 2}] = [](const Frame& x, Frame& y) {
    y[0] = x[0] + 0.707 * x[2] + x[3] + x[4];
    y[1] = x[1] + 0.707 * x[2] + x[3] + x[5];
  };
  r[{6, 4}] = ConversionRules()[{6, 4}];
  r[{8, 1}] = [](const Frame& x, Frame& y) {
    y[1] = x[1] + 0.707 * (x[2] + x[3]) + 0.5 * (x[5] + x[7]);
    y[0] = 0.5 * (x[0] + 0.707 * (x[2] + x[3]) + 0.5 * (x[4] + x[6]) + y[1]);
  };
  r[{8, 2}] = [](const Frame& x, Frame& y) {
    y[0] = x[0] + 0.707 * x[2] + x[3] + x[4] + x[6];
    y[1] = x[1] + 0.707 * x[2] + x[3] + x[5] + x[7];
  };
  r[{8, 4}] = [](const Frame& x, Frame& y) {
    y[0] = x[0] + 0.707 * (x[2] + x[3]);
    y[1] = x[1] + 0.707 * (x[2] + x[3]);
    y[2] = x[4] + x[6];
    y[3] = x[5] + x[7];
  };
  r[{8, 6}] = [](const Frame& x, Frame& y) {
    y[4] = x[4] + x[6];
    y[5] = x[5] + x[7];
  };
  for (int e = 3; e <= 8; ++e)
    r[{2, e}] = [e](const Frame&, Frame& y) {
      for (int c = 2; c < e; ++c) y[c] = 1e-12;
    };
  for (int e = 5; e <= 8; ++e)
    r[{4, e}] = [e](const Frame& x, Frame& y) {
      y[4] = x[2];
      y[5] = x[3];
      y[2] = y[3] = 1e-12;
      if (e >= 7)
        for (int c = 6; c < e; ++c) y[c] = 1e-12;
    };
  for (int e = 7; e <= 8; ++e)
    r[{6, e}] = [e](const Frame&, Frame& y) {
      for (int c = 6; c < e; ++c) y[c] = 1e-12;
    };
  return r;
}

void CheckEveryPair(bool mixdown, const std::map<std::pair<int, int>, Rule>& rules) {
  // Distinct, not too round values: a swapped channel or weight shows.
  const Frame in = {0.11, -0.23, 0.37, 0.051, -0.43, 0.29, 0.173, -0.067};
  for (int d = 1; d <= 8; ++d) {
    for (int e = 1; e <= 8; ++e) {
      Frame expected = in;
      auto it = rules.find({d, e});
      if (it != rules.end()) it->second(in, expected);
      const Frame got = Convert(d, e, mixdown, in);
      for (int c = 0; c < 8; ++c) {
        const double tol = expected[c] == 1e-12 ? 1e-18 : 2e-7;
        EXPECT_NEAR(got[c], expected[c], tol) << d << " -> " << e << " channel " << c;
      }
    }
  }
}

class ChannelConversionTest : public testsupport::KernelTest {};

TEST_F(ChannelConversionTest, EveryLayoutPair) { CheckEveryPair(false, ConversionRules()); }

TEST_F(ChannelConversionTest, MixdownEveryLayoutPair) { CheckEveryPair(true, MixdownRules()); }

TEST_F(ChannelConversionTest, SetFormatChecksInOrder) {
  WAVEFORMATEXTENSIBLE extFloat = Format(WAVE_FORMAT_EXTENSIBLE, 2);
  extFloat.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  WAVEFORMATEXTENSIBLE extPcm = extFloat;
  extPcm.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  const auto f2 = Format(WAVE_FORMAT_IEEE_FLOAT, 2), f8 = Format(WAVE_FORMAT_IEEE_FLOAT, 8);
  const auto f9 = Format(WAVE_FORMAT_IEEE_FLOAT, 9), pcm = Format(WAVE_FORMAT_PCM, 2);
  const struct {
    const char* name;
    WAVEFORMATEXTENSIBLE in, out;
    const char* message;
  } cases[] = {
      {"float both", f2, f8, nullptr},
      {"extensible float", extFloat, f2, nullptr},
      {"pcm in", pcm, f9, "CChannelConversion::SetFormat Tag not WAVE_FORMAT_IEEE_FLOAT\n"},
      {"extensible pcm in", extPcm, f2, "CChannelConversion::SetFormat Tag not WAVE_FORMAT_IEEE_FLOAT\n"},
      {"pcm out", f9, pcm, "CChannelConversion::SetFormat Output Tag not WAVE_FORMAT_IEEE_FLOAT\n"},
      {"9 in", f9, f2, "CChannelConversion::SetFormat InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
      {"9 out", f2, f9,
       "CChannelConversion::SetFormat InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
  };
  for (const auto& tc : cases) {
    platform::debug::Clear();
    CChannelConversion conv;
    EXPECT_TRUE(conv.Init());
    EXPECT_FALSE(conv.Init());
    EXPECT_EQ(conv.SetFormat(&tc.in, &tc.out), tc.message == nullptr) << tc.name;
    const auto lines = platform::debug::Lines();
    if (tc.message) {
      ASSERT_EQ(lines.size(), 1u) << tc.name;
      EXPECT_EQ(lines[0], tc.message);
    } else {
      EXPECT_TRUE(lines.empty()) << tc.name;
    }
  }
}

}  // namespace
