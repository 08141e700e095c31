// The memory kernels of the processor-level builds, one design per level
// family: kLevel 1 is the level-1 design, 2 and 3 share the other. Included
// by the level files only (see LevelCommon.h); the level files name the
// builds.
#pragma once

#include "primitives/DspTypes.h"
#include "primitives/levels/LevelCommon.h"
#include "primitives/levels/MemoryLevels.h"

namespace {
namespace memory_level {

using Byte = unsigned char;

// ---------------------------------------------------------------------------
// Zero

// 0 to 15 bytes: overlapping 8- or 4-byte stores from both ends, single
// bytes below 4.
inline void ZeroTail(Byte* d, int64_t r) {
  if (r >= 8) {
    if (r != 8) StoreAs<uint64_t>(d, 0);
    StoreAs<uint64_t>(d + r - 8, 0);
  } else if (r >= 4) {
    if (r != 4) StoreAs<uint32_t>(d, 0);
    StoreAs<uint32_t>(d + r - 4, 0);
  } else {
    for (int64_t i = 0; i < r; ++i) d[i] = 0;
  }
}

// From a 16-byte boundary: `v` in 64-byte blocks, then in up to three
// 16-byte stores; `d` moves past them and the bytes left (fewer than 16)
// are returned.
inline int64_t StoreAlignedBlocks(Byte*& d, int64_t bytes, __m128i v) {
  for (; bytes >= 64; bytes -= 64, d += 64) {
    StoreA128(d, v);
    StoreA128(d + 16, v);
    StoreA128(d + 32, v);
    StoreA128(d + 48, v);
  }
  for (int i = 0; i < 3 && bytes >= 16; ++i, bytes -= 16, d += 16) StoreA128(d, v);
  return bytes;
}

inline void* ZeroBytes(void* dst, int64_t bytes) {
  Byte* d = static_cast<Byte*>(dst);
  int64_t n = bytes;
  if (n >= 16) {
    if (!Aligned16(d)) {
      const int64_t k = 16 - static_cast<int64_t>(Addr(d) & 15);
      if (k & 1) {
        StoreAs<uint8_t>(d, 0);
        d += 1;
      }
      if (k & 2) {
        StoreAs<uint16_t>(d, 0);
        d += 2;
      }
      if (k & 4) {
        StoreAs<uint32_t>(d, 0);
        d += 4;
      }
      if (k & 8) {
        StoreAs<uint64_t>(d, 0);
        d += 8;
      }
      n -= k;
    }
    const __m128i zero = _mm_setzero_si128();
    bool streamed = false;
    if (n >= 64 && n > ZERO_BYTES_PROBE_ABOVE) {
      const uint64_t cache = CacheSizeProbe(false);
      if (cache != CACHE_SIZE_NONE && static_cast<uint64_t>(n) >= cache) {
        for (; n >= 16; n -= 16, d += 16) StreamA128(d, zero);
        _mm_sfence();
        streamed = true;
      }
    }
    if (!streamed) n = StoreAlignedBlocks(d, n, zero);
  }
  ZeroTail(d, n);
  return dst;
}

// ---------------------------------------------------------------------------
// Fill

// A 4-byte aligned region of 4, 8 or 12 bytes, or 8 to 15 when the period-4
// pattern allows overlapping 8-byte stores.
inline void FillTail(Byte* d, int64_t bytes, uint64_t pattern8) {
  if (bytes >= 8) {
    if (bytes != 8) StoreAs<uint64_t>(d, pattern8);
    StoreAs<uint64_t>(d + bytes - 8, pattern8);
  } else if (bytes == 4) {
    StoreAs<uint32_t>(d, static_cast<uint32_t>(pattern8));
  }
}

// From a 16-byte boundary: 64-byte blocks, up to three 16-byte stores, then
// the tail.
inline void FillAlignedBody(Byte* d, int64_t bytes, __m128i pattern16, uint64_t pattern8) {
  bytes = StoreAlignedBlocks(d, bytes, pattern16);
  FillTail(d, bytes, pattern8);
}

inline uint32_t* FillCacheAware(const uint32_t* patternIn, uint32_t* dst, int64_t count) {
  Byte* d = reinterpret_cast<Byte*>(dst);
  uint32_t p = *patternIn;
  if ((Addr(d) & 1) != 0) {
    for (int64_t i = 0; i < count; ++i) StoreAs<uint32_t>(d + 4 * i, p);
    return dst;
  }
  if ((Addr(d) & 2) != 0) {
    // Two bytes past a 4-byte boundary: the first and the last element go
    // out whole, and the rest continues with the halves swapped from the
    // next 4-byte boundary on, which keeps the byte sequence.
    StoreAs<uint32_t>(d, p);
    StoreAs<uint32_t>(d + 4 * (count - 1), p);
    p = (p >> 16) | (p << 16);
    d += 2;
    if (--count == 0) return dst;
  }
  const uint64_t pattern8 = (static_cast<uint64_t>(p) << 32) | p;
  const __m128i pattern16 = _mm_set1_epi32(static_cast<int32_t>(p));
  if (count > FILL_PROBE_ABOVE) {
    while (!Aligned16(d)) {
      StoreAs<uint32_t>(d, p);
      d += 4;
      if (--count == 0) return dst;
    }
    const uint64_t cache = CacheSizeProbe(false);
    if (cache != CACHE_SIZE_NONE && static_cast<uint64_t>(count) > cache / 4) {
      for (; count >= 4; count -= 4, d += 16) StreamA128(d, pattern16);
      _mm_sfence();
      FillTail(d, 4 * count, pattern8);
      return dst;
    }
    FillAlignedBody(d, 4 * count, pattern16, pattern8);
    return dst;
  }
  int64_t bytes = 4 * count;
  if (bytes < 16) {
    FillTail(d, bytes, pattern8);
    return dst;
  }
  StoreAs<uint64_t>(d, pattern8);
  StoreAs<uint64_t>(d + 8, pattern8);
  const int64_t advance = 16 - static_cast<int64_t>(Addr(d) & 15);
  d += advance;
  bytes -= advance;
  if (bytes > 0) FillAlignedBody(d, bytes, pattern16, pattern8);
  return dst;
}

// ---------------------------------------------------------------------------
// Copy

// Level 1, fewer than 64 bytes: from the end towards the start.
inline void CopySmallL1(const Byte* s, Byte* d, int64_t b) {
  if (b < 8) {
    for (int64_t i = b - 1; i >= 0; --i) d[i] = s[i];
    return;
  }
  MoveSmall<8>(s + b - 8, d + b - 8);
  // The 8-byte words wholly inside the range at 8-byte aligned destination
  // addresses, highest first.
  const int64_t highest = static_cast<int64_t>(((Addr(d) + b - 8) & ~uintptr_t{7}) - Addr(d));
  int64_t lowest = b;
  for (int64_t at = highest; at >= 0; at -= 8) {
    MoveSmall<8>(s + at, d + at);
    lowest = at;
  }
  if (lowest > 0) MoveSmall<8>(s, d);
}

// Levels 2 and 3, fewer than 64 bytes: 32, 16, 8 and 4 bytes from the front
// by the bits of the count, then the last 1 to 3 bytes from the end.
inline void CopySmallL2(const Byte* s, Byte* d, int64_t b) {
  int64_t at = 0;
  if (b & 32) {
    const uint64_t w0 = LoadAs<uint64_t>(s), w1 = LoadAs<uint64_t>(s + 8), w2 = LoadAs<uint64_t>(s + 16),
                   w3 = LoadAs<uint64_t>(s + 24);
    StoreAs(d, w0);
    StoreAs(d + 8, w1);
    StoreAs(d + 16, w2);
    StoreAs(d + 24, w3);
    at = 32;
  }
  if (b & 16) {
    const uint64_t w0 = LoadAs<uint64_t>(s + at), w1 = LoadAs<uint64_t>(s + at + 8);
    StoreAs(d + at, w0);
    StoreAs(d + at + 8, w1);
    at += 16;
  }
  if (b & 8) {
    MoveSmall<8>(s + at, d + at);
    at += 8;
  }
  if (b & 4) {
    MoveSmall<4>(s + at, d + at);
    at += 4;
  }
  for (int64_t i = b - 1; i >= at; --i) d[i] = s[i];
}

template <int kLevel>
inline void CopySmall(const Byte* s, Byte* d, int64_t b) {
  if constexpr (kLevel == 1)
    CopySmallL1(s, d, b);
  else
    CopySmallL2(s, d, b);
}

// 64-byte blocks to a 16-byte aligned destination while 64 bytes remain,
// the source read by `load`; advances the three arguments.
template <typename Load>
inline void Blocks64(const Byte*& s, Byte*& d, int64_t& b, Load load) {
  for (; b >= 64; b -= 64, s += 64, d += 64) {
    const __m128i v0 = load(s), v1 = load(s + 16), v2 = load(s + 32), v3 = load(s + 48);
    StoreA128(d, v0);
    StoreA128(d + 16, v1);
    StoreA128(d + 32, v2);
    StoreA128(d + 48, v3);
  }
}

// Source and destination on 16-byte boundaries, level 1: 64-byte blocks, up
// to three 16-byte blocks, the rest small.
inline void CopyAlignedL1(const Byte* s, Byte* d, int64_t b) {
  Blocks64(s, d, b, LoadA128);
  for (int i = 0; i < 3 && b >= 16; ++i, b -= 16, s += 16, d += 16) StoreA128(d, LoadA128(s));
  CopySmallL1(s, d, b);
}

// Levels 2 and 3: the direction follows the page offsets of the two
// buffers, which keeps a load from being stalled by a store to the same
// offset of another page.
inline void CopyAlignedL2(const Byte* s, Byte* d, int64_t b) {
  const int64_t delta = static_cast<int64_t>(Addr(s) & 4095) - static_cast<int64_t>(Addr(d) & 4095);
  if ((delta > 0 && delta <= 160) || delta < -3936) {
    Blocks64(s, d, b, LoadA128);
    if (b & 32) {
      const __m128i v0 = LoadA128(s), v1 = LoadA128(s + 16);
      StoreA128(d, v0);
      StoreA128(d + 16, v1);
      s += 32;
      d += 32;
    }
    if (b & 16) {
      StoreA128(d, LoadA128(s));
      s += 16;
      d += 16;
    }
    if (b & 8) MoveSmall<8>(s, d), s += 8, d += 8;
    if (b & 4) MoveSmall<4>(s, d), s += 4, d += 4;
    if (b & 2) MoveSmall<2>(s, d), s += 2, d += 2;
    if (b & 1) MoveSmall<1>(s, d);
    return;
  }
  const Byte* se = s + b;
  Byte* de = d + b;
  if (b & 1) se -= 1, de -= 1, MoveSmall<1>(se, de);
  if (b & 2) se -= 2, de -= 2, MoveSmall<2>(se, de);
  if (b & 4) se -= 4, de -= 4, MoveSmall<4>(se, de);
  if (b & 8) se -= 8, de -= 8, MoveSmall<8>(se, de);
  if (b & 16) se -= 16, de -= 16, StoreA128(de, LoadA128(se));
  if (b & 32) {
    se -= 32;
    de -= 32;
    const __m128i v0 = LoadA128(se), v1 = LoadA128(se + 16);
    StoreA128(de, v0);
    StoreA128(de + 16, v1);
  }
  while (de > d) {
    se -= 64;
    de -= 64;
    StoreA128(de + 48, LoadA128(se + 48));
    StoreA128(de + 32, LoadA128(se + 32));
    StoreA128(de + 16, LoadA128(se + 16));
    StoreA128(de, LoadA128(se));
  }
}

// Destination on a 16-byte boundary, source not.
inline void CopyUnalignedSourceL1(const Byte* s, Byte* d, int64_t b) {
  Blocks64(s, d, b, LoadDq128);
  CopySmallL1(s, d, b);
}

inline void CopyUnalignedBlocksL2(const Byte* s, Byte* d, int64_t b) {
  Blocks64(s, d, b, LoadU128);
  CopySmallL2(s, d, b);
}

// A source 4, 8 or 12 bytes past a 16-byte boundary: aligned loads joined by
// a byte shift. 16 bytes stay in reserve so that the fifth load of a block
// never leaves the source.
template <int kShift>
inline void CopyShiftedL2(const Byte* s, Byte* d, int64_t b) {
  StoreA128(d, LoadU128(s));
  s += 16;
  d += 16;
  b -= 16;
  for (; b >= 80; b -= 64, s += 64, d += 64) {
    const Byte* base = s - kShift;
    const __m128i v0 = LoadA128(base), v1 = LoadA128(base + 16), v2 = LoadA128(base + 32), v3 = LoadA128(base + 48),
                  v4 = LoadA128(base + 64);
    StoreA128(d, _mm_alignr_epi8(v1, v0, kShift));
    StoreA128(d + 16, _mm_alignr_epi8(v2, v1, kShift));
    StoreA128(d + 32, _mm_alignr_epi8(v3, v2, kShift));
    StoreA128(d + 48, _mm_alignr_epi8(v4, v3, kShift));
  }
  CopyUnalignedBlocksL2(s, d, b);
}

inline void CopyUnalignedSourceL2(const Byte* s, Byte* d, int64_t b) {
  switch (Addr(s) & 15) {
    case 4:
      return CopyShiftedL2<4>(s, d, b);
    case 8:
      return CopyShiftedL2<8>(s, d, b);
    case 12:
      return CopyShiftedL2<12>(s, d, b);
    default:
      return CopyUnalignedBlocksL2(s, d, b);
  }
}

template <int kLevel>
inline void CopyCached(const Byte* s, Byte* d, int64_t b) {
  if constexpr (kLevel == 1) {
    if (Aligned16(s))
      CopyAlignedL1(s, d, b);
    else
      CopyUnalignedSourceL1(s, d, b);
  } else {
    if (Aligned16(s))
      CopyAlignedL2(s, d, b);
    else
      CopyUnalignedSourceL2(s, d, b);
  }
}

// A block at least as large as the cache measure bypasses the cache: each
// 256 KiB of source is read ahead (one byte a line), then streamed out.
template <int kLevel>
inline void CopyLarge(const Byte* s, Byte* d, int64_t b) {
  constexpr int64_t kChunk = 262144;
  constexpr int64_t kTouchStride = kLevel == 1 ? 128 : 64;
  const uint64_t cache = CacheSizeProbe(kLevel == 1);
  if (cache == CACHE_SIZE_NONE || static_cast<uint64_t>(b) < cache / 2) return CopyCached<kLevel>(s, d, b);
  for (; b >= kChunk; b -= kChunk, s += kChunk, d += kChunk) {
    for (int64_t at = 0; at < kChunk; at += kTouchStride) Touch(s + at);
    for (int64_t at = 0; at < kChunk; at += 16) StreamA128(d + at, LoadU128(s + at));
  }
  if (b == 0) {
    _mm_sfence();
    return;
  }
  for (int64_t at = b - kTouchStride; at >= 0; at -= kTouchStride) Touch(s + at);
  for (; b >= 16; b -= 16, s += 16, d += 16) StreamA128(d, LoadU128(s));
  _mm_sfence();
  CopySmall<kLevel>(s, d, b);
}

template <int kLevel>
inline void VecMoveKernel(const void* src, void* dst, int64_t bytes);

template <int kLevel>
inline void* CopyBytes(const void* src, void* dst, int64_t bytes) {
  const Byte* s = static_cast<const Byte*>(src);
  Byte* d = static_cast<Byte*>(dst);
  int64_t b = bytes;
  // The block paths copy in whatever order suits them; ranges that overlap
  // without coinciding need the move's ordering.
  if (s != d && Addr(s) < Addr(d) + b && Addr(d) < Addr(s) + b) {
    VecMoveKernel<kLevel>(src, dst, bytes);
    return dst;
  }
  constexpr int64_t kLargeFrom = kLevel == 1 ? COPY_BYTES_PROBE_FROM_L1 : COPY_BYTES_PROBE_FROM_L2L3;
  if (b < 64) {
    CopySmall<kLevel>(s, d, b);
    return dst;
  }
  if (!Aligned16(d)) {
    StoreU128(d, LoadU128(s));
    const int64_t advance = 16 - static_cast<int64_t>(Addr(d) & 15);
    s += advance;
    d += advance;
    b -= advance;
    if (b < 64) {
      CopySmall<kLevel>(s, d, b);
    } else if (Aligned16(s)) {
      // A shared misalignment: the aligned copy at once, never streamed.
      CopyCached<kLevel>(s, d, b);
    } else if (b >= kLargeFrom) {
      CopyLarge<kLevel>(s, d, b);
    } else {
      CopyCached<kLevel>(s, d, b);
    }
    return dst;
  }
  if (b >= kLargeFrom)
    CopyLarge<kLevel>(s, d, b);
  else
    CopyCached<kLevel>(s, d, b);
  return dst;
}

// ---------------------------------------------------------------------------
// Move
//
// Every step loads all the bytes it moves before it stores any, and the
// steps run away from the overlap (front to back when the destination lies
// below the source, back to front when above), so any overlap gives the
// result of a copy through a separate buffer.

// Level 1, forward.
inline void MoveForwardL1(const Byte* s, Byte* d, int64_t b) {
  auto tail = [&](int64_t rest) LEVEL_INLINE {
    if (rest >= 16) {
      const uint64_t w0 = LoadAs<uint64_t>(s), w1 = LoadAs<uint64_t>(s + 8);
      StoreAs(d, w0);
      StoreAs(d + 8, w1);
      s += 16, d += 16, rest -= 16;
    }
    if (rest >= 8) MoveSmall<8>(s, d), s += 8, d += 8, rest -= 8;
    if (rest >= 4) MoveSmall<4>(s, d), s += 4, d += 4, rest -= 4;
    for (; rest > 0; --rest) *d++ = *s++;
  };
  if (b < 64) {
    if (b >= 32) {
      const uint64_t w0 = LoadAs<uint64_t>(s), w1 = LoadAs<uint64_t>(s + 8), w2 = LoadAs<uint64_t>(s + 16),
                     w3 = LoadAs<uint64_t>(s + 24);
      StoreAs(d, w0);
      StoreAs(d + 8, w1);
      StoreAs(d + 16, w2);
      StoreAs(d + 24, w3);
      s += 32, d += 32, b -= 32;
    }
    return tail(b);
  }
  int64_t missing = static_cast<int64_t>((16 - (Addr(d) & 15)) & 15);
  b -= missing;
  if (missing >= 8) MoveSmall<8>(s, d), s += 8, d += 8, missing -= 8;
  if (missing >= 4) MoveSmall<4>(s, d), s += 4, d += 4, missing -= 4;
  for (; missing > 0; --missing) *d++ = *s++;
  if (Aligned16(s)) {
    for (; b >= 32; b -= 32, s += 32, d += 32) {
      StoreA128(d, LoadA128(s));
      StoreA128(d + 16, LoadA128(s + 16));
    }
  } else {
    // Any other source: one unaligned load per 16 bytes, both of a pass
    // before its stores.
    for (; b >= 32; b -= 32, s += 32, d += 32) {
      const __m128i v0 = LoadU128(s), v1 = LoadU128(s + 16);
      StoreA128(d, v0);
      StoreA128(d + 16, v1);
    }
  }
  tail(b);
}

// Level 1, backward: s and d point one past the ends.
inline void MoveBackwardL1(const Byte* s, Byte* d, int64_t b) {
  auto tail = [&](int64_t rest) LEVEL_INLINE {
    if (rest >= 16) {
      s -= 16, d -= 16, rest -= 16;
      const uint64_t w1 = LoadAs<uint64_t>(s + 8), w0 = LoadAs<uint64_t>(s);
      StoreAs(d + 8, w1);
      StoreAs(d, w0);
    }
    if (rest >= 8) s -= 8, d -= 8, rest -= 8, MoveSmall<8>(s, d);
    if (rest >= 4) s -= 4, d -= 4, rest -= 4, MoveSmall<4>(s, d);
    for (; rest > 0; --rest) *--d = *--s;
  };
  if (b < 64) {
    if (b >= 32) {
      s -= 32, d -= 32, b -= 32;
      const uint64_t w3 = LoadAs<uint64_t>(s + 24), w2 = LoadAs<uint64_t>(s + 16), w1 = LoadAs<uint64_t>(s + 8),
                     w0 = LoadAs<uint64_t>(s);
      StoreAs(d + 24, w3);
      StoreAs(d + 16, w2);
      StoreAs(d + 8, w1);
      StoreAs(d, w0);
    }
    return tail(b);
  }
  int64_t missing = static_cast<int64_t>(Addr(d) & 15);
  b -= missing;
  if (missing >= 8) s -= 8, d -= 8, missing -= 8, MoveSmall<8>(s, d);
  if (missing >= 4) s -= 4, d -= 4, missing -= 4, MoveSmall<4>(s, d);
  for (; missing > 0; --missing) *--d = *--s;
  if (Aligned16(s)) {
    for (; b >= 32; b -= 32) {
      s -= 32, d -= 32;
      StoreA128(d + 16, LoadA128(s + 16));
      StoreA128(d, LoadA128(s));
    }
  } else {
    for (; b >= 32; b -= 32) {
      s -= 32, d -= 32;
      const __m128i v1 = LoadU128(s + 16), v0 = LoadU128(s);
      StoreA128(d + 16, v1);
      StoreA128(d, v0);
    }
  }
  tail(b);
}

// Levels 2 and 3: pieces of 32, 16, 8, 4, 2 and 1 bytes by the bits of a
// count below 64, front to back.
inline void MoveBitsForwardL2(const Byte*& s, Byte*& d, int64_t b) {
  if (b & 32) {
    const uint64_t w0 = LoadAs<uint64_t>(s), w1 = LoadAs<uint64_t>(s + 8), w2 = LoadAs<uint64_t>(s + 16),
                   w3 = LoadAs<uint64_t>(s + 24);
    StoreAs(d, w0);
    StoreAs(d + 8, w1);
    StoreAs(d + 16, w2);
    StoreAs(d + 24, w3);
    s += 32, d += 32;
  }
  if (b & 16) {
    const uint64_t w0 = LoadAs<uint64_t>(s), w1 = LoadAs<uint64_t>(s + 8);
    StoreAs(d, w0);
    StoreAs(d + 8, w1);
    s += 16, d += 16;
  }
  if (b & 8) MoveSmall<8>(s, d), s += 8, d += 8;
  if (b & 4) MoveSmall<4>(s, d), s += 4, d += 4;
  if (b & 2) MoveSmall<2>(s, d), s += 2, d += 2;
  if (b & 1) MoveSmall<1>(s, d), s += 1, d += 1;
}

// The same back to front, 1 byte first; s and d point one past the ends.
inline void MoveBitsBackwardL2(const Byte*& s, Byte*& d, int64_t b) {
  if (b & 1) s -= 1, d -= 1, MoveSmall<1>(s, d);
  if (b & 2) s -= 2, d -= 2, MoveSmall<2>(s, d);
  if (b & 4) s -= 4, d -= 4, MoveSmall<4>(s, d);
  if (b & 8) s -= 8, d -= 8, MoveSmall<8>(s, d);
  if (b & 16) {
    s -= 16, d -= 16;
    const uint64_t w1 = LoadAs<uint64_t>(s + 8), w0 = LoadAs<uint64_t>(s);
    StoreAs(d + 8, w1);
    StoreAs(d, w0);
  }
  if (b & 32) {
    s -= 32, d -= 32;
    const uint64_t w3 = LoadAs<uint64_t>(s + 24), w2 = LoadAs<uint64_t>(s + 16), w1 = LoadAs<uint64_t>(s + 8),
                   w0 = LoadAs<uint64_t>(s);
    StoreAs(d + 24, w3);
    StoreAs(d + 16, w2);
    StoreAs(d + 8, w1);
    StoreAs(d, w0);
  }
}

// 32 source bytes into two 16-byte values: aligned loads from a 16-byte
// boundary, unaligned ones from anywhere else.
template <bool kAligned>
inline void Load32(const Byte* s, __m128i& v0, __m128i& v1) {
  v0 = kAligned ? LoadA128(s) : LoadU128(s);
  v1 = kAligned ? LoadA128(s + 16) : LoadU128(s + 16);
}

inline void MoveForwardL2(const Byte* s, Byte* d, int64_t b) {
  if (b < 64) return MoveBitsForwardL2(s, d, b);
  if (Aligned16(s) && Aligned16(d)) {
    Blocks64(s, d, b, LoadA128);
    return MoveBitsForwardL2(s, d, b);
  }
  // The destination's own address bits say what brings it to a boundary.
  if (Addr(d) & 1) MoveSmall<1>(s, d), s += 1, d += 1, b -= 1;
  if (Addr(d) & 2) MoveSmall<2>(s, d), s += 2, d += 2, b -= 2;
  if (Addr(d) & 4) MoveSmall<4>(s, d), s += 4, d += 4, b -= 4;
  if (Addr(d) & 8) MoveSmall<8>(s, d), s += 8, d += 8, b -= 8;
  auto passes = [&]<bool kAligned>() LEVEL_INLINE {
    // Two passes at a time, the second one's loads ahead of the first one's
    // stores: going forward they read bytes above everything stored so far.
    for (; b >= 64; b -= 64, s += 64, d += 64) {
      __m128i v0, v1, v2, v3;
      Load32<kAligned>(s, v0, v1);
      Load32<kAligned>(s + 32, v2, v3);
      StoreA128(d, v0);
      StoreA128(d + 16, v1);
      StoreA128(d + 32, v2);
      StoreA128(d + 48, v3);
    }
    for (; b >= 32; b -= 32, s += 32, d += 32) {
      __m128i v0, v1;
      Load32<kAligned>(s, v0, v1);
      StoreA128(d, v0);
      StoreA128(d + 16, v1);
    }
  };
  if (Aligned16(s))
    passes.template operator()<true>();
  else
    passes.template operator()<false>();
  if (b & 16) {
    StoreA128(d, LoadU128(s));
    s += 16, d += 16;
  }
  MoveBitsForwardL2(s, d, b & 15);
}

inline void MoveBackwardL2(const Byte* s, Byte* d, int64_t b) {
  if (b < 64) return MoveBitsBackwardL2(s, d, b);
  // Both starts on a boundary: the blocks that remain once the bits of the
  // count are peeled off the end are aligned.
  if (Aligned16(s - b) && Aligned16(d - b)) {
    MoveBitsBackwardL2(s, d, b & 63);
    for (b &= ~int64_t{63}; b > 0; b -= 64) {
      s -= 64, d -= 64;
      const __m128i v3 = LoadA128(s + 48), v2 = LoadA128(s + 32), v1 = LoadA128(s + 16), v0 = LoadA128(s);
      StoreA128(d + 48, v3);
      StoreA128(d + 32, v2);
      StoreA128(d + 16, v1);
      StoreA128(d, v0);
    }
    return;
  }
  if (Addr(d) & 1) s -= 1, d -= 1, b -= 1, MoveSmall<1>(s, d);
  if (Addr(d) & 2) s -= 2, d -= 2, b -= 2, MoveSmall<2>(s, d);
  if (Addr(d) & 4) s -= 4, d -= 4, b -= 4, MoveSmall<4>(s, d);
  if (Addr(d) & 8) s -= 8, d -= 8, b -= 8, MoveSmall<8>(s, d);
  auto passes = [&]<bool kAligned>() LEVEL_INLINE {
    // Two passes at a time, the lower one's loads ahead of the upper one's
    // stores: going backward they read bytes below everything stored so far.
    for (; b >= 64; b -= 64) {
      s -= 64, d -= 64;
      __m128i v0, v1, v2, v3;
      Load32<kAligned>(s + 32, v2, v3);
      Load32<kAligned>(s, v0, v1);
      StoreA128(d + 48, v3);
      StoreA128(d + 32, v2);
      StoreA128(d + 16, v1);
      StoreA128(d, v0);
    }
    for (; b >= 32; b -= 32) {
      s -= 32, d -= 32;
      __m128i v0, v1;
      Load32<kAligned>(s, v0, v1);
      StoreA128(d + 16, v1);
      StoreA128(d, v0);
    }
  };
  if (Aligned16(s - 32))
    passes.template operator()<true>();
  else
    passes.template operator()<false>();
  if (b & 16) {
    s -= 16, d -= 16;
    StoreA128(d, LoadU128(s));
  }
  MoveBitsBackwardL2(s, d, b & 15);
}

template <int kLevel>
inline void VecMoveKernel(const void* src, void* dst, int64_t bytes) {
  const Byte* s = static_cast<const Byte*>(src);
  Byte* d = static_cast<Byte*>(dst);
  if (s == d) return;
  const bool forward = Addr(d) < Addr(s);
  if constexpr (kLevel == 1) {
    if (forward)
      MoveForwardL1(s, d, bytes);
    else
      MoveBackwardL1(s + bytes, d + bytes, bytes);
  } else {
    if (forward)
      MoveForwardL2(s, d, bytes);
    else
      MoveBackwardL2(s + bytes, d + bytes, bytes);
  }
}

// ---------------------------------------------------------------------------
// Public builds

template <int kLevel>
inline DspStatus VecZeroF32(float* dst, int32_t len) {
  if (dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  ZeroBytes(dst, 4 * int64_t{len});
  return DSP_STATUS_OK;
}

template <int kLevel, typename T>
inline DspStatus VecSet32(T val, T* dst, int32_t len) {
  if (dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  const uint32_t pattern = std::bit_cast<uint32_t>(val);
  FillCacheAware(&pattern, reinterpret_cast<uint32_t*>(dst), len);
  return DSP_STATUS_OK;
}

template <int kLevel>
inline DspStatus CopyBytesChecked(const void* src, void* dst, int64_t bytes) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (bytes <= 0) return DSP_STATUS_BAD_LENGTH;
  CopyBytes<kLevel>(src, dst, bytes);
  return DSP_STATUS_OK;
}

template <int kLevel>
inline DspStatus VecCopyF32(const float* src, float* dst, int32_t len) {
  return CopyBytesChecked<kLevel>(src, dst, 4 * int64_t{len});
}

template <int kLevel>
inline DspStatus VecMoveF32(const float* src, float* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return DSP_STATUS_NULL_POINTER;
  if (len <= 0) return DSP_STATUS_BAD_LENGTH;
  VecMoveKernel<kLevel>(src, dst, 4 * int64_t{len});
  return DSP_STATUS_OK;
}

}  // namespace memory_level
}  // namespace
