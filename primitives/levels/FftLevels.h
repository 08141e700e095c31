// Processor-level builds (levels 1, 2, 3) of the real FFT and of the complex
// transform machinery beneath it.
//
// A setup built by a level's RealFftInit/RealFftCreate has tables in
// that level's layout and is valid only with the transforms of the same
// level (the header is the baseline's RealFftSpec; RealFftDestroy serves
// every level). A level build calls the builds of its own level by name,
// never through a dispatch stub.
//
// What sets the levels apart from the baseline: the half-length complex
// transform runs on four-wide vectors in block-split layout (32-byte blocks
// of four real parts then four imaginary parts) with radix-4 and radix-8
// passes; complex orders up to 15 (level 1) or 16 (levels 2 and 3) run as one
// whole-transform kernel that also permutes, one order more as bit reversal
// plus one tile kernel, and larger orders through a four-step split (rows
// transformed by the tile kernel, columns by gathered blocks of radix
// passes). Level 1 differs from levels 2 and 3 in these thresholds and in
// its pass schedule; levels 2 and 3 are one design compiled twice.
//
// Layouts shared by the routines below:
// - interleaved points: (re, im) float pairs, 8 bytes a point;
// - block-split: blocks of four consecutive points, four re then four im;
// - twiddle record of radix r: for each factor j = 1..r-1, four cos values
//   then four -sin values, one lane per butterfly;
// - packed spectrum: [X0, X(N/2), re X1, im X1, ..., re X(N/2-1), im X(N/2-1)].
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/RealFftSetup.h"

// ---------------------------------------------------------------------------
// Dispatch entries of the public primitives (RealFftCreate,
// RealFftForwardInPlace, RealFftInverseInPlace): the contracts of the
// baseline builds.

