#include <emmintrin.h>

#include <cstring>

#include "primitives/CpuId.h"
#include "primitives/unreached/ElementAccess.h"
#include "primitives/unreached/Fill.h"

namespace {

constexpr uint64_t kRegularLimitBytes = 1u << 20;

// The element's bytes repeated over 32 bytes, so that any 16-byte window at
// an offset that is a multiple of the element size is the pattern rotated.
struct Pattern {
  alignas(16) unsigned char bytes[32];
};

Pattern MakePattern(const void* value, size_t elementBytes) {
  Pattern p;
  for (size_t i = 0; i < sizeof(p.bytes); i += elementBytes) std::memcpy(p.bytes + i, value, elementBytes);
  return p;
}

// The bytes of [start, start + bytes) as if the pattern were laid from
// start: whole 16-byte slots on 16-byte boundaries, four per pass, with
// regular or non-temporal stores; the pieces before the first and after the
// last slot byte by byte from the same pattern.
void PatternFill(unsigned char* start, uint64_t bytes, const Pattern& p, bool nonTemporal) {
  const uintptr_t first = (AddressOf(start) + 15) & ~uintptr_t{15};
  uint64_t head = first - AddressOf(start);
  if (head > bytes) head = bytes;
  std::memcpy(start, p.bytes, head);
  unsigned char* slot = start + head;
  const uint64_t slots = (bytes - head) / 16;
  const __m128i rotated = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p.bytes + (head & 15)));
  for (uint64_t s = 0; s < slots; ++s, slot += 16) {
    if (nonTemporal) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(slot), rotated);
    } else {
      _mm_store_si128(reinterpret_cast<__m128i*>(slot), rotated);
    }
  }
  if (nonTemporal) _mm_sfence();
  const uint64_t tail = bytes - head - 16 * slots;
  std::memcpy(slot, p.bytes + (head & 15), tail);
}

// True when a fill of this many bytes should bypass the cache.
bool LargerThanCache(uint64_t bytes) {
  const uint64_t size = QueryCacheSize();
  return size != 0 && bytes > size;
}

// Elements one at a time until dst reaches a 16-byte boundary (an address
// off the element's own alignment never does), then the rest at once.
template <typename T>
T* LargeFill(const T* value, T* dst, uint32_t count) {
  uint64_t i = 0;
  const T v = *value;
  for (; i < count && (AddressOf(dst + i) & 15) != 0; ++i) StoreAt(dst, static_cast<int64_t>(i), v);
  if (i == count) return dst;
  const uint64_t bytes = sizeof(T) * (count - i);
  PatternFill(reinterpret_cast<unsigned char*>(dst + i), bytes, MakePattern(value, sizeof(T)), LargerThanCache(bytes));
  return dst;
}

template <typename T>
T* RegularFill(const T* value, T* dst, uint64_t count) {
  PatternFill(reinterpret_cast<unsigned char*>(dst), sizeof(T) * count, MakePattern(value, sizeof(T)), false);
  return dst;
}

}  // namespace

uint16_t* FillCacheAwareU16(const uint16_t* value, uint16_t* dst, uint32_t count) {
  if (sizeof(uint16_t) * uint64_t{count} <= kRegularLimitBytes && (AddressOf(dst) & 1) == 0)
    return RegularFill(value, dst, count);
  return LargeFill(value, dst, count);
}

uint64_t* FillCacheAwareU64(const uint64_t* value, uint64_t* dst, uint32_t count) {
  const uintptr_t address = AddressOf(dst);
  // At 4 modulo 8 the swapped pattern from dst + 4 puts the 8-byte slots on
  // their boundaries; the bytes are the same.
  const uint32_t afterShift = (address & 7) == 4 ? count - 1 : count;
  const bool elementAligned = (address & 3) == 0;
  if (elementAligned && sizeof(uint64_t) * uint64_t{afterShift} <= kRegularLimitBytes)
    return RegularFill(value, dst, count);
  if ((address & 7) == 4) {
    const uint64_t bytes = sizeof(uint64_t) * uint64_t{count};
    PatternFill(reinterpret_cast<unsigned char*>(dst), bytes, MakePattern(value, sizeof(uint64_t)),
                LargerThanCache(sizeof(uint64_t) * uint64_t{afterShift}));
    return dst;
  }
  return LargeFill(value, dst, count);
}

Element128* FillCacheAwareU128(const Element128* value, Element128* dst, uint32_t count) {
  const uintptr_t address = AddressOf(dst);
  if ((address & 7) != 0) {
    // Unaligned stores one element at a time, never around the cache.
    for (uint32_t i = 0; i < count; ++i) StoreAt(dst, i, *value);
    return dst;
  }
  const uint32_t slots = (address & 15) == 8 ? count - 1 : count;
  const uint64_t bytes = sizeof(Element128) * uint64_t{count};
  const bool bypass = slots > 65536 && LargerThanCache(sizeof(Element128) * uint64_t{slots});
  PatternFill(reinterpret_cast<unsigned char*>(dst), bytes, MakePattern(value, sizeof(Element128)), bypass);
  return dst;
}
