// Helpers of the conversion kernel tests: a byte-level harness that runs a
// kernel's three level builds at many source and destination offsets and
// lengths against expected elements, with guard bytes around the output.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "tests/primitives/unreached/LevelTestSupport.h"

namespace conv_test {

// One level build with its extra arguments bound: (src, dst, len).
using Call = std::function<void(const void*, void*, int32_t)>;

template <typename T>
std::vector<unsigned char> BytesOf(const std::vector<T>& v) {
  std::vector<unsigned char> bytes(v.size() * sizeof(T));
  if (!v.empty()) std::memcpy(bytes.data(), v.data(), bytes.size());
  return bytes;
}

struct Layout {
  size_t inSize;   // bytes per source element
  size_t outSize;  // bytes per destination element
};

constexpr unsigned char kGuard = 0xCD;

// Runs `call` on input[first .. first + len) with the source and the
// destination `srcOffset` and `dstOffset` bytes past a 64-byte boundary and
// checks the output bytes and the guards on both sides.
inline void RunOnce(const Call& call, Layout layout, const std::vector<unsigned char>& input,
                    const std::vector<unsigned char>& expected, size_t first, int32_t len, size_t srcOffset,
                    size_t dstOffset) {
  const size_t inBytes = layout.inSize * len, outBytes = layout.outSize * len;
  std::vector<unsigned char> srcStorage(inBytes + 128), dstStorage(outBytes + 192, kGuard);
  auto at = [](std::vector<unsigned char>& v, size_t offset) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(v.data());
    return v.data() + ((64 - base % 64) % 64) + offset;
  };
  unsigned char* src = at(srcStorage, srcOffset);
  unsigned char* dst = at(dstStorage, dstOffset + 32);
  std::memcpy(src, input.data() + first * layout.inSize, inBytes);
  call(src, dst, len);
  const unsigned char* want = expected.data() + first * layout.outSize;
  for (size_t i = 0; i < static_cast<size_t>(len); ++i) {
    if (std::memcmp(dst + i * layout.outSize, want + i * layout.outSize, layout.outSize) != 0) {
      ADD_FAILURE() << "element " << first + i << " of len " << len << " at offsets " << srcOffset << "/" << dstOffset;
      return;
    }
  }
  for (unsigned char* p = dstStorage.data(); p < dst; ++p) ASSERT_EQ(*p, kGuard) << "written before dst";
  for (unsigned char* p = dst + outBytes; p < dstStorage.data() + dstStorage.size(); ++p)
    ASSERT_EQ(*p, kGuard) << "written past dst[len - 1], len " << len;
}

// Every level the processor runs; the whole input at a few offsets, and
// (shortRuns) every length 1..17, 31 and 40 from several starts at every
// offset pair of {0, 1, element size, 8} bytes.
inline void CheckLevels(const std::array<Call, 3>& levels, Layout layout, const std::vector<unsigned char>& input,
                        const std::vector<unsigned char>& expected, bool shortRuns = true) {
  const size_t n = input.size() / layout.inSize;
  ASSERT_EQ(expected.size(), n * layout.outSize);
  for (int level = 1; level <= 3; ++level) {
    if (!unreached_test::CpuRunsLevel(level)) continue;
    SCOPED_TRACE(testing::Message() << "level " << level);
    const Call& call = levels[level - 1];
    for (size_t offset : {size_t{0}, size_t{8}, layout.inSize + 4})
      RunOnce(call, layout, input, expected, 0, static_cast<int32_t>(n), offset, (offset * 3) % 16);
    if (!shortRuns) continue;
    for (size_t srcOffset : {size_t{0}, size_t{1}, layout.inSize, size_t{8}}) {
      for (size_t dstOffset : {size_t{0}, size_t{1}, layout.outSize, size_t{8}}) {
        for (int32_t len = 1; len <= 40; len = len < 17 ? len + 1 : (len == 17 ? 31 : (len == 31 ? 40 : 41))) {
          for (size_t first = 0; first + len <= n && first < 3 * static_cast<size_t>(len); first += len)
            RunOnce(call, layout, input, expected, first, len, srcOffset, dstOffset);
        }
      }
    }
  }
}

}  // namespace conv_test
