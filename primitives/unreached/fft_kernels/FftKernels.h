// Transform kernels for data layouts the library's own transforms do not
// use: separate real and imaginary planes, the four-lane split layout,
// elements of 4, 8 and 16 bytes. No dispatch table lists them and nothing in
// the library calls them; they are members for callers that hold such data.
//
// Every kernel trusts its arguments: no checks, no status. The builds of one
// family at levels 1, 2 and 3 are the same code compiled for each level,
// except where a family notes otherwise.
//
// Layouts:
// - interleaved: complex points as (re, im) float pairs, 8 bytes a point;
// - planes: one float array of real parts and one of imaginary parts;
// - four-lane split (block-split): points in groups of four, 32 bytes a
//   group, four real parts then four imaginary parts; such arrays start on a
//   16-byte boundary. Point p lies at float 8 (p / 4) + p % 4 (real) and 4
//   floats further (imaginary), so N points take 8N bytes as interleaved.
// - swap list and index table of order n: the permutation tables of
//   BuildBitReverseSwapList and BuildBitReverseIndexTable{L1,L2L3} (the
//   index table: t[i] = 2 rev_(n-2)(i), i < 2^(n-2), then 0).
// - stage twiddles: the tables of BuildButterflyTwiddles{L1,L2L3} for order
//   n; level-1 kernels need level-1 tables and levels 2 and 3 the L2L3
//   tables, whose stage plans differ. They start on a 16-byte boundary.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------------------
// Radix-2 pass on four-lane split data: `groups` (at least 1) groups of
// 2 * half points (half a positive multiple of 4); point j of a group is
// combined with point j + half, which is first multiplied by twiddle j (or,
// inverse, its conjugate): y[j] = a + t, y[j + half] = a - t. The twiddles
// are `half` points in the same layout, shared by all groups. src may be
// dst; all three arrays on 16-byte boundaries.

void FftRadix2PassForwardL1(const float* src, float* dst, int64_t half, int64_t groups, const float* twiddles);
void FftRadix2PassForwardL2(const float* src, float* dst, int64_t half, int64_t groups, const float* twiddles);
void FftRadix2PassForwardL3(const float* src, float* dst, int64_t half, int64_t groups, const float* twiddles);
void FftRadix2PassInverseL1(const float* src, float* dst, int64_t half, int64_t groups, const float* twiddles);
void FftRadix2PassInverseL2(const float* src, float* dst, int64_t half, int64_t groups, const float* twiddles);
void FftRadix2PassInverseL3(const float* src, float* dst, int64_t half, int64_t groups, const float* twiddles);

// Planes to four-lane split data and back: `rows` rows (at least 1) of `len`
// points (a positive multiple of 8); the planes advance by `stride` floats a
// row, the split array continuously. The planes may have any 4-byte
// alignment; the split array starts on a 16-byte boundary.
void FftGatherFromPlanesL1(const float* re, const float* im, float* dst, int64_t stride, int32_t rows, int32_t len);
void FftGatherFromPlanesL2(const float* re, const float* im, float* dst, int64_t stride, int32_t rows, int32_t len);
void FftGatherFromPlanesL3(const float* re, const float* im, float* dst, int64_t stride, int32_t rows, int32_t len);
void FftScatterToPlanesL1(float* re, float* im, const float* src, int64_t stride, int32_t rows, int32_t len);
void FftScatterToPlanesL2(float* re, float* im, const float* src, int64_t stride, int32_t rows, int32_t len);
void FftScatterToPlanesL3(float* re, float* im, const float* src, int64_t stride, int32_t rows, int32_t len);

// dst[k] = a[k] b[k] over `count` interleaved points (0 does nothing):
// re = a.re b.re - a.im b.im, im = a.im b.re + a.re b.im, each product
// rounded. dst may be a or b; any alignment. The bits are those
// ComplexMulInPlaceLoop{L1,L2,L3}(a, b, count) leaves in b.
void ComplexMulLoopL1(const float* a, const float* b, float* dst, uint32_t count);
void ComplexMulLoopL2(const float* a, const float* b, float* dst, uint32_t count);
void ComplexMulLoopL3(const float* a, const float* b, float* dst, uint32_t count);

// ---------------------------------------------------------------------------
// Bit reversal of `count` = 2^n elements of 4, 8 or 16 bytes (element e goes
// to rev_n(e)), moved as raw bytes, any alignment. In place, or from src to a
// dst that does not overlap it. The swap-list members take any count; the
// index-table members need count 8 or at least 16.

