// The FFT table builders that levels 2 and 3 share (declared in
// primitives/levels/FftLevels.h).
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "primitives/Memory.h"
#include "primitives/RealFft.h"
#include "primitives/levels/FftLevels.h"

namespace {
#include "primitives/levels/FftLevelKernels.inc"
}  // namespace

int32_t* BuildBitReverseIndexTableL2L3(int32_t n, int32_t* table) { return BitReverseIndexTableBody(n, table); }
int32_t* BuildBitReverseSwapListL2L3(int32_t order, int32_t* table) { return SwapListBody(order, table); }
int32_t* BuildBlockBitReverseTableL2L3(int32_t n, int32_t blockBits, int32_t* table) {
  return BlockBitReverseTableBody(n, blockBits, table, BuildBitReverseSwapListL2L3);
}
float* BuildButterflyTwiddlesL2L3(int32_t n, const float* sine, int32_t sineOrder, float* out) {
  return ButterflyTwiddlesBody(2, n, sine, sineOrder, out);
}
float* BuildRecombineTwiddlesInverseL2L3(int32_t order, const float* sine, int32_t sineOrder, float* out) {
  return RecombineInverseTableBody(order, sine, sineOrder, out);
}
