#include "dsp/CChannelConversion.h"

#include "kernel/debug.h"
#include "primitives/Vector.h"

namespace {

constexpr float kFront = 0.871f;  // matrix-surround weights
constexpr float kBack = 0.49f;
constexpr float kHalfFront = 0.4355f;
constexpr float kHalfBack = 0.245f;
constexpr float kCentre = 0.707f;
constexpr float kFill = 1e-12f;

void Zero(float* const* ch, uint32_t from, uint32_t to, uint32_t n) {
  for (uint32_t c = from; c < to; ++c) VecZeroF32(ch[c], static_cast<int32_t>(n));
}

void Fill(float* const* ch, uint32_t from, uint32_t to, uint32_t n) {
  for (uint32_t c = from; c < to; ++c) VecSetF32(kFill, ch[c], static_cast<int32_t>(n));
}

void Copy(const float* src, float* dst, uint32_t n) { VecCopyF32(src, dst, static_cast<int32_t>(n)); }

// Both folds take 6 channels to 4 alike: centre and LFE into the front pair,
// the surround pair into the back.
void SixToFour(float* const* ch, uint32_t n) {
  float *c0 = ch[0], *c1 = ch[1], *c2 = ch[2], *c3 = ch[3], *c4 = ch[4], *c5 = ch[5];
  for (uint32_t i = 0; i < n; ++i) {
    const float centre = kCentre * (c2[i] + c3[i]);
    c0[i] = c0[i] + centre;
    c1[i] = c1[i] + centre;
    c2[i] = c4[i];
    c3[i] = c5[i];
  }
}

}  // namespace

bool CChannelConversion::Init() {
  if (m_Initialised) return false;
  m_Initialised = true;
  return true;
}

bool CChannelConversion::SetFormat(const WAVEFORMATEXTENSIBLE* inFormat, const WAVEFORMATEXTENSIBLE* outFormat) {
  static const char* const kName = "CChannelConversion::SetFormat";
  if (EffectiveFormatTag(*inFormat) != WAVE_FORMAT_IEEE_FLOAT) {
    DbgPrint("%s Tag not WAVE_FORMAT_IEEE_FLOAT\n", kName);
    return false;
  }
  if (EffectiveFormatTag(*outFormat) != WAVE_FORMAT_IEEE_FLOAT) {
    DbgPrint("%s Output Tag not WAVE_FORMAT_IEEE_FLOAT\n", kName);
    return false;
  }
  if (inFormat->Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS ||
      outFormat->Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) {
    DbgPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", kName);
    return false;
  }
  m_InFormat = *inFormat;
  m_OutFormat = *outFormat;
  return true;
}

bool CChannelConversion::Process(float* const* ch, uint32_t n) {
  const uint32_t d = m_InFormat.Format.nChannels;
  const uint32_t e = m_OutFormat.Format.nChannels;
  if (d == e || n == 0) return true;
  float *c0 = ch[0], *c1 = ch[1], *c2 = ch[2], *c3 = ch[3], *c4 = ch[4], *c5 = ch[5], *c6 = ch[6], *c7 = ch[7];

  if (e < d) {
    if (d == 2 && e == 1) {
      for (uint32_t i = 0; i < n; ++i) c0[i] = 0.5f * c0[i] + 0.5f * c1[i];
    } else if (d == 4 && e == 1) {
      for (uint32_t i = 0; i < n; ++i) c0[i] = 0.25f * (c0[i] + c1[i] + c2[i] + c3[i]);
    } else if (d == 4 && e == 2) {
      for (uint32_t i = 0; i < n; ++i) {
        const float fl = c0[i], fr = c1[i], bl = c2[i], br = c3[i];
        c0[i] = fl - kFront * bl - kBack * br;
        c1[i] = fr + kBack * bl + kFront * br;
      }
    } else if (d == 6 && e == 1) {
      for (uint32_t i = 0; i < n; ++i) c0[i] = (c0[i] + c1[i] + c2[i] + c3[i] + c4[i] + c5[i]) / 6.0f;
    } else if (d == 6 && e == 2) {
      for (uint32_t i = 0; i < n; ++i) {
        const float fl = c0[i], fr = c1[i], centre = kCentre * (c2[i] + c3[i]), sl = c4[i], sr = c5[i];
        c0[i] = fl + centre - kFront * sl - kBack * sr;
        c1[i] = fr + centre + kBack * sl + kFront * sr;
      }
    } else if (d == 6 && e == 4) {
      SixToFour(ch, n);
    } else if (d == 8 && e == 1) {
      for (uint32_t i = 0; i < n; ++i) c0[i] = 0.125f * (c0[i] + c1[i] + c2[i] + c3[i] + c4[i] + c5[i] + c6[i] + c7[i]);
    } else if (d == 8 && e == 2) {
      for (uint32_t i = 0; i < n; ++i) {
        const float centre = kCentre * (c2[i] + c3[i]), left = c4[i] + c6[i], right = c5[i] + c7[i];
        const float fl = c0[i], fr = c1[i];
        c0[i] = fl + centre - kHalfFront * left - kHalfBack * right;
        c1[i] = fr + centre + kHalfBack * left + kHalfFront * right;
      }
    } else if (d == 8 && e == 4) {
      for (uint32_t i = 0; i < n; ++i) {
        const float centre = kCentre * (c2[i] + c3[i]), s4 = c4[i], s5 = c5[i];
        c0[i] = c0[i] + centre;
        c1[i] = c1[i] + centre;
        c2[i] = kFront * s4 + c6[i] + kBack * s5;
        c3[i] = kBack * s4 + c7[i] + kFront * s5;
      }
    } else if (d == 8 && e == 6) {
      for (uint32_t i = 0; i < n; ++i) {
        const float s4 = c4[i], s5 = c5[i];
        c4[i] = kFront * s4 + c6[i] + kBack * s5;
        c5[i] = kBack * s4 + c7[i] + kFront * s5;
      }
    }
    return true;
  }

  // Up-mixes.
  if (d == 1) {
    Copy(c0, c1, n);
    Zero(ch, 2, e, n);
  } else if (d == 2) {
    Zero(ch, 2, e, n);
  } else if (d == 4) {
    Copy(c2, c4, n);
    Copy(c3, c5, n);
    Zero(ch, 2, 4, n);
    if (e >= 7) Zero(ch, 6, 8, n);
  } else if (d == 6) {
    Zero(ch, 6, 8, n);
  }
  return true;
}

