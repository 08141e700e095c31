#include "sim/host/AudioEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

#include "ks/ksmedia.h"

namespace sim::host {
namespace {

constexpr uint16_t kPcm = 1, kFloat = 3;

// ---- Choosing the format ----------------------------------------------------------------------

// The filter's streaming pin that takes data in.
bool RenderPin(FilterHandle* filter, ULONG* pinId) {
  const PCFILTER_DESCRIPTOR& d = filter->Descriptor();
  for (ULONG p = 0; p < d.PinCount; ++p) {
    const KSPIN_DESCRIPTOR& pin = d.Pins[p].KsPinDescriptor;
    if (pin.Communication == KSPIN_COMMUNICATION_SINK && pin.DataFlow == KSPIN_DATAFLOW_IN) {
      *pinId = p;
      return true;
    }
  }
  return false;
}

std::vector<KSDATARANGE_AUDIO> AudioRanges(FilterHandle* filter, ULONG pinId) {
  std::vector<KSDATARANGE_AUDIO> ranges;
  const KSPIN_DESCRIPTOR& pin = filter->Descriptor().Pins[pinId].KsPinDescriptor;
  for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
    const KSDATARANGE* r = pin.DataRanges[i];
    if (!r || r->FormatSize < sizeof(KSDATARANGE_AUDIO) || !(r->MajorFormat == KSDATAFORMAT_TYPE_AUDIO)) continue;
    KSDATARANGE_AUDIO audio;
    std::memcpy(&audio, r, sizeof audio);
    ranges.push_back(audio);
  }
  return ranges;
}

// What the pin's intersection makes of one exact wish; false when no range
// gives exactly that rate, type and size (the channel count it may lower).
bool Intersect(FilterHandle* filter, ULONG pinId, const std::vector<KSDATARANGE_AUDIO>& ranges, uint16_t tag,
               uint16_t bits, uint32_t rate, ULONG channels, WavData* out) {
  const GUID& subformat = tag == kFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
  for (const KSDATARANGE_AUDIO& own : ranges) {
    if (!(own.DataRange.SubFormat == subformat) && !(own.DataRange.SubFormat == KSDATAFORMAT_SUBTYPE_WILDCARD))
      continue;
    if (rate < own.MinimumSampleFrequency || rate > own.MaximumSampleFrequency) continue;
    if (bits < own.MinimumBitsPerSample || bits > own.MaximumBitsPerSample) continue;
    KSDATARANGE_AUDIO client = own;
    client.DataRange.FormatSize = sizeof client;
    client.DataRange.SubFormat = subformat;
    client.MaximumChannels = channels ? channels : own.MaximumChannels;
    client.MinimumSampleFrequency = client.MaximumSampleFrequency = rate;
    client.MinimumBitsPerSample = client.MaximumBitsPerSample = bits;
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE result{};
    ULONG size = sizeof result;
    if (!NT_SUCCESS(filter->Filter()->DataIntersection(pinId, &client.DataRange, sizeof client, &result, &size)) ||
        size < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
      continue;
    const WAVEFORMATEXTENSIBLE& w = result.WaveFormatExt;
    const ULONG valid = w.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? w.Samples.wValidBitsPerSample
                                                                       : w.Format.wBitsPerSample;
    if (w.Format.nSamplesPerSec != rate || valid != bits || w.Format.nChannels == 0) continue;
    if (channels && w.Format.nChannels != channels) continue;
    out->formatTag = tag;
    out->channels = w.Format.nChannels;
    out->sampleRate = rate;
    out->bitsPerSample = w.Format.wBitsPerSample;
    out->channelMask = w.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? w.dwChannelMask : 0;
    out->samples.clear();
    return true;
  }
  return false;
}

struct SampleType {
  uint16_t tag;
  uint16_t bits;
};

}  // namespace

bool ChooseEngineFormat(FilterHandle* filter, const WavData& source, EngineFormat* chosen, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (source.sampleRate < kMinEngineRate || source.sampleRate > kMaxEngineRate)
    return fail("the audio engine converts rates from " + std::to_string(kMinEngineRate) + " to " +
                std::to_string(kMaxEngineRate) + " Hz, not " + std::to_string(source.sampleRate) + " Hz");
  ULONG pinId = 0;
  if (!RenderPin(filter, &pinId)) return fail("the filter has no streaming pin that takes audio in");
  const std::vector<KSDATARANGE_AUDIO> ranges = AudioRanges(filter, pinId);
  if (ranges.empty()) return fail("the streaming pin offers no audio format");

  std::vector<uint32_t> rates = {source.sampleRate, 48000, 44100};
  std::vector<uint32_t> bounds;
  for (const KSDATARANGE_AUDIO& r : ranges) {
    bounds.push_back(r.MaximumSampleFrequency);
    bounds.push_back(r.MinimumSampleFrequency);
  }
  std::sort(bounds.rbegin(), bounds.rend());
  rates.insert(rates.end(), bounds.begin(), bounds.end());

  std::vector<SampleType> types;
  if (source.formatTag == kFloat) types.push_back({kFloat, 32});
  else types.push_back({kPcm, source.bitsPerSample});
  for (uint16_t bits : {32, 24, 16, 8}) types.push_back({kPcm, bits});
  types.push_back({kFloat, 32});

  WavData format;
  bool found = false;
  for (size_t r = 0; r < rates.size() && !found; ++r) {
    if (rates[r] == 0 || std::find(rates.begin(), rates.begin() + static_cast<long>(r), rates[r]) !=
                             rates.begin() + static_cast<long>(r))
      continue;
    for (const SampleType& t : types) {
      // The source's own channel count where the pin takes it, else what
      // the pin offers.
      if (Intersect(filter, pinId, ranges, t.tag, t.bits, rates[r], source.channels, &format) ||
          Intersect(filter, pinId, ranges, t.tag, t.bits, rates[r], 0, &format)) {
        found = true;
        break;
      }
    }
  }
  if (!found) return fail("the streaming pin's intersection accepts none of the formats it lists");

  std::vector<std::string> changes;
  if (format.sampleRate != source.sampleRate) changes.push_back("rate");
  if (format.formatTag != source.formatTag || format.bitsPerSample != source.bitsPerSample)
    changes.push_back("sample type");
  if (format.channels != source.channels) changes.push_back("channels");
  chosen->format = format;
  chosen->converted = !changes.empty();
  chosen->text = FormatText(format);
  if (chosen->converted) {
    chosen->text += ", converted from " + FormatText(source) + " (";
    for (size_t i = 0; i < changes.size(); ++i) chosen->text += (i ? ", " : "") + changes[i];
    chosen->text += ")";
  } else {
    chosen->text += ", as the file has it";
  }
  return true;
}

// ---- Converting -----------------------------------------------------------------------------

namespace {

double ReadSample(const uint8_t* p, uint16_t tag, uint16_t bits) {
  switch (bits) {
    case 8: return (static_cast<int>(p[0]) - 128) / 128.0;
    case 16: return static_cast<int16_t>(p[0] | (p[1] << 8)) / 32768.0;
    case 24: {
      const int32_t v = static_cast<int32_t>((uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 24));
      return (v >> 8) / 8388608.0;
    }
    default: {
      uint32_t u = 0;
      std::memcpy(&u, p, 4);
      if (tag == kFloat) {
        float f = 0;
        std::memcpy(&f, &u, 4);
        return std::isfinite(f) ? f : 0.0;
      }
      return static_cast<int32_t>(u) / 2147483648.0;
    }
  }
}

void WriteSample(uint8_t* p, uint16_t tag, uint16_t bits, double x) {
  if (tag == kFloat) {
    const float f = static_cast<float>(std::clamp(x, -1.0, 1.0));
    std::memcpy(p, &f, 4);
    return;
  }
  const double scale = std::ldexp(1.0, bits - 1);
  const double v = std::clamp(std::nearbyint(x * scale), -scale, scale - 1);
  const auto i = static_cast<int64_t>(v);
  switch (bits) {
    case 8: p[0] = static_cast<uint8_t>(i + 128); break;
    case 16:
    case 24:
    case 32:
      for (int b = 0; b < bits / 8; ++b) p[b] = static_cast<uint8_t>(static_cast<uint64_t>(i) >> (8 * b));
      break;
  }
}

uint32_t DefaultMask(uint16_t channels) {
  switch (channels) {
    case 1: return 0x4;
    case 2: return 0x3;
    case 3: return 0x7;
    case 4: return 0x33;
    case 5: return 0x37;
    case 6: return 0x3F;
    case 7: return 0x13F;
    case 8: return 0x63F;
    default: return 0;
  }
}

// The speaker of each channel: the mask's bits in order, then none (-1)
// for channels the mask does not name.
std::vector<int> Speakers(uint16_t channels, uint32_t mask) {
  if (mask == 0) mask = DefaultMask(channels);
  std::vector<int> out;
  for (int bit = 0; bit < 32 && out.size() < channels; ++bit)
    if (mask & (1u << bit)) out.push_back(bit);
  out.resize(channels, -1);
  return out;
}

enum Speaker { FL = 0, FR = 1, FC = 2, LFE = 3, BL = 4, BR = 5, FLC = 6, FRC = 7, BC = 8, SL = 9, SR = 10 };

// gains[target][source]
std::vector<std::vector<double>> ChannelMatrix(const WavData& source, const WavData& target) {
  const std::vector<int> from = Speakers(source.channels, source.channelMask);
  const std::vector<int> to = Speakers(target.channels, target.channelMask);
  std::vector<std::vector<double>> gains(target.channels, std::vector<double>(source.channels, 0.0));
  auto at = [&](int speaker) {
    const auto found = std::find(to.begin(), to.end(), speaker);
    return found == to.end() ? -1 : static_cast<int>(found - to.begin());
  };
  constexpr double kHalfPower = 0.70710678118654752;
  // A mono source plays on the front pair, as it would on a stereo pin.
  const bool mono = source.channels == 1 && at(FL) >= 0 && at(FR) >= 0;
  for (uint16_t c = 0; c < source.channels; ++c) {
    const int speaker = from[c];
    auto place = [&](int to_speaker, double gain) {
      const int t = at(to_speaker);
      if (t < 0) return false;
      gains[t][c] += gain;
      return true;
    };
    if (mono) {
      place(FL, 1.0);
      place(FR, 1.0);
    } else if (speaker < 0) {
      // A channel no mask names plays on the channel of its number.
      if (c < target.channels && to[c] < 0) gains[c][c] = 1.0;
    } else if (!place(speaker, 1.0)) {
      // Folded into the neighbours the pin has, power kept. The
      // low-frequency channel and the height speakers have none on a
      // smaller layout; the engine leaves them out.
      switch (speaker) {
        case FC:
          place(FL, kHalfPower);
          place(FR, kHalfPower);
          break;
        case BL: place(SL, 1.0) || place(FL, kHalfPower); break;
        case BR: place(SR, 1.0) || place(FR, kHalfPower); break;
        case SL: place(BL, 1.0) || place(FL, kHalfPower); break;
        case SR: place(BR, 1.0) || place(FR, kHalfPower); break;
        case FLC: place(FL, 1.0); break;
        case FRC: place(FR, 1.0); break;
        case BC:
          for (const auto& pair : {std::pair{BL, BR}, std::pair{SL, SR}, std::pair{FL, FR}}) {
            if (at(pair.first) < 0 || at(pair.second) < 0) continue;
            place(pair.first, kHalfPower);
            place(pair.second, kHalfPower);
            break;
          }
          break;
        default: break;
      }
    }
  }
  return gains;
}

double Sinc(double x) { return x == 0 ? 1.0 : std::sin(M_PI * x) / (M_PI * x); }

double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  for (int k = 1; k < 50; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
    if (term < sum * 1e-17) break;
  }
  return sum;
}

// A windowed-sinc low-pass kernel for a ratio of rates: 48 zero crossings a
// side and a Kaiser window of about 90 dB, whose transition band (6% of the
// narrower rate's band) ends at the narrower Nyquist frequency: flat to 44%
// of the narrower rate, 90 dB down from its half on.
class Kernel {
 public:
  Kernel(uint32_t inRate, uint32_t outRate) {
    m_Cutoff = 0.94 * std::min(1.0, static_cast<double>(outRate) / inRate);
    m_HalfWidth = 48.0 / m_Cutoff;
  }
  double HalfWidth() const { return m_HalfWidth; }
  // The weight of an input sample `t` input samples from the output point.
  double operator()(double t) const {
    const double r = t / m_HalfWidth;
    if (r <= -1.0 || r >= 1.0) return 0.0;
    return m_Cutoff * Sinc(m_Cutoff * t) * BesselI0(kBeta * std::sqrt(1.0 - r * r)) / m_I0Beta;
  }

