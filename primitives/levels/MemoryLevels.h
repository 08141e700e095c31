// Processor-level builds (levels 1, 2, 3) of the memory primitives: zero,
// fill, copy and the overlap-safe move, and the byte routines beneath them
// that the other level builds call directly.
//
// What sets the levels apart from the baseline: the destination is brought
// to a 16-byte boundary by a short prologue, the body runs in 16- and 64-byte
// blocks, and blocks too large for the processor's cache (CacheSizeProbe)
// are written with streaming stores closed by a store fence. Copy and move
// have two designs: level 1 (SSE3 lddqu, 512 KiB threshold, cache size per
// core) and levels 2/3 (SSSE3 palignr, 1 MiB threshold, page-offset
// direction rule).
//
// Byte counts of the internal routines are 64-bit, so 4 x len of every int32
// length is exact.
#pragma once

#include <cstdint>

#include "primitives/DspTypes.h"

// Public primitives: the contracts of the baseline builds (primitives/Vector.h).
DspStatus VecZeroF32L1(float* dst, int32_t len);
DspStatus VecZeroF32L2(float* dst, int32_t len);
DspStatus VecZeroF32L3(float* dst, int32_t len);
DspStatus VecSetF32L1(float val, float* dst, int32_t len);
DspStatus VecSetF32L2(float val, float* dst, int32_t len);
DspStatus VecSetF32L3(float val, float* dst, int32_t len);
DspStatus VecSetS32L1(int32_t val, int32_t* dst, int32_t len);
DspStatus VecSetS32L2(int32_t val, int32_t* dst, int32_t len);
DspStatus VecSetS32L3(int32_t val, int32_t* dst, int32_t len);
// Identical or disjoint ranges are copied as they are; partly overlapping
// ones go through the level's move kernel, so a destination below its source
// receives the moved data as the baseline's front-to-back copy gives it.
DspStatus VecCopyF32L1(const float* src, float* dst, int32_t len);
DspStatus VecCopyF32L2(const float* src, float* dst, int32_t len);
DspStatus VecCopyF32L3(const float* src, float* dst, int32_t len);
DspStatus VecMoveF32L1(const float* src, float* dst, int32_t len);
DspStatus VecMoveF32L2(const float* src, float* dst, int32_t len);
DspStatus VecMoveF32L3(const float* src, float* dst, int32_t len);
// src or dst null -8, bytes <= 0 -6, else the level's CopyBytes. The level-1
// build bears the family name: the baseline has no such routine.
DspStatus CopyBytesChecked(const void* src, void* dst, int32_t bytes);
DspStatus CopyBytesCheckedL2(const void* src, void* dst, int32_t bytes);
DspStatus CopyBytesCheckedL3(const void* src, void* dst, int32_t bytes);

// Internal routines (no checks; counts of at least 1 byte or element).
void* ZeroBytesL1(void* dst, int64_t bytes);
void* ZeroBytesL2(void* dst, int64_t bytes);
void* ZeroBytesL3(void* dst, int64_t bytes);
// Stores the 32-bit pattern count times from dst on; dst may be at any byte
// address (the pattern then continues the byte sequence of whole elements).
uint32_t* FillU32L1(uint32_t pattern, uint32_t* dst, int64_t count);
uint32_t* FillU32L2(uint32_t pattern, uint32_t* dst, int64_t count);
uint32_t* FillU32L3(uint32_t pattern, uint32_t* dst, int64_t count);
uint32_t* FillCacheAwareU32L1(const uint32_t* pattern, uint32_t* dst, int64_t count);
uint32_t* FillCacheAwareU32L2(const uint32_t* pattern, uint32_t* dst, int64_t count);
uint32_t* FillCacheAwareU32L3(const uint32_t* pattern, uint32_t* dst, int64_t count);
void* CopyBytesL1(const void* src, void* dst, int64_t bytes);
void* CopyBytesL2(const void* src, void* dst, int64_t bytes);
void* CopyBytesL3(const void* src, void* dst, int64_t bytes);
// Correct for every overlap: the direction follows the addresses (dst below
// src front to back, above it back to front, equal: nothing stored).
void VecMoveF32L1Kernel(const void* src, void* dst, int64_t bytes);
void VecMoveF32L2Kernel(const void* src, void* dst, int64_t bytes);
void VecMoveF32L3Kernel(const void* src, void* dst, int64_t bytes);

// The size in bytes of the largest cache the processor reports through its
// leaf-2 descriptors (CacheDescriptorTable), divided by the cores per package
// when perCore is set; CACHE_SIZE_NONE unless the processor is the reference
// vendor's and names a listed cache. Runs cpuid on every call.
inline constexpr uint64_t CACHE_SIZE_NONE = ~uint64_t{0};
uint64_t CacheSizeProbe(bool perCore);

// Streaming thresholds: the probe runs only from these sizes on.
inline constexpr int64_t ZERO_BYTES_PROBE_ABOVE = 524288;    // bytes still to clear
inline constexpr int64_t COPY_BYTES_PROBE_FROM_L1 = 524288;  // bytes
inline constexpr int64_t COPY_BYTES_PROBE_FROM_L2L3 = 1048576;
inline constexpr int64_t FILL_PROBE_ABOVE = 262144;  // elements
