#include "tools/roomeffect.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "sim/host/ToneAnalysis.h"

namespace tools {
namespace {

// Front-left of a 16-bit recording, as floats, between two times.
std::vector<float> FrontLeft(const sim::host::WavData& wav, double fromSeconds, double toSeconds, size_t* first) {
  std::vector<float> out;
  *first = 0;
  if (wav.bitsPerSample != 16 || wav.formatTag != 1 || wav.channels == 0 || wav.sampleRate == 0) return out;
  const size_t frames = wav.Frames();
  const auto at = [&](double seconds) {
    return std::min(frames, static_cast<size_t>(std::max(0.0, seconds) * wav.sampleRate));
  };
  *first = at(fromSeconds);
  for (size_t f = *first; f < at(toSeconds); ++f) {
    int16_t v;
    std::memcpy(&v, &wav.samples[f * wav.BlockAlign()], sizeof v);
    out.push_back(v / 32768.0f);
  }
  return out;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

}  // namespace

sim::host::WavData RoomProgram(double seconds) { return sim::host::SineWav(48000, 2, 3000.0, seconds, 0.25); }

PromptHeard FindPrompt(const sim::host::WavData& device, double fromSeconds, double toSeconds) {
  PromptHeard heard;
  size_t first = 0;
  const std::vector<float> x = FrontLeft(device, fromSeconds, toSeconds, &first);
  const double rate = device.sampleRate;
  const size_t window = device.sampleRate / 100;
  if (window == 0 || x.size() < window) {
    heard.text = "no prompt: nothing recorded there";
    return heard;
  }
  // The strongest tone of the band in each 10 ms window.
  std::vector<double> power;
  for (size_t w = 0; w + window <= x.size(); w += window) {
    double most = 0;
    for (double hz = 100; hz <= kPromptBandHz; hz += 20)
      most = std::max(most, sim::host::GoertzelPower(&x[w], window, rate, hz));
    power.push_back(most);
  }
  const double loudest = *std::max_element(power.begin(), power.end());
  struct Run {
    size_t from, to;  // windows
  };
  std::vector<Run> runs;
  for (size_t w = 0; w < power.size();) {
    if (loudest <= 0 || power[w] < loudest / 4) {
      ++w;
      continue;
    }
    size_t end = w;
    while (end < power.size() && power[end] >= loudest / 4) ++end;
    if (end - w >= 5) runs.push_back({w, end});
    w = end;
  }
  if (runs.size() < 2) {
    heard.text = "no prompt: fewer than two bursts";
    return heard;
  }
  double hz[2], at[2];
  for (int b = 0; b < 2; ++b) {
    const size_t from = runs[b].from * window, length = (runs[b].to - runs[b].from) * window;
    hz[b] = sim::host::DominantFrequency(&x[from], length, rate, 100, kPromptBandHz);
    at[b] = static_cast<double>(first + from) / rate;
  }
  heard.found = true;
  heard.firstHz = hz[0];
  heard.secondHz = hz[1];
  heard.firstAt = at[0];
  heard.secondAt = at[1];
  heard.rising = hz[0] < hz[1];
  char text[160];
  std::snprintf(text, sizeof text, "%s prompt at %.3f s: %.1f Hz, then %.1f Hz at %.3f s",
                heard.rising ? "rising" : "falling", at[0], hz[0], hz[1], at[1]);
  heard.text = text;
  return heard;
}

CrossfadeHeard FindCrossfade(const sim::host::WavData& device, double fromSeconds, double toSeconds) {
  CrossfadeHeard heard;
  const size_t ms = device.sampleRate / 1000;
  size_t first = 0;
  // The level needs 15 ms of signal on either side of the search.
  const std::vector<float> x = FrontLeft(device, fromSeconds - 0.016, toSeconds + 0.016, &first);
  if (ms == 0 || x.size() < 40 * ms) {
    heard.text = "no crossfade: nothing recorded there";
    return heard;
  }
  // The signal's level over 1 ms centred on each sample.
  std::vector<double> level(x.size(), 0.0);
  double sum = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    sum += static_cast<double>(x[i]) * x[i];
    if (i >= ms) sum -= static_cast<double>(x[i - ms]) * x[i - ms];
    if (i + 1 >= ms) level[i - ms / 2] = std::sqrt(std::max(0.0, sum) / ms);
  }
  const size_t lo = 16 * ms, hi = x.size() - 16 * ms;
  const size_t dip = static_cast<size_t>(std::min_element(level.begin() + lo, level.begin() + hi) - level.begin());
  std::vector<double> before(level.begin() + (dip - 15 * ms), level.begin() + (dip - 5 * ms));
  std::vector<double> after(level.begin() + (dip + 5 * ms), level.begin() + (dip + 15 * ms));
  const double left = Median(before), right = Median(after);
  if (level[dip] >= std::min(left, right) / 5) {
    heard.text = "no crossfade: the level never dips";
    return heard;
  }
  size_t start = dip, end = dip;
  while (start > lo && level[start - 1] < left / 2) --start;
  while (end + 1 < hi && level[end + 1] < right / 2) ++end;
  const size_t half = end + 1 - start;
  heard.found = true;
  heard.samples = static_cast<unsigned>(2 * half);
  heard.startAt = static_cast<double>(first + start - half / 2) / device.sampleRate;
  heard.endAt = static_cast<double>(first + end + 1 + half / 2) / device.sampleRate;
  char text[120];
  std::snprintf(text, sizeof text, "crossfade at %.4f s .. %.4f s (%u samples)", heard.startAt, heard.endAt,
                heard.samples);
  heard.text = text;
  return heard;
}

RoomSwitchHeard HearRoomSwitch(const sim::host::WavData& device, double atSeconds) {
  return {FindPrompt(device, atSeconds, atSeconds + 0.7), FindCrossfade(device, atSeconds - 0.02, atSeconds + 0.15)};
}

}  // namespace tools