DspStatus RealFftCreateL1(RealFftSpec** spec, int32_t order, int32_t flags, int32_t hint);
DspStatus RealFftCreateL2(RealFftSpec** spec, int32_t order, int32_t flags, int32_t hint);
DspStatus RealFftCreateL3(RealFftSpec** spec, int32_t order, int32_t flags, int32_t hint);
DspStatus RealFftForwardInPlaceL1(float* srcDst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftForwardInPlaceL2(float* srcDst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftForwardInPlaceL3(float* srcDst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftInverseInPlaceL1(float* srcDst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftInverseInPlaceL2(float* srcDst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftInverseInPlaceL3(float* srcDst, const RealFftSpec* spec, void* workBuf);

// ---------------------------------------------------------------------------
// Internal real-FFT routines of each level (the level FIR builds call these).
// Contracts as the baseline's RealFftGetSize, RealFftInit, RealFftForward,
// RealFftInverse and PackedSpectrumMulInPlace; sizes that do not fit 32 bits
// (real orders 28 to 30) are refused with DSP_STATUS_BAD_ORDER as in the
// baseline.

DspStatus RealFftGetSizeL1(int32_t order, int32_t flags, int32_t hint, int32_t* specBytes, int32_t* initBytes,
                           int32_t* workBytes);
DspStatus RealFftGetSizeL2(int32_t order, int32_t flags, int32_t hint, int32_t* specBytes, int32_t* initBytes,
                           int32_t* workBytes);
DspStatus RealFftGetSizeL3(int32_t order, int32_t flags, int32_t hint, int32_t* specBytes, int32_t* initBytes,
                           int32_t* workBytes);
DspStatus RealFftInitL1(RealFftSpec** spec, int32_t order, int32_t flags, int32_t hint, void* specMem, void* initBuf);
DspStatus RealFftInitL2(RealFftSpec** spec, int32_t order, int32_t flags, int32_t hint, void* specMem, void* initBuf);
DspStatus RealFftInitL3(RealFftSpec** spec, int32_t order, int32_t flags, int32_t hint, void* specMem, void* initBuf);
DspStatus RealFftForwardL1(const float* src, float* dst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftForwardL2(const float* src, float* dst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftForwardL3(const float* src, float* dst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftInverseL1(const float* src, float* dst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftInverseL2(const float* src, float* dst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftInverseL3(const float* src, float* dst, const RealFftSpec* spec, void* workBuf);
DspStatus PackedSpectrumMulInPlaceL1(const float* src, float* srcDst, int32_t len);
DspStatus PackedSpectrumMulInPlaceL2(const float* src, float* srcDst, int32_t len);
DspStatus PackedSpectrumMulInPlaceL3(const float* src, float* srcDst, int32_t len);

// dst null -8, bytes <= 0 -6, else bytes zero bytes.
DspStatus ZeroBytesCheckedL1(void* dst, int32_t bytes);
DspStatus ZeroBytesCheckedL2(void* dst, int32_t bytes);
DspStatus ZeroBytesCheckedL3(void* dst, int32_t bytes);

// Sizes of a complex core of order n above the level's direct threshold (16 at
// level 1, 17 at levels 2 and 3), in 64 bits.
void FftSpecSizeL1(int32_t n, FftCoreSizes* sizes);
void FftSpecSizeL2(int32_t n, FftCoreSizes* sizes);
void FftSpecSizeL3(int32_t n, FftCoreSizes* sizes);
void FftSpecSizeRecursiveL1(int32_t n, int32_t depth, FftCoreSizes* sizes);
void FftSpecSizeRecursiveL2(int32_t n, int32_t depth, FftCoreSizes* sizes);
void FftSpecSizeRecursiveL3(int32_t n, int32_t depth, FftCoreSizes* sizes);

// ---------------------------------------------------------------------------
// Table builders. Each writes its table at the given address and returns the
// end of the room it reserves moved up to the next 32-byte boundary.

// sin(2 pi k / 2^order), k = 0..2^order/4.
float* BuildSineTableL1(int32_t order, float* table);
float* BuildSineTableL2(int32_t order, float* table);
float* BuildSineTableL3(int32_t order, float* table);
// 2^(n-2) entries 2 * rev_(n-2)(i), then a 0; nothing for n < 2.
int32_t* BuildBitReverseIndexTableL1(int32_t n, int32_t* table);
int32_t* BuildBitReverseIndexTableL2L3(int32_t n, int32_t* table);
// 2^(n-2b) entries rev_(n-2b)(i) << b, then the swap list of order 2b.
int32_t* BuildBlockBitReverseTableL1(int32_t n, int32_t blockBits, int32_t* table);
int32_t* BuildBlockBitReverseTableL2L3(int32_t n, int32_t blockBits, int32_t* table);
// Level 1 builds its swap lists with the baseline's BuildBitReverseSwapList
// (primitives/RealFftSetup.h).
int32_t* BuildBitReverseSwapListL2L3(int32_t order, int32_t* table);
// Per-stage twiddle records of a directly transformed complex order n (room
// 8 * 2^n bytes); nothing for n <= 3.
float* BuildButterflyTwiddlesL1(int32_t n, const float* sine, int32_t sineOrder, float* out);
float* BuildButterflyTwiddlesL2L3(int32_t n, const float* sine, int32_t sineOrder, float* out);
// Real order a: (0.5 cos, 0.5 - 0.5 sin) and (cos, -sin) of 2 pi k / 2^a;
// pairs from k = 0 for 2^a <= 8, else groups of four k from k = 1.
float* BuildRecombineTwiddlesForwardL1(int32_t order, const float* sine, int32_t sineOrder, float* out);
float* BuildRecombineTwiddlesForwardL2(int32_t order, const float* sine, int32_t sineOrder, float* out);
float* BuildRecombineTwiddlesForwardL3(int32_t order, const float* sine, int32_t sineOrder, float* out);
float* BuildRecombineTwiddlesInverseL1(int32_t order, const float* sine, int32_t sineOrder, float* out);
float* BuildRecombineTwiddlesInverseL2L3(int32_t order, const float* sine, int32_t sineOrder, float* out);
// The permutation table, row twiddles and per-depth pass twiddles of a
// four-step core of order n; tables (32-byte aligned) is where they start.
// Returns the end of the last pass table.
float* BuildComplexFftTablesL1(RealFftSpec* spec, int32_t n, const float* sine, int32_t sineOrder, float* tables,
                               void* scratch);
float* BuildComplexFftTablesL2(RealFftSpec* spec, int32_t n, const float* sine, int32_t sineOrder, float* tables,
                               void* scratch);
float* BuildComplexFftTablesL3(RealFftSpec* spec, int32_t n, const float* sine, int32_t sineOrder, float* tables,
                               void* scratch);
float* BuildFourStepTablesL1(RealFftSpec* spec, int32_t n, const float* sine, int32_t sineOrder, int32_t depth,
                             float* tables, void* scratch);
float* BuildFourStepTablesL2(RealFftSpec* spec, int32_t n, const float* sine, int32_t sineOrder, int32_t depth,
                             float* tables, void* scratch);
float* BuildFourStepTablesL3(RealFftSpec* spec, int32_t n, const float* sine, int32_t sineOrder, int32_t depth,
                             float* tables, void* scratch);

// ---------------------------------------------------------------------------
// Complex kernels. No checks, no status: the real-FFT entries validate first.

// Whole transform of `points` (8 .. 2^15 at level 1, 2^16 at levels 2 and 3)
// interleaved points, natural order in and out, unscaled; permutes through
// indexTable inside its first pass. src may equal dst; work holds 8 * points
// bytes, 16-byte aligned.
void FftButterflyBlockForwardL1(const float* src, float* dst, int32_t points, const int32_t* indexTable,
                                const float* twiddles, float* work);
void FftButterflyBlockForwardL2(const float* src, float* dst, int32_t points, const int32_t* indexTable,
                                const float* twiddles, float* work);
void FftButterflyBlockForwardL3(const float* src, float* dst, int32_t points, const int32_t* indexTable,
                                const float* twiddles, float* work);
void FftButterflyBlockInverseL1(const float* src, float* dst, int32_t points, const int32_t* indexTable,
                                const float* twiddles, float* work);
void FftButterflyBlockInverseL2(const float* src, float* dst, int32_t points, const int32_t* indexTable,
                                const float* twiddles, float* work);
void FftButterflyBlockInverseL3(const float* src, float* dst, int32_t points, const int32_t* indexTable,
                                const float* twiddles, float* work);
// Tile: in place on `points` (16 .. 2^16 at level 1, 2^17 at levels 2 and 3)
// points given in bit-reversed order; output in natural order, interleaved
// when interleave is 1, block-split when 0.
void FftButterflyBlockForwardTileL1(float* data, uint64_t points, const float* twiddles, float* work,
                                    int32_t interleave);
void FftButterflyBlockForwardTileL2(float* data, uint64_t points, const float* twiddles, float* work,
                                    int32_t interleave);
void FftButterflyBlockForwardTileL3(float* data, uint64_t points, const float* twiddles, float* work,
                                    int32_t interleave);
void FftButterflyBlockInverseTileL1(float* data, uint64_t points, const float* twiddles, float* work,
                                    int32_t interleave);
void FftButterflyBlockInverseTileL2(float* data, uint64_t points, const float* twiddles, float* work,
                                    int32_t interleave);
void FftButterflyBlockInverseTileL3(float* data, uint64_t points, const float* twiddles, float* work,
                                    int32_t interleave);

// Bit reversal of `points` >= 8 interleaved points through an index table
// (4 x 4-point block exchanges). The copy needs disjoint arrays.
void FftBitReverseInPlaceL1(float* data, uint64_t points, const int32_t* indexTable);
void FftBitReverseInPlaceL2(float* data, uint64_t points, const int32_t* indexTable);
void FftBitReverseInPlaceL3(float* data, uint64_t points, const int32_t* indexTable);
void FftBitReverseCopyL1(const float* src, float* dst, uint64_t points, const int32_t* indexTable);
void FftBitReverseCopyL2(const float* src, float* dst, uint64_t points, const int32_t* indexTable);
void FftBitReverseCopyL3(const float* src, float* dst, uint64_t points, const int32_t* indexTable);
// Bit reversal by exchanging the pairs of a swap list (BuildBitReverseSwapList
// format); fewer than 4 points are left alone.
void FftBitReverseSwapPairsL1(float* data, int64_t points, const int32_t* swapList);
void FftBitReverseSwapPairsL2(float* data, int64_t points, const int32_t* swapList);
void FftBitReverseSwapPairsL3(float* data, int64_t points, const int32_t* swapList);
// Cache-blocked in-place reversal through a block table (BuildBlockBitReverseTable
// with 6 block bits) and 65536 bytes of work; nothing below 4096 points.
void FftBitReverseBlockedL1(float* data, int32_t points, const int32_t* blockTable, float* work);
void FftBitReverseBlockedL2(float* data, int32_t points, const int32_t* blockTable, float* work);
void FftBitReverseBlockedL3(float* data, int32_t points, const int32_t* blockTable, float* work);

// Complex transform of 2^n interleaved points (n above the level's direct
// threshold) through the four-step path; src == dst or disjoint; scaled by
// the setup's factor when its direction is scaled. work: workBytes.
void ComplexFftForwardCoreL1(const RealFftSpec* spec, const float* src, float* dst, int32_t n, float* work);
void ComplexFftForwardCoreL2(const RealFftSpec* spec, const float* src, float* dst, int32_t n, float* work);
void ComplexFftForwardCoreL3(const RealFftSpec* spec, const float* src, float* dst, int32_t n, float* work);
void ComplexFftInverseCoreL1(const RealFftSpec* spec, const float* src, float* dst, int32_t n, float* work);
void ComplexFftInverseCoreL2(const RealFftSpec* spec, const float* src, float* dst, int32_t n, float* work);
void ComplexFftInverseCoreL3(const RealFftSpec* spec, const float* src, float* dst, int32_t n, float* work);
// One row set of the four-step path at depth >= 1: bit-reversed points in,
// block-split natural-order spectrum out.
void FftFourStepForwardL1(const RealFftSpec* spec, float* data, int32_t n, int32_t depth, float* work);
void FftFourStepForwardL2(const RealFftSpec* spec, float* data, int32_t n, int32_t depth, float* work);
void FftFourStepForwardL3(const RealFftSpec* spec, float* data, int32_t n, int32_t depth, float* work);
void FftFourStepInverseL1(const RealFftSpec* spec, float* data, int32_t n, int32_t depth, float* work);
void FftFourStepInverseL2(const RealFftSpec* spec, float* data, int32_t n, int32_t depth, float* work);
void FftFourStepInverseL3(const RealFftSpec* spec, float* data, int32_t n, int32_t depth, float* work);

// Radix passes on 16-byte aligned block-split data, in place (dst is src):
// in each of `groups` groups of radix * span points, the sub-transforms held
// in bit-reversed slot order are combined with the twiddle records (span / 4
// records, restarting for every group) into natural order.
void FftRadix4PassForwardL1(const float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
void FftRadix4PassForwardL2(const float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
void FftRadix4PassForwardL3(const float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
void FftRadix4PassInverseL1(const float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
void FftRadix4PassInverseL2(const float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
void FftRadix4PassInverseL3(const float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
void FftRadix8PassForwardL1(float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
void FftRadix8PassForwardL2(float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
void FftRadix8PassForwardL3(float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
void FftRadix8PassInverseL1(float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
void FftRadix8PassInverseL2(float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
void FftRadix8PassInverseL3(float* src, float* dst, uint64_t span, int64_t groups, const float* twiddles);
// Column block movers: buf row r (width points) <-> src/dst points
// r * rowStride ...; width a multiple of 8. The scatter turns block-split
// data into interleaved points when interleave is 1.
void FftFourStepGatherL1(const float* src, float* buf, uint64_t rowStride, int64_t rows, int32_t width);
void FftFourStepGatherL2(const float* src, float* buf, uint64_t rowStride, int64_t rows, int32_t width);
void FftFourStepGatherL3(const float* src, float* buf, uint64_t rowStride, int64_t rows, int32_t width);
void FftFourStepScatterL1(float* dst, const float* buf, uint64_t rowStride, int64_t rows, int32_t width,
                          int32_t interleave);
void FftFourStepScatterL2(float* dst, const float* buf, uint64_t rowStride, int64_t rows, int32_t width,
                          int32_t interleave);
void FftFourStepScatterL3(float* dst, const float* buf, uint64_t rowStride, int64_t rows, int32_t width,
                          int32_t interleave);

// Real-spectrum split of a half-length transform of m complex points (m a
// multiple of 8) and its inverse; the levels' builds give the baseline's
// results bin for bin. direction is not read. Bin 0 is the caller's.
void RealFftRecombineForwardL1(float* data, uint64_t m, int64_t direction, const float* table);
void RealFftRecombineForwardL2(float* data, uint64_t m, int64_t direction, const float* table);
void RealFftRecombineForwardL3(float* data, uint64_t m, int64_t direction, const float* table);
void RealFftRecombineInverseL1(const float* src, float* dst, uint64_t m, int64_t direction, const float* table);
void RealFftRecombineInverseL2(const float* src, float* dst, uint64_t m, int64_t direction, const float* table);
void RealFftRecombineInverseL3(const float* src, float* dst, uint64_t m, int64_t direction, const float* table);

// srcDst[k] = srcDst[k] * src[k] over count interleaved points.
void ComplexMulInPlaceLoopL1(const float* src, float* srcDst, uint32_t count);
void ComplexMulInPlaceLoopL2(const float* src, float* srcDst, uint32_t count);
void ComplexMulInPlaceLoopL3(const float* src, float* srcDst, uint32_t count);