// Swap list, in place (nothing to do below 4 elements).
void FftBitReverseSwapPairs32L1(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs32L2(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs32L3(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs32AltL1(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs32AltL2(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs32AltL3(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs64L1(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs64L2(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs64L3(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs64WideL1(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs64WideL2(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs64WideL3(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs128L1(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs128L2(void* data, int64_t count, const int32_t* swapList);
void FftBitReverseSwapPairs128L3(void* data, int64_t count, const int32_t* swapList);
// Swap list, out of place.
void FftBitReverseSwapCopy32L1(const void* src, void* dst, int64_t count, const int32_t* swapList);
void FftBitReverseSwapCopy32L2(const void* src, void* dst, int64_t count, const int32_t* swapList);
void FftBitReverseSwapCopy32L3(const void* src, void* dst, int64_t count, const int32_t* swapList);
void FftBitReverseSwapCopy64L1(const void* src, void* dst, int64_t count, const int32_t* swapList);
void FftBitReverseSwapCopy64L2(const void* src, void* dst, int64_t count, const int32_t* swapList);
void FftBitReverseSwapCopy64L3(const void* src, void* dst, int64_t count, const int32_t* swapList);
// Index table, in place: 4 x 4 blocks exchanged with their partners and
// transposed.
void FftBitReverseInPlace32L1(void* data, int64_t count, const int32_t* indexTable);
void FftBitReverseInPlace32L2(void* data, int64_t count, const int32_t* indexTable);
void FftBitReverseInPlace32L3(void* data, int64_t count, const int32_t* indexTable);
void FftBitReverseInPlace64L1(void* data, int64_t count, const int32_t* indexTable);
void FftBitReverseInPlace64L2(void* data, int64_t count, const int32_t* indexTable);
void FftBitReverseInPlace64L3(void* data, int64_t count, const int32_t* indexTable);
void FftBitReverseInPlace128L1(void* data, int64_t count, const int32_t* indexTable);
void FftBitReverseInPlace128L2(void* data, int64_t count, const int32_t* indexTable);
void FftBitReverseInPlace128L3(void* data, int64_t count, const int32_t* indexTable);
// Index table, out of place. Up to 131072 elements (4-byte) or 65536 (8- and
// 16-byte) the source is walked block by block; above, the destination.
void FftBitReverseCopy32L1(const void* src, void* dst, int64_t count, const int32_t* indexTable);
void FftBitReverseCopy32L2(const void* src, void* dst, int64_t count, const int32_t* indexTable);
void FftBitReverseCopy32L3(const void* src, void* dst, int64_t count, const int32_t* indexTable);
void FftBitReverseCopy64L1(const void* src, void* dst, int64_t count, const int32_t* indexTable);
void FftBitReverseCopy64L2(const void* src, void* dst, int64_t count, const int32_t* indexTable);
void FftBitReverseCopy64L3(const void* src, void* dst, int64_t count, const int32_t* indexTable);
void FftBitReverseCopy128L1(const void* src, void* dst, int64_t count, const int32_t* indexTable);
void FftBitReverseCopy128L2(const void* src, void* dst, int64_t count, const int32_t* indexTable);
void FftBitReverseCopy128L3(const void* src, void* dst, int64_t count, const int32_t* indexTable);

// ---------------------------------------------------------------------------
// Complex transforms on planes, unscaled (forward exp(-2 pi i jk / n),
// inverse exp(+2 pi i jk / n)); the same stages, and so the same bits, as
// the interleaved FftButterflyBlock{Forward,Inverse}{,Tile} of the level.
// Planes may have any 4-byte alignment; work is 8n bytes on a 16-byte
// boundary.

// Natural order in and out, n = 8 .. 2^17; the output planes may be the input
// planes. n = 8 touches neither tables nor work (they may be null).
void FftButterflySplitForwardL1(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int32_t n,
                                const float* twiddles, const int32_t* indexTable, float* work);
void FftButterflySplitForwardL2(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int32_t n,
                                const float* twiddles, const int32_t* indexTable, float* work);
void FftButterflySplitForwardL3(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int32_t n,
                                const float* twiddles, const int32_t* indexTable, float* work);
void FftButterflySplitInverseL1(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int32_t n,
                                const float* twiddles, const int32_t* indexTable, float* work);
void FftButterflySplitInverseL2(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int32_t n,
                                const float* twiddles, const int32_t* indexTable, float* work);
void FftButterflySplitInverseL3(const float* srcRe, const float* srcIm, float* dstRe, float* dstIm, int32_t n,
                                const float* twiddles, const int32_t* indexTable, float* work);

// In place: bit-reversed order in, natural order out, n = 16 .. 2^17.
void FftButterflySplitForwardInPlaceL1(float* re, float* im, int64_t n, const float* twiddles, float* work);
void FftButterflySplitForwardInPlaceL2(float* re, float* im, int64_t n, const float* twiddles, float* work);
void FftButterflySplitForwardInPlaceL3(float* re, float* im, int64_t n, const float* twiddles, float* work);
void FftButterflySplitInverseInPlaceL1(float* re, float* im, int64_t n, const float* twiddles, float* work);
void FftButterflySplitInverseInPlaceL2(float* re, float* im, int64_t n, const float* twiddles, float* work);
void FftButterflySplitInverseInPlaceL3(float* re, float* im, int64_t n, const float* twiddles, float* work);

// ---------------------------------------------------------------------------
// One transform of 8n points as eight n-point transforms and a radix-8
// pass (levels 2 and 3 only; level-2/3 tables). The source is a matrix of n
// rows of eight points (point 8j + c is column c of row j); a column call
// transforms columns 0..3 of what it is given, so the second call passes
// the source advanced by four points and dst advanced by 4n points.
//
// Column spectra: n-point transforms in natural order, four-lane split
// layout, section c at dst + 8 n c bytes; n = 64 .. 2^17.

// Interleaved matrix; runs the stages in dst when dst is not src and lies on
// a 16-byte boundary, else in work (32n bytes, 16-byte aligned).
void FftColumnsForwardL2(const float* src, float* dst, int64_t n, const float* twiddles, const int32_t* indexTable,
                         float* work);
void FftColumnsForwardL3(const float* src, float* dst, int64_t n, const float* twiddles, const int32_t* indexTable,
                         float* work);
void FftColumnsInverseL2(const float* src, float* dst, int64_t n, const float* twiddles, const int32_t* indexTable,
                         float* work);
void FftColumnsInverseL3(const float* src, float* dst, int64_t n, const float* twiddles, const int32_t* indexTable,
                         float* work);
// Planes matrix (rows of eight floats in each plane); dst on a 16-byte
// boundary serves as the work area.
void FftColumnsSplitForwardL2(const float* srcRe, const float* srcIm, float* dst, int64_t n, const float* twiddles,
                              const int32_t* indexTable);
void FftColumnsSplitForwardL3(const float* srcRe, const float* srcIm, float* dst, int64_t n, const float* twiddles,
                              const int32_t* indexTable);
void FftColumnsSplitInverseL2(const float* srcRe, const float* srcIm, float* dst, int64_t n, const float* twiddles,
                              const int32_t* indexTable);
void FftColumnsSplitInverseL3(const float* srcRe, const float* srcIm, float* dst, int64_t n, const float* twiddles,
                              const int32_t* indexTable);

// The radix-8 pass over eight spectra of `span` points (block-split, back to
// back, 16-byte aligned): for block positions b = 0, 1, ... while `count`
// (decreased by 4 a position) stays positive, at least one, sub-transform m
// times factor m of record b (56 floats a record: for m = 1..7 four cos then
// four -sin of 2 pi m (4b + l) / (8 span)), then the 8-point transform;
// output q of position b is result points q span + 4b .. + 3. Pieces combine
// with src + 8 k0, dst + k0 points and twiddles + 14 k0. The interleaved form
// may run in place (dst == src).
void FftRadix8CombineForwardL2(const float* src, float* dst, int64_t span, int64_t count, const float* twiddles);
void FftRadix8CombineForwardL3(const float* src, float* dst, int64_t span, int64_t count, const float* twiddles);
void FftRadix8CombineInverseL2(const float* src, float* dst, int64_t span, int64_t count, const float* twiddles);
void FftRadix8CombineInverseL3(const float* src, float* dst, int64_t span, int64_t count, const float* twiddles);
void FftRadix8CombineSplitForwardL2(const float* src, float* dstRe, float* dstIm, int64_t span, int32_t count,
                                    const float* twiddles);
void FftRadix8CombineSplitForwardL3(const float* src, float* dstRe, float* dstIm, int64_t span, int32_t count,
                                    const float* twiddles);
void FftRadix8CombineSplitInverseL2(const float* src, float* dstRe, float* dstIm, int64_t span, int32_t count,
                                    const float* twiddles);
void FftRadix8CombineSplitInverseL3(const float* src, float* dstRe, float* dstIm, int64_t span, int32_t count,
                                    const float* twiddles);
