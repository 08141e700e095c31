// The binaural filter sets of the headphone engine: per room set and angle
// code a head set (ten 1,024-tap filters, slot 2s for source s at the left
// ear, 2s + 1 at the right) and a tail pair (left ear, right ear), and the
// cross-talk filter pairs per loudspeaker angle.
//
// The measured responses are not part of this source tree. The store is
// filled once, on first use, with synthetic responses of the same shape and
// layout: a direct sound whose delay and level depend on the side of the
// ear, early reflections decaying with the room size, mirror-symmetric sets
// for the codes that are (24, 29, 34, 39), and tails whose lengths, sharing
// and storage order are those the engine expects. Everything that reads the
// store goes through the lookups below, so measured tables can replace the
// generator without touching the engine.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int32_t VSF_HEAD_FILTERS = 10;
constexpr int32_t VSF_HEAD_TAPS = 1024;
constexpr int32_t VSF_TAIL_FILTERS = 2;
constexpr int32_t VSF_TAIL_MAX_TAPS = 7168;
constexpr int32_t VSF_CTC_TAPS = 256;
constexpr size_t HEADPHONE_FILTER_STORE_FLOATS = 370688;  // 1,482,752 bytes

struct HeadphoneFilterSet {
  const float* head;  // VSF_HEAD_FILTERS x VSF_HEAD_TAPS, filter after filter
  const float* tail;  // left ear, then right ear, tailTaps each
  int32_t tailTaps;
};

// Room set 1, 2 or 3 and angle code 24, 25, 29, 30, 31, 34, 35, 39 or 40;
// false for any other pair.
bool FindHeadphoneFilterSet(int32_t roomSet, int32_t code, HeadphoneFilterSet* set);

// The whole store in its storage order.
const float* HeadphoneFilterStore();

// Same-side filter A then opposite-side filter B, VSF_CTC_TAPS each, for 5,
// 10, 15, 20 or 30 degrees; null for any other angle.
const float* CtcFilterPair(int32_t degrees);