 private:
  static constexpr double kBeta = 9.0;
  double m_Cutoff, m_HalfWidth;
  double m_I0Beta = BesselI0(kBeta);
};

}  // namespace

WavData ConvertWav(const WavData& source, const WavData& format) {
  WavData out = format;
  out.samples.clear();
  if (source.formatTag == format.formatTag && source.bitsPerSample == format.bitsPerSample &&
      source.channels == format.channels && source.sampleRate == format.sampleRate &&
      (source.channelMask == format.channelMask || source.channels <= 2)) {
    out.samples = source.samples;
    return out;
  }
  const uint32_t inFrames = source.Frames();
  const uint32_t inRate = source.sampleRate, outRate = format.sampleRate;
  if (inFrames == 0 || inRate == 0 || outRate == 0 || format.channels == 0) return out;
  const auto outFrames = static_cast<uint32_t>((uint64_t(inFrames) * outRate + inRate - 1) / inRate);
  const std::vector<std::vector<double>> gains = ChannelMatrix(source, format);
  const uint16_t inCh = source.channels, outCh = format.channels;
  const uint32_t inBytes = source.bitsPerSample / 8u, outBytes = format.bitsPerSample / 8u;
  out.samples.resize(static_cast<size_t>(outFrames) * out.BlockAlign());

  const bool resample = inRate != outRate;
  const Kernel kernel(inRate, outRate);
  const long reach = resample ? static_cast<long>(std::ceil(kernel.HalfWidth())) : 0;
  // Each output frame sits at n * inRate / outRate input frames: an integer
  // part and a fraction in 1/outRate, which repeats every outRate / gcd
  // frames; the weights of each such phase are made once where there are
  // few of them.
  const uint64_t period = outRate / std::gcd(inRate, outRate);
  const size_t taps = static_cast<size_t>(2 * reach);
  std::vector<double> phaseWeights;
  if (resample && period <= 8192) {
    phaseWeights.resize(period * taps);
    for (uint64_t p = 0; p < period; ++p) {
      const double fraction = static_cast<double>((p * inRate) % outRate) / outRate;
      for (size_t j = 0; j < taps; ++j)
        phaseWeights[p * taps + j] = kernel(static_cast<double>(static_cast<long>(j) - reach + 1) - fraction);
    }
  }
  std::vector<double> weights(taps), frame(inCh);
  constexpr uint32_t kBlock = 4096;
  std::vector<double> block;
  for (uint32_t first = 0; first < outFrames; first += kBlock) {
    const uint32_t last = std::min(outFrames, first + kBlock);
    // The input this block of output reaches, decoded once.
    const long lo = static_cast<long>(uint64_t(first) * inRate / outRate) - reach;
    const long hi = static_cast<long>(uint64_t(last) * inRate / outRate) + reach + 1;
    block.assign(static_cast<size_t>(hi - lo) * inCh, 0.0);
    for (long f = std::max(lo, 0L); f < std::min<long>(hi, inFrames); ++f)
      for (uint16_t c = 0; c < inCh; ++c)
        block[static_cast<size_t>(f - lo) * inCh + c] = ReadSample(
            &source.samples[(static_cast<size_t>(f) * inCh + c) * inBytes], source.formatTag, source.bitsPerSample);
    for (uint32_t n = first; n < last; ++n) {
      const uint64_t position = uint64_t(n) * inRate;
      const auto base = static_cast<long>(position / outRate);
      if (!resample) {
        for (uint16_t c = 0; c < inCh; ++c) frame[c] = block[static_cast<size_t>(base - lo) * inCh + c];
      } else {
        const double* w = nullptr;
        if (!phaseWeights.empty()) {
          w = &phaseWeights[(n % period) * taps];
        } else {
          const double fraction = static_cast<double>(position % outRate) / outRate;
          for (size_t j = 0; j < taps; ++j) weights[j] = kernel(static_cast<double>(static_cast<long>(j) - reach + 1) - fraction);
          w = weights.data();
        }
        std::fill(frame.begin(), frame.end(), 0.0);
        for (size_t j = 0; j < taps; ++j) {
          const double* x = &block[static_cast<size_t>(base - reach + 1 + static_cast<long>(j) - lo) * inCh];
          for (uint16_t c = 0; c < inCh; ++c) frame[c] += w[j] * x[c];
        }
      }
      uint8_t* o = &out.samples[static_cast<size_t>(n) * out.BlockAlign()];
      for (uint16_t t = 0; t < outCh; ++t) {
        double v = 0;
        for (uint16_t c = 0; c < inCh; ++c) v += gains[t][c] * frame[c];
        WriteSample(o + t * outBytes, format.formatTag, format.bitsPerSample, v);
      }
    }
  }
  return out;
}

}  // namespace sim::host
