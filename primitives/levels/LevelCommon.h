// Helpers of the processor-level builds, for the level files only.
//
// Everything here lives in an unnamed namespace: each level file compiles
// its own copy under its own instruction-set flags, so no copy built for a
// higher level can ever be the one that baseline code links against.
#pragma once

#if !defined(__SSE3__)
#error "level helpers belong to the level files, which are compiled for SSE3 or above"
#endif

#include <emmintrin.h>
#include <pmmintrin.h>
#include <tmmintrin.h>

#include <bit>
#include <cstdint>
#include <cstring>

// For the lambdas of the kernels: inlined, they keep the pointers they
// capture in registers; called, they reload them after every store, since
// the library is built without type-based alias analysis.
#define LEVEL_INLINE __attribute__((always_inline))

namespace {

inline uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }
inline bool Aligned16(const void* p) { return (Addr(p) & 15) == 0; }
inline bool Aligned4(const void* p) { return (Addr(p) & 3) == 0; }

// Accesses of any size at any byte address.
template <typename T>
inline T LoadAs(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}
template <typename T>
inline void StoreAs(void* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

// Copies n bytes (1, 2, 4 or 8) through one register: loaded whole before
// anything is stored.
template <int n>
inline void MoveSmall(const unsigned char* s, unsigned char* d) {
  if constexpr (n == 1) StoreAs<uint8_t>(d, LoadAs<uint8_t>(s));
  if constexpr (n == 2) StoreAs<uint16_t>(d, LoadAs<uint16_t>(s));
  if constexpr (n == 4) StoreAs<uint32_t>(d, LoadAs<uint32_t>(s));
  if constexpr (n == 8) StoreAs<uint64_t>(d, LoadAs<uint64_t>(s));
}

inline __m128i LoadU128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline __m128i LoadA128(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }
inline __m128i LoadDq128(const void* p) { return _mm_lddqu_si128(static_cast<const __m128i*>(p)); }
inline void StoreU128(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
inline void StoreA128(void* p, __m128i v) { _mm_store_si128(static_cast<__m128i*>(p), v); }
inline void StreamA128(void* p, __m128i v) { _mm_stream_si128(static_cast<__m128i*>(p), v); }

// 16 bytes gathered from two 8-byte or four 4-byte loads.
inline __m128i Load16By8(const unsigned char* p) { return _mm_set_epi64x(LoadAs<int64_t>(p + 8), LoadAs<int64_t>(p)); }
inline __m128i Load16By4(const unsigned char* p) {
  return _mm_set_epi32(LoadAs<int32_t>(p + 12), LoadAs<int32_t>(p + 8), LoadAs<int32_t>(p + 4), LoadAs<int32_t>(p));
}

// A read that the compiler keeps: it pulls a line into the cache ahead of
// a streaming copy.
inline void Touch(const unsigned char* p) { static_cast<void>(*static_cast<const volatile unsigned char*>(p)); }

}  // namespace
