// Multirate FIR filter: layout choice, the interleaved and indexed state
// builders, and the block run.
#include "primitives/MultirateFirLayouts.h"

#include <emmintrin.h>

#include <algorithm>

#include "primitives/Vector.h"

namespace {

constexpr int64_t kHeaderBytes = sizeof(MultirateFirState);
// Header plus the slack of moving the state to a 16-byte boundary.
constexpr int64_t kFixedStateBytes = kHeaderBytes + 16;
constexpr int64_t kMinScratchBytes = 4 * 4096;

constexpr int64_t Align16(int64_t x) { return (x + 15) & ~int64_t{15}; }
constexpr int64_t CeilDiv(int64_t a, int64_t b) { return (a + b - 1) / b; }

// The layout a filter shape gets: interleaved while enough of its products
// meet a tap (about T / (T + 3D) of them do), indexed otherwise.
int32_t ChooseLayout(int32_t taps, int32_t up, int32_t down) {
  const float ratio = static_cast<float>(taps) / static_cast<float>(int64_t{taps} + 3 * int64_t{down});
  if (up == 1) return ratio > 0.5f ? MULTIRATE_FIR_LAYOUT_INTERLEAVED : MULTIRATE_FIR_LAYOUT_DECIMATING;
  return static_cast<double>(ratio) > 0.3 ? MULTIRATE_FIR_LAYOUT_INTERLEAVED : MULTIRATE_FIR_LAYOUT_INTERPOLATING;
}

// Derived quantities shared by the size counts, the builders and the run.
struct Shape {
  int64_t taps, up, down;
  int64_t history;      // Q = ceil(T / U): inputs one output can reach
  int64_t rowLength;    // e: smallest multiple of U >= T + 3D (four tap rows D apart fit)
  int64_t window;       // P = e / U: quadruples per group in the interleaved layout
  int64_t headOutputs;  // H = U x (ceil(Q / D) raised to a multiple of 4)
  int64_t splitInputs;  // G: (smallest multiple of 4D above the per-output length) + 1, grown with H
};

Shape ComputeShape(int32_t taps, int32_t up, int32_t down, bool interleaved) {
  Shape s{};
  s.taps = taps;
  s.up = up;
  s.down = down;
  s.history = CeilDiv(taps, up);
  s.rowLength = CeilDiv(int64_t{taps} + 3 * int64_t{down}, up) * up;
  s.window = s.rowLength / up;
  const int64_t headGroups = CeilDiv(s.history, down);
  const int64_t raise = (4 - headGroups % 4) % 4;
  s.headOutputs = up * (headGroups + raise);
  const int64_t perOutput = interleaved ? s.window : s.history;
  s.splitInputs = (perOutput / (4 * s.down) + 1) * 4 * s.down + 1 + raise * s.down;
  return s;
}

int64_t LayoutBytes(int32_t taps, int32_t up, int32_t down, bool interleaved) {
  const Shape s = ComputeShape(taps, up, down, interleaved);
  const int64_t tableEntries = interleaved ? s.up + 1 : 4 * s.up + 1;
  const int64_t scratch = std::max((interleaved ? 16 : 32) * s.rowLength, kMinScratchBytes);
  return kFixedStateBytes + Align16(4 * s.taps) + 16 * s.rowLength + Align16(4 * tableEntries) + scratch +
         Align16(4 * (s.history + s.splitInputs + 1));
}

int64_t LayoutBytesFor(int32_t taps, int32_t up, int32_t down) {
  return ChooseLayout(taps, up, down) == MULTIRATE_FIR_LAYOUT_INTERLEAVED
             ? MultirateFirBytesInterleaved(taps, up, down)
             : MultirateFirBytesIndexed(taps, up, down);
}

// A size that does not fit 32 bits is refused with the status of what makes
// it too large: the tap count when even factors of 1 would not fit, else the
// factors.
DspStatus CheckLayoutFits(int32_t taps, int32_t up, int32_t down) {
  if (LayoutBytesFor(taps, up, down) <= INT32_MAX) return DSP_STATUS_OK;
  return LayoutBytes(taps, 1, 1, true) > INT32_MAX ? DSP_STATUS_BAD_TAP_COUNT : DSP_STATUS_BAD_FACTOR;
}

// Walks the upsampled axis: c is the position of an input sample shifted by
// T - 1 (the oldest position an output T - 1 later can reach), a that
// sample's index in the combined buffer (history first).
class PhaseWalk {
 public:
  PhaseWalk(const Shape& s, int32_t upPhase) : m_Up(s.up) {
    const int64_t start = upPhase + (s.taps - 1) % s.up;
    if (start < s.up) {
      m_Sample = 1;
      m_Position = start;
    } else {
      m_Sample = 0;
      m_Position = start - s.up;
    }
  }
  // Moves to the first sample whose shifted position is at or after target.
  void AdvanceTo(int64_t target) {
    if (m_Position >= target) return;
    const int64_t steps = CeilDiv(target - m_Position, m_Up);
    m_Position += steps * m_Up;
    m_Sample += steps;
  }
  int64_t Sample() const { return m_Sample; }
  int64_t Position() const { return m_Position; }