void ChannelMixdown(float* const* ch, uint32_t d, uint32_t e, uint32_t n) {
  if (d == e || n == 0) return;
  float *c0 = ch[0], *c1 = ch[1], *c2 = ch[2], *c3 = ch[3], *c4 = ch[4], *c5 = ch[5], *c6 = ch[6], *c7 = ch[7];

  if (e < d) {
    if (d == 2 && e == 1) {
      for (uint32_t i = 0; i < n; ++i) c0[i] = 0.5f * (c0[i] + c1[i]);
    } else if (d == 4 && e == 1) {
      for (uint32_t i = 0; i < n; ++i) {
        const float l = c0[i] - c2[i], r = c1[i] + c3[i];
        c1[i] = r;
        c0[i] = 0.5f * (l + r);
      }
    } else if (d == 4 && e == 2) {
      for (uint32_t i = 0; i < n; ++i) {
        c0[i] = c0[i] - c2[i];
        c1[i] = c1[i] + c3[i];
      }
    } else if (d == 6 && e == 1) {
      for (uint32_t i = 0; i < n; ++i) {
        const float centre = kCentre * (c2[i] + c3[i]);
        const float l = c0[i] + centre + c4[i], r = c1[i] + centre + c5[i];
        c1[i] = r;
        c0[i] = 0.5f * (l + r);
      }
    } else if (d == 6 && e == 2) {
      for (uint32_t i = 0; i < n; ++i) {
        const float centre = kCentre * c2[i];
        c0[i] = c0[i] + centre + c3[i] + c4[i];
        c1[i] = c1[i] + centre + c3[i] + c5[i];
      }
    } else if (d == 6 && e == 4) {
      SixToFour(ch, n);
    } else if (d == 8 && e == 1) {
      for (uint32_t i = 0; i < n; ++i) {
        const float centre = kCentre * (c2[i] + c3[i]);
        const float l = c0[i] + centre + 0.5f * (c4[i] + c6[i]), r = c1[i] + centre + 0.5f * (c5[i] + c7[i]);
        c1[i] = r;
        c0[i] = 0.5f * (l + r);
      }
    } else if (d == 8 && e == 2) {
      for (uint32_t i = 0; i < n; ++i) {
        const float centre = kCentre * c2[i];
        c0[i] = c0[i] + centre + c3[i] + c4[i] + c6[i];
        c1[i] = c1[i] + centre + c3[i] + c5[i] + c7[i];
      }
    } else if (d == 8 && e == 4) {
      for (uint32_t i = 0; i < n; ++i) {
        const float centre = kCentre * (c2[i] + c3[i]);
        c0[i] = c0[i] + centre;
        c1[i] = c1[i] + centre;
        c2[i] = c4[i] + c6[i];
        c3[i] = c5[i] + c7[i];
      }
    } else if (d == 8 && e == 6) {
      for (uint32_t i = 0; i < n; ++i) {
        c4[i] = c4[i] + c6[i];
        c5[i] = c5[i] + c7[i];
      }
    }
    return;
  }

  if (d == 2) {
    Fill(ch, 2, e, n);
  } else if (d == 4) {
    Copy(c2, c4, n);
    Copy(c3, c5, n);
    Fill(ch, 2, 4, n);
    if (e >= 7) Fill(ch, 6, e, n);
  } else if (d == 6) {
    Fill(ch, 6, e, n);
  }
}
