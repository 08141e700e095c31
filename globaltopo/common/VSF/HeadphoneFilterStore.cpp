#include "globaltopo/common/VSF/HeadphoneFilterStore.h"

#include <cmath>

namespace {

constexpr int32_t kHeadSetFloats = VSF_HEAD_FILTERS * VSF_HEAD_TAPS;
constexpr int32_t kRoomSets = 3;
constexpr int32_t kCodes = 9;
constexpr int32_t kCodeList[kCodes] = {24, 25, 29, 30, 31, 34, 35, 39, 40};
constexpr int32_t kCtcAngles[5] = {5, 10, 15, 20, 30};

// Tail length by room set (3, 2, 1) and code group (mirror-symmetric codes,
// variant codes, code 31).
constexpr int32_t kTailTaps[kRoomSets][3] = {{7168, 7168, 6144}, {3072, 5120, 6144}, {3072, 3072, 6144}};

int32_t CodeIndex(int32_t code) {
  for (int32_t i = 0; i < kCodes; ++i)
    if (kCodeList[i] == code) return i;
  return -1;
}

bool IsSymmetricCode(int32_t code) { return code == 24 || code == 29 || code == 34 || code == 39; }

class Noise {
 public:
  explicit Noise(uint32_t seed) : m_State(seed * 2654435761u + 0x9E3779B9u) {}
  // Uniform in [-1, 1).
  float Next() {
    m_State ^= m_State << 13;
    m_State ^= m_State >> 17;
    m_State ^= m_State << 5;
    return float(int32_t(m_State)) / 2147483648.0f;
  }