 private:
  int64_t m_Up;
  int64_t m_Sample;
  int64_t m_Position;
};

template <typename T>
T* Offset(void* base, int64_t bytes) {
  return reinterpret_cast<T*>(static_cast<char*>(base) + bytes);
}

// Common part of both builders: the header, the area pointers and the
// reversed taps. The history and the layout tables follow in the builders.
MultirateFirState* BuildHeader(const Shape& s, const float* taps, int32_t upPhase, int32_t downPhase, void* buffer,
                               int32_t tag, bool interleaved) {
  auto* state = reinterpret_cast<MultirateFirState*>((reinterpret_cast<uintptr_t>(buffer) + 15) & ~uintptr_t{15});
  ZeroBytes(state, kHeaderBytes);
  state->tag = tag;
  state->tapCount = static_cast<int32_t>(s.taps);
  state->upFactor = static_cast<int32_t>(s.up);
  state->downFactor = static_cast<int32_t>(s.down);
  state->splitInputCount = static_cast<int32_t>(s.splitInputs);
  state->splitOutputCount = static_cast<int32_t>(s.headOutputs);
  state->historyLength = static_cast<int32_t>(s.history);
  state->upPhase = upPhase;
  state->downPhase = downPhase;
  state->fftLength = -1;
  const int64_t tableEntries = interleaved ? s.up + 1 : 4 * s.up + 1;
  state->reversedTaps = Offset<float>(state, kHeaderBytes);
  state->phaseTaps = Offset<float>(state->reversedTaps, Align16(4 * s.taps));
  state->phaseTable = Offset<int32_t>(state->phaseTaps, 16 * s.rowLength);
  state->delayLine = Offset<float>(state->phaseTable, Align16(4 * tableEntries));
  state->reserveBuffer = Offset<void>(state->delayLine, Align16(4 * (s.history + s.splitInputs + 1)));
  for (int64_t i = 0; i < s.taps; ++i) state->reversedTaps[i] = taps[s.taps - 1 - i];
  return state;
}

void BuildHistory(MultirateFirState* state, const Shape& s, const float* delayLine) {
  VecZeroF32L0(state->delayLine, static_cast<int32_t>(s.history + s.splitInputs + 1));
  // The caller lists the most recent sample first; the history runs oldest
  // first.
  if (delayLine != nullptr)
    for (int64_t k = 0; k < s.history; ++k) state->delayLine[k] = delayLine[s.history - 1 - k];
}

// Row r of the four tap rows: the reversed taps delayed by r x D.
inline float RowValue(const MultirateFirState* state, const Shape& s, int32_t row, int64_t column) {
  const int64_t i = column - row * s.down;
  return i >= 0 && i < s.taps ? state->reversedTaps[i] : 0.0f;
}

// ---------------------------------------------------------------------------
// Block run

// The combined buffer of a call, history first: index z of it is held at
// data[z - first], and indexes from `end` on do not exist.
struct Samples {
  const float* data;
  int64_t first;
  int64_t end;
  float At(int64_t z) const { return data[z - first]; }
};

// Position in the cycle of U groups of four outputs.
struct Cursor {
  int64_t offset = 0;  // interleaved: running input offset; indexed: the cycle's base
  int32_t group = 0;
  bool started = false;
};

// Every output is summed in single precision from its oldest input sample to
// its newest, over the samples that exist, whichever part of a call computes
// it: so the block boundaries never show in the output.
//
// The four sums of a group are the four lanes of one vector (one sample times
// the group's quadruple, added lane by lane: the same operations in the same
// order per output). Each sum is a chain of dependent additions, so up to
// four groups run side by side to keep the adder busy.
struct Group {
  const float* quads;
  int64_t start;
};

template <int kGroups>
inline void SumGroups(const Samples& z, const Group* g, int64_t window, __m128* sums) {
  const float* x[kGroups];
  for (int k = 0; k < kGroups; ++k) {
    x[k] = z.data + (g[k].start - z.first);
    sums[k] = _mm_setzero_ps();
  }
  auto step = [&](int k, int64_t i, __m128 sample) {
    sums[k] = _mm_add_ps(sums[k], _mm_mul_ps(sample, _mm_loadu_ps(g[k].quads + 4 * i)));
  };
  int64_t i = 0;
  // Four samples a load, each spread over the lanes in turn.
  for (; i + 4 <= window; i += 4) {
    for (int k = 0; k < kGroups; ++k) {
      const __m128 v = _mm_loadu_ps(x[k] + i);
      step(k, i, _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 0, 0, 0)));
      step(k, i + 1, _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 1, 1, 1)));
      step(k, i + 2, _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 2, 2, 2)));
      step(k, i + 3, _mm_shuffle_ps(v, v, _MM_SHUFFLE(3, 3, 3, 3)));
    }
  }
  for (; i < window; ++i)
    for (int k = 0; k < kGroups; ++k) step(k, i, _mm_set1_ps(x[k][i]));
}

