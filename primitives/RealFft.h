// The real fast Fourier transform: the building of its setup record
// (primitives/RealFftSetup.h) and the transforms that read it.
//
// A transform of N = 2^order real points (order 0..30) runs on the half-length
// complex transform of M = N/2 points (the even samples as real parts, the odd
// ones as imaginary parts) followed by a recombination into the spectrum of
// the real signal. Every trigonometric value is computed once, when the
// setup is built; the transforms only read tables.
//
// Packed spectrum (N >= 2): [X0, X(N/2), Re X1, Im X1, ..., Re X(N/2-1),
// Im X(N/2-1)]; for N = 1 just [X0]. PackedSpectrumMulInPlace also takes an
// odd length, which has no Nyquist entry.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/RealFftSetup.h"

// Four-step split exponent k (2^n = 2^k rows x 2^(n-k) points) for complex
// orders 0..30; 0 means the order is transformed without the split.
extern const int32_t FftSplitTable[31];

// ---------------------------------------------------------------------------
// Public primitives (dispatched) and their baseline builds.

DspStatus RealFftCreate(RealFftSpec** spec, int32_t order, int32_t flags, int32_t hint);
DspStatus RealFftDestroy(RealFftSpec* spec);
DspStatus RealFftForwardInPlace(float* srcDst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftInverseInPlace(float* srcDst, const RealFftSpec* spec, void* workBuf);

DspStatus RealFftCreateL0(RealFftSpec** spec, int32_t order, int32_t flags, int32_t hint);
DspStatus RealFftDestroyL0(RealFftSpec* spec);
DspStatus RealFftForwardInPlaceL0(float* srcDst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftInverseInPlaceL0(float* srcDst, const RealFftSpec* spec, void* workBuf);

// ---------------------------------------------------------------------------
// Internal routines (baseline builds; no dispatch table).

// Sizes in bytes of the setup memory, the initialisation buffer (only
// used during RealFftInit) and the work buffer a transform needs. Sizes are
// computed in 64 bits; an order whose sizes do not fit 32 bits is refused
// with DSP_STATUS_BAD_ORDER like an order outside 0..30.
DspStatus RealFftGetSize(int32_t order, int32_t flags, int32_t hint, int32_t* specBytes, int32_t* initBytes,
                         int32_t* workBytes);
// Builds the record at the first 32-byte boundary of specMem (specBytes of
// memory); initBuf (initBytes) is scratch for orders above 10. *spec is
// written only on success.
DspStatus RealFftInit(RealFftSpec** spec, int32_t order, int32_t flags, int32_t hint, void* specMem, void* initBuf);

// src and dst are the same buffer or disjoint. workBuf: null lets the call
// allocate (and free) the work buffer when the setup needs one;
// otherwise it is used from its first 32-byte boundary.
DspStatus RealFftForward(const float* src, float* dst, const RealFftSpec* spec, void* workBuf);
DspStatus RealFftInverse(const float* src, float* dst, const RealFftSpec* spec, void* workBuf);
// srcDst = src x srcDst, bin by bin, both in the packed layout.
DspStatus PackedSpectrumMulInPlace(const float* src, float* srcDst, int32_t len);

// Sizes of the complex core of order n > 10.
void FftSpecSize(int32_t n, FftCoreSizes* sizes);
void FftSpecSizeRecursive(int32_t n, int32_t depth, FftCoreSizes* sizes);

// Table builders. Each returns the end of its table moved up to the next
// 32-byte boundary, where the next table may start.
float* BuildSineTable(int32_t order, float* dst);
float* BuildButterflyTwiddles(int32_t order, const float* sines, int32_t sineOrder, float* dst);
float* BuildRecombineTwiddlesForward(int32_t order, const float* sines, int32_t sineOrder, float* dst);
float* BuildRecombineTwiddlesInverse(int32_t order, const float* sines, int32_t sineOrder, float* dst);
void* BuildComplexFftTables(RealFftSpec* spec, int32_t n, const float* sines, int32_t sineOrder, float* tables,
                            void* scratch);
float* BuildFourStepTables(RealFftSpec* spec, int32_t n, const float* sines, int32_t sineOrder, int32_t depth,
                           float* tables, void* scratch);

// Complex kernels on interleaved (re, im) points.
void FftBitReverseInPlace(float* data, int32_t points, const int32_t* swapList);
void FftBitReverseCopy(const float* src, float* dst, int32_t points, const int32_t* swapList);
// In place, bit-reversed input to natural-order output; the table is the one
// BuildButterflyTwiddles made for the same number of points.
void FftButterflyBlockForward(float* data, int32_t points, const float* twiddles);
void FftButterflyBlockInverse(float* data, int32_t points, const float* twiddles);
void FftRadix2PassesForward(float* data, int32_t len, int32_t span, const float* twiddles);
void FftRadix2PassesInverse(float* data, int32_t len, int32_t span, const float* twiddles);
void ComplexFftForwardCore(const RealFftSpec* spec, const float* src, float* dst, int32_t n, void* work);
void ComplexFftInverseCore(const RealFftSpec* spec, const float* src, float* dst, int32_t n, void* work);
void FftFourStepForward(const RealFftSpec* spec, float* data, int32_t n, int32_t depth, void* work);
void FftFourStepInverse(const RealFftSpec* spec, float* data, int32_t n, int32_t depth, void* work);
void RealFftRecombineForward(float* data, int32_t order, const float* twiddles);
void RealFftRecombineInverse(const float* src, float* dst, int32_t order, const float* twiddles);
