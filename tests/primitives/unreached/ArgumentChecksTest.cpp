// Argument checks of the public primitives of this folder at every level:
// pointers before lengths, and nothing written when a check fails.
#include <cstring>
#include <functional>

#include "primitives/unreached/Division.h"
#include "primitives/unreached/DotProduct.h"
#include "primitives/unreached/ElementWise.h"
#include "primitives/unreached/Exponential.h"
#include "primitives/unreached/Logarithm.h"
#include "primitives/unreached/Square.h"
#include "primitives/unreached/SquareRoot.h"
#include "primitives/unreached/Sum.h"
#include "tests/primitives/unreached/LevelTestSupport.h"

namespace {

struct Arena {
  alignas(16) float a[8];
  alignas(16) float b[8];
  alignas(16) float d[8];
  float result;
};

struct CheckRow {
  const char* name;
  std::function<DspStatus(Arena&)> call;
  DspStatus expected;
};

#define ROW(name, expr, expected)                                    \
  {                                                                  \
    name, []([[maybe_unused]] Arena& A) { return (expr); }, expected \
  }

constexpr DspStatus kNull = DSP_STATUS_NULL_POINTER;
constexpr DspStatus kLength = DSP_STATUS_BAD_LENGTH;

const CheckRow kRows[] = {
    ROW("sqrt null, len 0", VecSqrtF32InPlace(nullptr, 0), kNull),
    ROW("sqrt len 0", VecSqrtF32InPlace(A.d, 0), kLength),
    ROW("sqrt len -1", VecSqrtF32InPlace(A.d, -1), kLength),
    ROW("div a", VecDivF32(nullptr, A.b, A.d, 4), kNull),
    ROW("div b", VecDivF32(A.a, nullptr, A.d, 0), kNull),
    ROW("div dst, len -1", VecDivF32(A.a, A.b, nullptr, -1), kNull),
    ROW("div len 0", VecDivF32(A.a, A.b, A.d, 0), kLength),
    ROW("sub a", VecSubF32(nullptr, A.b, A.d, 4), kNull),
    ROW("sub dst, len 0", VecSubF32(A.a, A.b, nullptr, 0), kNull),
    ROW("sub len 0", VecSubF32(A.a, A.b, A.d, 0), kLength),
    ROW("mul b", VecMulF32(A.a, nullptr, A.d, -3), kNull),
    ROW("mul len -3", VecMulF32(A.a, A.b, A.d, -3), kLength),
    ROW("mul-add srcDst", VecMulAddF32(A.a, A.b, nullptr, 0), kNull),
    ROW("mul-add len 0", VecMulAddF32(A.a, A.b, A.d, 0), kLength),
    ROW("mul in place src", VecMulF32InPlace(nullptr, A.d, 0), kNull),
    ROW("mul in place srcDst", VecMulF32InPlace(A.a, nullptr, 4), kNull),
    ROW("mul in place len 0", VecMulF32InPlace(A.a, A.d, 0), kLength),
    ROW("min src", VecElementMinF32InPlace(nullptr, A.d, 0), kNull),
    ROW("min srcDst", VecElementMinF32InPlace(A.a, nullptr, 4), kNull),
    ROW("min len 0", VecElementMinF32InPlace(A.a, A.d, 0), kLength),
    ROW("max src", VecElementMaxF32InPlace(nullptr, A.d, -1), kNull),
    ROW("max len -1", VecElementMaxF32InPlace(A.a, A.d, -1), kLength),
    ROW("sqr src", VecSqrF32(nullptr, A.d, 0), kNull),
    ROW("sqr dst", VecSqrF32(A.a, nullptr, 4), kNull),
    ROW("sqr len 0", VecSqrF32(A.a, A.d, 0), kLength),
    ROW("exp null", VecExpF32InPlace(nullptr, -5), kNull),
    ROW("exp len 0", VecExpF32InPlace(A.d, 0), kLength),
    ROW("ln null", VecLnF32InPlace(nullptr, 0), kNull),
    ROW("ln len -1", VecLnF32InPlace(A.d, -1), kLength),
    ROW("sum src", VecSumF32(nullptr, 4, &A.result, 1), kNull),
    ROW("sum dst, len 0", VecSumF32(A.a, 0, nullptr, 0), kNull),
    ROW("sum len 0", VecSumF32(A.a, 0, &A.result, 1), kLength),
    ROW("mean src", VecMeanF32(nullptr, 0, &A.result, 0), kNull),
    ROW("mean len 0: no mean of nothing", VecMeanF32(A.a, 0, &A.result, 0), kLength),
    ROW("dot a", VecDotProductF32(nullptr, A.b, 4, &A.result), kNull),
    ROW("dot b", VecDotProductF32(A.a, nullptr, 0, &A.result), kNull),
    ROW("dot result", VecDotProductF32(A.a, A.b, 4, nullptr), kNull),
    ROW("dot len 0", VecDotProductF32(A.a, A.b, 0, &A.result), kLength),
};

#undef ROW

class ArgumentChecks : public unreached_test::LevelTest {};
INSTANTIATE_FOR_ALL_LEVELS(ArgumentChecks);

TEST_P(ArgumentChecks, EveryPrimitiveFailsInOrderWithoutWriting) {
  for (const CheckRow& row : kRows) {
    SCOPED_TRACE(row.name);
    Arena arena;
    std::memset(&arena, 0x5A, sizeof(arena));
    const Arena before = arena;
    EXPECT_EQ(row.call(arena), row.expected);
    EXPECT_EQ(std::memcmp(&arena, &before, sizeof(arena)), 0) << "something was written";
  }
}

}  // namespace