void RunInterleaved(const MultirateFirState* state, const Samples& z, float* dst, int64_t count, Cursor& cursor) {
  const int32_t up = state->upFactor;
  const int64_t window = state->phaseTapCount;
  const int32_t* table = state->phaseTable;
  auto next = [&]() {
    if (cursor.group == 0 && cursor.started) cursor.offset += table[up];
    cursor.offset += table[cursor.group];
    cursor.started = true;
    const Group g{state->phaseTaps + 4 * window * cursor.group, cursor.offset};
    cursor.group = cursor.group + 1 == up ? 0 : cursor.group + 1;
    return g;
  };
  auto store = [&](__m128 sums, int64_t produced) {
    if (count - produced >= 4) {
      _mm_storeu_ps(dst + produced, sums);
      return;
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, sums);
    for (int64_t r = 0; r < count - produced; ++r) dst[produced + r] = lanes[r];
  };
  constexpr int kMaxGroups = 4;
  for (int64_t produced = 0; produced < count;) {
    Group g[kMaxGroups];
    int groups = 0;
    // Whole windows only: a group that runs past the samples that exist
    // goes alone, with its shorter window.
    while (groups < kMaxGroups && produced + 4 * groups < count) {
      g[groups] = next();
      if (g[groups].start + window > z.end) break;
      ++groups;
    }
    __m128 sums[kMaxGroups];
    switch (groups) {
      case 4:
        SumGroups<4>(z, g, window, sums);
        break;
      case 3:
        SumGroups<3>(z, g, window, sums);
        break;
      case 2:
        SumGroups<2>(z, g, window, sums);
        break;
      case 1:
        SumGroups<1>(z, g, window, sums);
        break;
      default:
        break;
    }
    for (int k = 0; k < groups; ++k, produced += 4) store(sums[k], produced);
    if (groups < kMaxGroups && produced < count) {
      // The group taken last did not fit a whole window.
      const Group& short_ = g[groups];
      __m128 sum = _mm_setzero_ps();
      const int64_t length = std::min(window, z.end - short_.start);
      for (int64_t i = 0; i < length; ++i)
        sum = _mm_add_ps(sum, _mm_mul_ps(_mm_set1_ps(z.At(short_.start + i)), _mm_loadu_ps(short_.quads + 4 * i)));
      store(sum, produced);
      produced += 4;
    }
  }
}

void RunIndexed(const MultirateFirState* state, const Samples& z, float* dst, int64_t count, Cursor& cursor) {
  const int32_t up = state->upFactor;
  const int64_t history = state->historyLength;
  const int32_t* table = state->phaseTable;
  const bool decimating = state->layoutMode == MULTIRATE_FIR_LAYOUT_DECIMATING;
  for (int64_t produced = 0; produced < count; produced += 4) {
    const int32_t k = cursor.group;
    const int64_t outputs = std::min<int64_t>(4, count - produced);
    for (int64_t r = 0; r < outputs; ++r) {
      // Decimation: the four outputs share one tap run, D inputs apart.
      const int64_t start =
          cursor.offset + (decimating ? table[0] + r * state->downFactor : table[4 * k + r]);
      const float* run = state->phaseTaps + 4 * (k * history) + (decimating ? 0 : r);
      const int64_t length = std::min(history, z.end - start);
      float sum = 0.0f;
      for (int64_t m = 0; m < length; ++m) sum += run[4 * m] * z.At(start + m);
      dst[produced + r] = sum;
    }
    if (k + 1 == up) {
      cursor.group = 0;
      cursor.offset += table[4 * up];
    } else {
      cursor.group = k + 1;
    }
  }
}

