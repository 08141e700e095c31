// Argument checks of every primitive: pointers before lengths, lengths before
// channel pointers and values, each failing call returning its code without
// writing a byte.
#include <cstring>
#include <functional>

#include "primitives/Convert.h"
#include "primitives/Power.h"
#include "primitives/Vector.h"
#include "tests/primitives/PrimitivesTestUtil.h"
#include "tests/support/KernelTest.h"

namespace {

struct Arena {
  alignas(16) float a[8];
  alignas(16) float b[8];
  alignas(16) float f[8];
  int16_t s16[8];
  int32_t s32[8];
  uint8_t bytes[24];
  float* out[2];
  const float* in[2];
  float extreme;
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
    ROW("VecZeroF32 null", VecZeroF32(nullptr, 4), kNull),
    ROW("VecZeroF32 null before length", VecZeroF32(nullptr, 0), kNull),
    ROW("VecZeroF32 len 0", VecZeroF32(A.f, 0), kLength),
    ROW("VecZeroF32 len -1", VecZeroF32(A.f, -1), kLength),
    ROW("VecSetF32 null", VecSetF32(1.0f, nullptr, 0), kNull),
    ROW("VecSetF32 len 0", VecSetF32(1.0f, A.f, 0), kLength),
    ROW("VecCopyF32 src", VecCopyF32(nullptr, A.f, 4), kNull),
    ROW("VecCopyF32 dst", VecCopyF32(A.a, nullptr, 0), kNull),
    ROW("VecCopyF32 len", VecCopyF32(A.a, A.f, -2), kLength),
    ROW("VecMoveF32 src", VecMoveF32(nullptr, A.f, 0), kNull),
    ROW("VecMoveF32 dst", VecMoveF32(A.a, nullptr, 4), kNull),
    ROW("VecMoveF32 len", VecMoveF32(A.a, A.f, 0), kLength),
    ROW("VecAddF32 a", VecAddF32(nullptr, A.b, A.f, 4), kNull),
    ROW("VecAddF32 b", VecAddF32(A.a, nullptr, A.f, 0), kNull),
    ROW("VecAddF32 dst", VecAddF32(A.a, A.b, nullptr, -1), kNull),
    ROW("VecAddF32 len", VecAddF32(A.a, A.b, A.f, 0), kLength),
    ROW("VecAddF32InPlace src", VecAddF32InPlace(nullptr, A.f, 0), kNull),
    ROW("VecAddF32InPlace srcDst", VecAddF32InPlace(A.a, nullptr, 4), kNull),
    ROW("VecAddF32InPlace len", VecAddF32InPlace(A.a, A.f, 0), kLength),
    ROW("VecAddConstF32InPlace null", VecAddConstF32InPlace(1.0f, nullptr, 0), kNull),
    ROW("VecAddConstF32InPlace len", VecAddConstF32InPlace(1.0f, A.f, -4), kLength),
    ROW("VecMulConstF32 src", VecMulConstF32(nullptr, 2.0f, A.f, 0), kNull),
    ROW("VecMulConstF32 dst", VecMulConstF32(A.a, 2.0f, nullptr, 4), kNull),
    ROW("VecMulConstF32 len, val 0", VecMulConstF32(A.a, 0.0f, A.f, 0), kLength),
    ROW("VecMulConstF32InPlace null", VecMulConstF32InPlace(2.0f, nullptr, 4), kNull),
    ROW("VecMulConstF32InPlace len, val 1", VecMulConstF32InPlace(1.0f, A.f, 0), kLength),
    ROW("VecDivConstF32InPlace null before zero", VecDivConstF32InPlace(0.0f, nullptr, 4), kNull),
    ROW("VecDivConstF32InPlace len before zero", VecDivConstF32InPlace(0.0f, A.f, 0), kLength),
    ROW("VecDivConstF32InPlace zero", VecDivConstF32InPlace(-0.0f, A.f, 4), DSP_STATUS_DIVIDE_BY_ZERO),
    ROW("VecDivConstF32 zero", VecDivConstF32(A.a, 0.0f, A.f, 4), DSP_STATUS_DIVIDE_BY_ZERO),
    ROW("VecDivConstF32 src", VecDivConstF32(nullptr, 0.0f, A.f, 0), kNull),
    ROW("VecAbsF32InPlace null", VecAbsF32InPlace(nullptr, 0), kNull),
    ROW("VecAbsF32InPlace len", VecAbsF32InPlace(A.f, 0), kLength),
    ROW("VecMaxF32 src", VecMaxF32(nullptr, 4, &A.extreme), kNull),
    ROW("VecMaxF32 out", VecMaxF32(A.a, 0, nullptr), kNull),
    ROW("VecMaxF32 len", VecMaxF32(A.a, 0, &A.extreme), kLength),
    ROW("VecMinF32 src", VecMinF32(nullptr, 0, &A.extreme), kNull),
    ROW("VecMinF32 out", VecMinF32(A.a, 4, nullptr), kNull),
    ROW("VecMinF32 len", VecMinF32(A.a, -8, &A.extreme), kLength),
    ROW("ZeroBytesChecked null", ZeroBytesChecked(nullptr, 0), kNull),
    ROW("ZeroBytesChecked bytes", ZeroBytesChecked(A.f, 0), kLength),
    ROW("VecSetS32 null", VecSetS32(-1, nullptr, 4), kNull),
    ROW("VecSetS32 len", VecSetS32(-1, A.s32, 0), kLength),

