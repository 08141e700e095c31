// The complex fast Fourier transform: forward transform of N = 2^order
// interleaved complex single-precision points (re, im, re, im, ...), order
// 0..30, through a setup record built once per order and scaling.
//
// The record shares the real FFT's 136-byte header (its kind tells the two
// apart) and is laid out in caller memory from the first 32-byte boundary.
// Orders 0 to 3 use the header alone and run written-out kernels; larger
// orders keep the permutation table at header + 136 and the twiddles after
// it, in the layout of the level that built the record. A record must only be
// used with the transforms of the level that built it.
//
// There is no inverse transform: inverseScaled is recorded because the flags
// are the real FFT's, and nothing reads it.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"
#include "primitives/RealFft.h"

// The complex record is the real FFT's header with kind COMPLEX_FFT_SPEC_ID;
// it converts to RealFftSpec* for the table builders and cores it shares.
struct ComplexFftSpec : RealFftSpec {};
static_assert(sizeof(ComplexFftSpec) == 136, "the complex record shares the 136-byte header");

inline constexpr int32_t COMPLEX_FFT_MAX_ORDER = 30;

// ---------------------------------------------------------------------------
// Public primitives (dispatched).

// Allocates and builds a record; *specOut is written only on success.
DspStatus ComplexFftCreate(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint);
// Invalidates the record, and frees it when ComplexFftCreate made it.
DspStatus ComplexFftDestroy(ComplexFftSpec* spec);
// dst = forward transform of src (src == dst transforms in place). workBuf
// may be null: the call then allocates the work buffer it needs, if any.
DspStatus ComplexFftForward(const float* src, float* dst, const ComplexFftSpec* spec, uint8_t* workBuf);

// Builds of the public primitives, one per level (ComplexFftDestroyL0 serves
// every level).
DspStatus ComplexFftCreateL0(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint);
DspStatus ComplexFftCreateL1(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint);
DspStatus ComplexFftCreateL2(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint);
DspStatus ComplexFftCreateL3(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint);
DspStatus ComplexFftDestroyL0(ComplexFftSpec* spec);
DspStatus ComplexFftForwardL0(const float* src, float* dst, const ComplexFftSpec* spec, uint8_t* workBuf);
DspStatus ComplexFftForwardL1(const float* src, float* dst, const ComplexFftSpec* spec, uint8_t* workBuf);
DspStatus ComplexFftForwardL2(const float* src, float* dst, const ComplexFftSpec* spec, uint8_t* workBuf);
DspStatus ComplexFftForwardL3(const float* src, float* dst, const ComplexFftSpec* spec, uint8_t* workBuf);

// ---------------------------------------------------------------------------
// Size query and init, per level (no dispatch stub: each level's create calls
// its own). Every size includes the 32 bytes that moving a caller pointer up
// to a 32-byte boundary may take. An order whose sizes do not fit 32 bits is
// refused with DSP_STATUS_BAD_ORDER, like an order outside 0..30.

DspStatus ComplexFftGetSizeL0(int32_t order, int32_t flags, int32_t hint, int32_t* specBytes, int32_t* initBufBytes,
                              int32_t* workBufBytes);
DspStatus ComplexFftGetSizeL1(int32_t order, int32_t flags, int32_t hint, int32_t* specBytes, int32_t* initBufBytes,
                              int32_t* workBufBytes);
DspStatus ComplexFftGetSizeL2(int32_t order, int32_t flags, int32_t hint, int32_t* specBytes, int32_t* initBufBytes,
                              int32_t* workBufBytes);
DspStatus ComplexFftGetSizeL3(int32_t order, int32_t flags, int32_t hint, int32_t* specBytes, int32_t* initBufBytes,
                              int32_t* workBufBytes);

// Builds the record in specMem (specBytes); initBuf (initBufBytes) is scratch
// above order 10 and free again on return. *specOut is written only on
// success; a rejected flags value leaves the header cleared (kind 0).
DspStatus ComplexFftInitL0(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint, uint8_t* specMem,
                           uint8_t* initBuf);
DspStatus ComplexFftInitL1(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint, uint8_t* specMem,
                           uint8_t* initBuf);
DspStatus ComplexFftInitL2(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint, uint8_t* specMem,
                           uint8_t* initBuf);
DspStatus ComplexFftInitL3(ComplexFftSpec** specOut, int32_t order, int32_t flags, int32_t hint, uint8_t* specMem,
                           uint8_t* initBuf);

// ---------------------------------------------------------------------------
// Orders 0 to 3, written out: src and dst hold 2^order points and may be the
// same array. A scaled kernel multiplies each first-stage sum and difference
// by s as it is formed. The builds of one order and form give the same bits.

void ComplexFftSmallOrderKernelO0(const float* src, float* dst);
void ComplexFftSmallOrderKernelO0Scaled(const float* src, float* dst, float s);
void ComplexFftSmallOrderKernelO1(const float* src, float* dst);
void ComplexFftSmallOrderKernelO1Scaled(const float* src, float* dst, float s);
void ComplexFftSmallOrderKernelO2L0(const float* src, float* dst);
void ComplexFftSmallOrderKernelO2ScaledL0(const float* src, float* dst, float s);
void ComplexFftSmallOrderKernelO2L1(const float* src, float* dst);
void ComplexFftSmallOrderKernelO2ScaledL1(const float* src, float* dst, float s);
void ComplexFftSmallOrderKernelO2L2L3(const float* src, float* dst);
void ComplexFftSmallOrderKernelO2ScaledL2L3(const float* src, float* dst, float s);
void ComplexFftSmallOrderKernelO3L0(const float* src, float* dst);
void ComplexFftSmallOrderKernelO3ScaledL0(const float* src, float* dst, float s);
void ComplexFftSmallOrderKernelO3L1(const float* src, float* dst);
void ComplexFftSmallOrderKernelO3ScaledL1(const float* src, float* dst, float s);
void ComplexFftSmallOrderKernelO3L2(const float* src, float* dst);
void ComplexFftSmallOrderKernelO3ScaledL2(const float* src, float* dst, float s);
void ComplexFftSmallOrderKernelO3L3(const float* src, float* dst);
void ComplexFftSmallOrderKernelO3ScaledL3(const float* src, float* dst, float s);

// One cell of the kernel table: an unscaled row fills `unscaled`, a scaled row
// `scaled`; the other member is null.
struct ComplexFftSmallKernel {
  void (*unscaled)(const float* src, float* dst);
  void (*scaled)(const float* src, float* dst, float s);
};

// Row 2k: the unscaled kernels of level k, row 2k + 1 its scaled kernels;
// column: the order.
inline constexpr int32_t COMPLEX_FFT_SMALL_KERNEL_ROWS = 8;
inline constexpr int32_t COMPLEX_FFT_SMALL_ORDERS = 4;
extern const ComplexFftSmallKernel ComplexFftSmallKernelTable[COMPLEX_FFT_SMALL_KERNEL_ROWS][COMPLEX_FFT_SMALL_ORDERS];