void Run(const MultirateFirState* state, const Samples& z, float* dst, int64_t count, Cursor& cursor) {
  if (state->layoutMode == MULTIRATE_FIR_LAYOUT_INTERLEAVED)
    RunInterleaved(state, z, dst, count, cursor);
  else
    RunIndexed(state, z, dst, count, cursor);
}

}  // namespace

// ---------------------------------------------------------------------------
// Sizes and builders

int64_t MultirateFirBytesInterleaved(int32_t tapCount, int32_t up, int32_t down) {
  return LayoutBytes(tapCount, up, down, true);
}

int64_t MultirateFirBytesIndexed(int32_t tapCount, int32_t up, int32_t down) {
  return LayoutBytes(tapCount, up, down, false);
}

MultirateFirState* MultirateFirBuildInterleaved(const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                                                int32_t down, int32_t downPhase, const float* delayLine,
                                                void* buffer, int32_t tag) {
  const Shape s = ComputeShape(tapCount, up, down, true);
  MultirateFirState* state = BuildHeader(s, taps, upPhase, downPhase, buffer, tag, true);
  state->layoutMode = MULTIRATE_FIR_LAYOUT_INTERLEAVED;
  state->phaseTapCount = static_cast<int32_t>(s.window);

  // The quadruple of column c holds the four rows' values at c, so that one
  // input sample meets the taps of four consecutive outputs at once.
  float* quads = static_cast<float*>(state->reserveBuffer);
  for (int64_t c = 0; c < s.rowLength; ++c)
    for (int32_t r = 0; r < 4; ++r) quads[4 * c + r] = RowValue(state, s, r, c);

  // Group j starts at the first input sample its first output reaches; its
  // quadruples are the columns f_j, f_j + U, ... of that sample's phase.
  PhaseWalk walk(s, upPhase);
  float* out = state->phaseTaps;
  int64_t previous = 0;
  int64_t first = 0;
  for (int64_t j = 0; j < s.up; ++j) {
    const int64_t target = downPhase + 4 * s.down * j;
    walk.AdvanceTo(target);
    const int64_t phase = walk.Position() - target;
    state->phaseTable[j] = static_cast<int32_t>(j == 0 ? walk.Sample() : walk.Sample() - previous);
    if (j == 0) first = walk.Sample();
    previous = walk.Sample();
    for (int64_t i = 0; i < s.window; ++i, out += 4)
      for (int32_t r = 0; r < 4; ++r) out[r] = quads[4 * (phase + i * s.up) + r];
  }
  // The cycle's end brings the next cycle's group 0 4D inputs after this one.
  walk.AdvanceTo(downPhase + 4 * s.down * s.up);
  state->phaseTable[s.up] = static_cast<int32_t>(walk.Sample() - previous - first);

  BuildHistory(state, s, delayLine);
  return state;
}