    ROW("ConvF32ToS16Scaled src", ConvF32ToS16Scaled(nullptr, A.s16, 0, 0, -15), kNull),
    ROW("ConvF32ToS16Scaled dst", ConvF32ToS16Scaled(A.a, nullptr, 4, 0, -15), kNull),
    ROW("ConvF32ToS16Scaled len", ConvF32ToS16Scaled(A.a, A.s16, 0, 0, -15), kLength),
    ROW("ConvF32ToS32Scaled src", ConvF32ToS32Scaled(nullptr, A.s32, 4, 1, -31), kNull),
    ROW("ConvF32ToS32Scaled dst", ConvF32ToS32Scaled(A.a, nullptr, 0, 1, -31), kNull),
    ROW("ConvF32ToS32Scaled len", ConvF32ToS32Scaled(A.a, A.s32, -1, 1, -31), kLength),
    ROW("ConvF32ToS24Scaled src", ConvF32ToS24Scaled(nullptr, A.bytes, 0, -23), kNull),
    ROW("ConvF32ToS24Scaled dst", ConvF32ToS24Scaled(A.a, nullptr, 4, -23), kNull),
    ROW("ConvF32ToS24Scaled len", ConvF32ToS24Scaled(A.a, A.bytes, 0, -23), kLength),
    ROW("ConvS16ToF32Scaled src", ConvS16ToF32Scaled(nullptr, A.f, 0, 15), kNull),
    ROW("ConvS16ToF32Scaled dst", ConvS16ToF32Scaled(A.s16, nullptr, 4, 15), kNull),
    ROW("ConvS16ToF32Scaled len", ConvS16ToF32Scaled(A.s16, A.f, 0, 15), kLength),
    ROW("ConvS32ToF32Scaled src", ConvS32ToF32Scaled(nullptr, A.f, 4, 31), kNull),
    ROW("ConvS32ToF32Scaled dst", ConvS32ToF32Scaled(A.s32, nullptr, 0, 31), kNull),
    ROW("ConvS32ToF32Scaled len", ConvS32ToF32Scaled(A.s32, A.f, 0, 31), kLength),
    ROW("ConvS24ToF32 src", ConvS24ToF32(nullptr, A.f, 0), kNull),
    ROW("ConvS24ToF32 dst", ConvS24ToF32(A.bytes, nullptr, 4), kNull),
    ROW("ConvS24ToF32 len", ConvS24ToF32(A.bytes, A.f, -3), kLength),
    ROW("ConvS32ToF32 src", ConvS32ToF32(nullptr, A.f, 0), kNull),
    ROW("ConvS32ToF32 dst", ConvS32ToF32(A.s32, nullptr, 4), kNull),
    ROW("ConvS32ToF32 len", ConvS32ToF32(A.s32, A.f, 0), kLength),

    ROW("VecInterleaveF32 pointer array", VecInterleaveF32(nullptr, 0, 0, A.f), kNull),
    ROW("VecInterleaveF32 dst", VecInterleaveF32(A.in, 2, 4, nullptr), kNull),
    ROW("VecInterleaveF32 channels 0 even with len 0", VecInterleaveF32(A.in, 0, 0, A.f), DSP_STATUS_BAD_CHANNEL_COUNT),
    ROW("VecInterleaveF32 channels -1", VecInterleaveF32(A.in, -1, 4, A.f), DSP_STATUS_BAD_CHANNEL_COUNT),
    ROW("VecInterleaveF32 len before channel pointers", (A.in[1] = nullptr, VecInterleaveF32(A.in, 2, 0, A.f)),
        kLength),
    ROW("VecInterleaveF32 second channel null", (A.in[1] = nullptr, VecInterleaveF32(A.in, 2, 4, A.f)), kNull),
    ROW("VecDeinterleaveF32 pointer array", VecDeinterleaveF32(A.a, 0, 0, nullptr), kNull),
    ROW("VecDeinterleaveF32 src", VecDeinterleaveF32(nullptr, 2, 4, A.out), kNull),
    ROW("VecDeinterleaveF32 channels 0", VecDeinterleaveF32(A.a, 0, 0, A.out), DSP_STATUS_BAD_CHANNEL_COUNT),
    ROW("VecDeinterleaveF32 len before channel pointers", (A.out[1] = nullptr, VecDeinterleaveF32(A.a, 2, -1, A.out)),
        kLength),
    ROW("VecDeinterleaveF32 second channel null", (A.out[1] = nullptr, VecDeinterleaveF32(A.a, 2, 4, A.out)), kNull),

    ROW("VecPowF32 a", VecPowF32(nullptr, A.b, A.f, 4), kNull),
    ROW("VecPowF32 b before length", VecPowF32(A.a, nullptr, A.f, 0), kNull),
    ROW("VecPowF32 dst", VecPowF32(A.a, A.b, nullptr, 4), kNull),
    ROW("VecPowF32 len 0", VecPowF32(A.a, A.b, A.f, 0), kLength),
    ROW("VecPowF32 len -3", VecPowF32(A.a, A.b, A.f, -3), kLength),
};

#undef ROW

class ArgumentChecksTest : public testsupport::KernelTest {};

TEST_F(ArgumentChecksTest, EveryPrimitiveFailsInOrderWithoutWriting) {
  for (const CheckRow& row : kRows) {
    SCOPED_TRACE(row.name);
    Arena arena;
    std::memset(&arena, 0x5A, sizeof(arena));
    arena.out[0] = arena.f;
    arena.out[1] = arena.b;
    arena.in[0] = arena.a;
    arena.in[1] = arena.b;
    // A row may knock out a channel pointer itself; snapshot after that
    // happens by comparing only the sample buffers.
    Arena before = arena;
    EXPECT_EQ(row.call(arena), row.expected);
    EXPECT_EQ(std::memcmp(arena.a, before.a, offsetof(Arena, out) - offsetof(Arena, a)), 0) << "a buffer was written";
    EXPECT_EQ(std::memcmp(&arena.extreme, &before.extreme, sizeof(float)), 0);
  }
}

}  // namespace