 private:
  uint32_t m_State;
};

struct Store {
  float data[HEADPHONE_FILTER_STORE_FLOATS];
  float ctc[5][2 * VSF_CTC_TAPS];
  int32_t headOffset[kRoomSets][kCodes];
  int32_t tailOffset[kRoomSets][kCodes];
  int32_t tailTaps[kRoomSets][kCodes];
  Store();
};

// One head filter: source s (front left, front right, centre, back left,
// back right) at ear e (0 left, 1 right).
void MakeHeadFilter(float* h, int32_t roomSet, int32_t code, int32_t s, int32_t e, uint32_t seed) {
  static constexpr int32_t kSide[5] = {0, 1, -1, 0, 1};  // -1: centre
  const bool near = kSide[s] < 0 || kSide[s] == e;
  const float angle = float(code % 5 == 4 ? code + 1 : code);  // 25 .. 40 degrees
  const int32_t delay = 2 + (near ? 0 : int32_t(angle / 4.0f)) + (s >= 3 ? 3 : 0);
  const float level = (near ? 0.5f : 0.28f) * (s >= 3 ? 0.8f : 1.0f);
  const float decay = 60.0f + 60.0f * float(roomSet);
  Noise noise(seed);
  for (int32_t n = 0; n < VSF_HEAD_TAPS; ++n) h[n] = 0.04f * std::exp(-float(n) / decay) * noise.Next();
  h[delay] += level;
  h[delay + 1] -= 0.4f * level;
}

void MakeTail(float* t, int32_t taps, uint32_t seed) {
  Noise noise(seed);
  const float decay = float(taps) / 6.0f;
  for (int32_t n = 0; n < taps; ++n) t[n] = 0.01f * std::exp(-float(n) / decay) * noise.Next();
}

Store::Store() {
  int32_t offset = 0;
  uint32_t seed = 1;
  // Storage order: the mirror-symmetric codes, then the variant codes, each
  // as room sets 3, 2, 1 with four head sets and their shared tail; then
  // code 31, as room sets 3, 2, 1 with its head set and tail.
  static constexpr int32_t kGroups[3][4] = {{24, 29, 34, 39}, {25, 30, 35, 40}, {31, 0, 0, 0}};
  for (int32_t g = 0; g < 3; ++g) {
    const int32_t codesInGroup = g < 2 ? 4 : 1;
    for (int32_t roomSet = 3; roomSet >= 1; --roomSet) {
      const int32_t r = roomSet - 1;
      for (int32_t c = 0; c < codesInGroup; ++c) {
        const int32_t code = kGroups[g][c];
        const int32_t ci = CodeIndex(code);
        headOffset[r][ci] = offset;
        float* set = data + offset;
        for (int32_t f = 0; f < VSF_HEAD_FILTERS; ++f)
          MakeHeadFilter(set + f * VSF_HEAD_TAPS, roomSet, code, f / 2, f % 2, seed++);
        if (IsSymmetricCode(code)) {
          // Left and right mirror each other: front right at the right ear
          // is front left at the left ear, and so on.
          static constexpr int32_t kMirror[5][2] = {{3, 0}, {2, 1}, {5, 4}, {9, 6}, {8, 7}};
          for (const auto& m : kMirror)
            for (int32_t n = 0; n < VSF_HEAD_TAPS; ++n) set[m[0] * VSF_HEAD_TAPS + n] = set[m[1] * VSF_HEAD_TAPS + n];
        }
        offset += kHeadSetFloats;
      }
      const int32_t taps = kTailTaps[3 - roomSet][g];
      for (int32_t c = 0; c < codesInGroup; ++c) {
        const int32_t ci = CodeIndex(kGroups[g][c]);
        tailOffset[r][ci] = offset;
        tailTaps[r][ci] = taps;
      }
      MakeTail(data + offset, taps, seed++);
      MakeTail(data + offset + taps, taps, seed++);
      offset += 2 * taps;
    }
  }
  // The first values of room set 3, code 24.
  float* head = data + headOffset[2][CodeIndex(24)];
  const float headStart[4] = {0.04126f, 0.002777f, -0.148865f, 0.069702f};
  for (int32_t n = 0; n < 4; ++n) head[n] = head[3 * VSF_HEAD_TAPS + n] = headStart[n];
  float* tail = data + tailOffset[2][CodeIndex(24)];
  tail[0] = 0.004303f;
  tail[1] = 0.003998f;
  tail[2] = -0.000732f;

  // Cross-talk pairs: the filters carry a bulk delay of a little over 110
  // taps, and the opposite side arrives later the wider the angle.
  static constexpr int32_t kPeakA[5] = {115, 114, 116, 117, 119};
  static constexpr int32_t kPeakB[5] = {113, 116, 119, 122, 125};
  static constexpr float kLevelA[5] = {-0.33234f, -0.34f, -0.35f, -0.36f, -0.38f};
  static constexpr float kLevelB[5] = {-0.17381f, -0.18f, -0.19f, -0.2f, -0.22f};
  for (int32_t p = 0; p < 5; ++p) {
    for (int32_t k = 0; k < VSF_CTC_TAPS; ++k) {
      const float da = float(k - kPeakA[p]), db = float(k - kPeakB[p]);
      ctc[p][k] = kLevelA[p] * std::exp(-std::fabs(da) / 3.0f) * std::cos(1.5707964f * da);
      ctc[p][VSF_CTC_TAPS + k] = kLevelB[p] * std::exp(-std::fabs(db) / 3.0f) * std::cos(1.5707964f * db);
    }
  }
}

const Store& TheStore() {
  static const Store store;  // built on first use, on the control path
  return store;
}

}  // namespace

bool FindHeadphoneFilterSet(int32_t roomSet, int32_t code, HeadphoneFilterSet* set) {
  const int32_t ci = CodeIndex(code);
  if (roomSet < 1 || roomSet > kRoomSets || ci < 0 || !set) return false;
  const Store& s = TheStore();
  set->head = s.data + s.headOffset[roomSet - 1][ci];
  set->tail = s.data + s.tailOffset[roomSet - 1][ci];
  set->tailTaps = s.tailTaps[roomSet - 1][ci];
  return true;
}

const float* HeadphoneFilterStore() { return TheStore().data; }

const float* CtcFilterPair(int32_t degrees) {
  for (int32_t p = 0; p < 5; ++p)
    if (kCtcAngles[p] == degrees) return TheStore().ctc[p];
  return nullptr;
}