MultirateFirState* MultirateFirBuildIndexed(const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                                            int32_t down, int32_t downPhase, const float* delayLine, void* buffer,
                                            int32_t tag) {
  const Shape s = ComputeShape(tapCount, up, down, false);
  MultirateFirState* state = BuildHeader(s, taps, upPhase, downPhase, buffer, tag, false);
  state->layoutMode = up == 1 ? MULTIRATE_FIR_LAYOUT_DECIMATING : MULTIRATE_FIR_LAYOUT_INTERPOLATING;
  state->phaseTapCount = static_cast<int32_t>(s.history);
  int32_t* table = state->phaseTable;
  VecSetS32(-1, table, static_cast<int32_t>(4 * s.up));
  VecZeroF32L0(state->phaseTaps, static_cast<int32_t>(4 * s.rowLength));

  // For every output of the cycle, the taps that meet input samples, in input
  // order, and the input that meets the first of them. The four outputs of a
  // group are interleaved: value m of output (4k + r) at 4(kQ + m) + r.
  PhaseWalk walk(s, upPhase);
  int64_t first = 0;
  for (int64_t k = 0; k < s.up; ++k) {
    const int64_t target = downPhase + 4 * s.down * k;
    walk.AdvanceTo(target);
    if (k == 0) first = walk.Sample();
    const int64_t phase = walk.Position() - target;
    for (int32_t r = 0; r < 4; ++r) {
      int64_t listed = 0;
      for (int64_t i = 0; i < s.window; ++i) {
        const int64_t tap = phase + i * s.up - r * s.down;
        if (tap < 0 || tap >= s.taps) continue;
        if (listed == 0) table[4 * k + r] = static_cast<int32_t>(walk.Sample() + i);
        state->phaseTaps[4 * (k * s.history + listed) + r] = state->reversedTaps[tap];
        ++listed;
      }
    }
  }
  // An output that meets no tap sums zeros; it keeps its predecessor's start.
  if (table[0] < 0) table[0] = static_cast<int32_t>(first);
  for (int64_t i = 1; i < 4 * s.up; ++i)
    if (table[i] < 0) table[i] = table[i - 1];
  walk.AdvanceTo(downPhase + 4 * s.down * s.up);
  table[4 * s.up] = static_cast<int32_t>(walk.Sample() - table[0]);

  BuildHistory(state, s, delayLine);
  return state;
}

DspStatus MultirateFirFilterBlock(const float* src, float* dst, int32_t iterations, MultirateFirState* state) {
  const int32_t mode = state->layoutMode;
  if (mode != MULTIRATE_FIR_LAYOUT_INTERLEAVED && mode != MULTIRATE_FIR_LAYOUT_DECIMATING &&
      mode != MULTIRATE_FIR_LAYOUT_INTERPOLATING)
    return DSP_STATUS_WRONG_KIND;
  const int64_t inputs = int64_t{state->downFactor} * iterations;
  const int64_t outputs = int64_t{state->upFactor} * iterations;
  const int64_t history = state->historyLength;
  const int64_t staged = state->splitInputCount;
  float* line = state->delayLine;
  state->delayOffset = 0;
  Cursor cursor;
  if (inputs <= staged) {
    // The whole call fits behind the history.
    VecCopyF32L0(src, line + history, static_cast<int32_t>(inputs));
    Run(state, Samples{line, 0, history + inputs}, dst, outputs, cursor);
    VecMoveF32L0(line + inputs, line, static_cast<int32_t>(history));
    return DSP_STATUS_OK;
  }
  // The first H outputs reach back into the history; all later ones read the
  // caller's block alone, addressed as if the history stood in front of it.
  VecCopyF32L0(src, line + history, static_cast<int32_t>(staged));
  const int64_t head = state->splitOutputCount;
  Run(state, Samples{line, 0, history + staged}, dst, head, cursor);
  VecCopyF32L0(src + (inputs - history), line, static_cast<int32_t>(history));
  Run(state, Samples{src, history, history + inputs}, dst + head, outputs - head, cursor);
  return DSP_STATUS_OK;
}

DspStatus MultirateFirLayoutSize(int32_t tapCount, int32_t up, int32_t down, int32_t* bytes) {
  const DspStatus status = CheckLayoutFits(tapCount, up, down);
  if (status != DSP_STATUS_OK) return status;
  *bytes = static_cast<int32_t>(LayoutBytesFor(tapCount, up, down));
  return DSP_STATUS_OK;
}

DspStatus MultirateFirBuildLayout(void** state, const float* taps, int32_t tapCount, int32_t up, int32_t upPhase,
                                  int32_t down, int32_t downPhase, const float* delayLine, void* buffer) {
  const DspStatus status = CheckLayoutFits(tapCount, up, down);
  if (status != DSP_STATUS_OK) return status;
  if (ChooseLayout(tapCount, up, down) == MULTIRATE_FIR_LAYOUT_INTERLEAVED)
    *state = MultirateFirBuildInterleaved(taps, tapCount, up, upPhase, down, downPhase, delayLine, buffer,
                                          MULTIRATE_FIR_STATE_TAG);
  else
    *state = MultirateFirBuildIndexed(taps, tapCount, up, upPhase, down, downPhase, delayLine, buffer,
                                      MULTIRATE_FIR_STATE_TAG);
  return DSP_STATUS_OK;
}
