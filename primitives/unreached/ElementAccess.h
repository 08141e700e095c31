// Element access and bit views for the kernels of primitives/unreached.
//
// The kernels take vectors at any byte address (some paths exist only for
// destinations off their element boundary), so every scalar access goes
// through memcpy. The helpers sit in an unnamed namespace on purpose: level
// files compile them with their own instruction set, and each translation
// unit must keep its own copy rather than share one the linker picks.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace {

template <typename T>
inline T LoadAt(const T* base, int64_t i) {
  T value;
  std::memcpy(&value, base + i, sizeof(T));
  return value;
}

template <typename T>
inline void StoreAt(T* base, int64_t i, T value) {
  std::memcpy(base + i, &value, sizeof(T));
}

inline uintptr_t AddressOf(const void* p) { return reinterpret_cast<uintptr_t>(p); }

inline uint32_t BitsOf(float f) { return std::bit_cast<uint32_t>(f); }
inline uint64_t BitsOf(double d) { return std::bit_cast<uint64_t>(d); }
inline float FloatFromBits(uint32_t u) { return std::bit_cast<float>(u); }
inline double DoubleFromBits(uint64_t u) { return std::bit_cast<double>(u); }

}  // namespace
