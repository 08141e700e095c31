// A whole-block delay line: each call takes a block and leaves, at the front
// of its buffer, the same number of samples delayed by a fixed count.
#pragma once

#include <cstdint>

#include "globaltopo/common/VSF/VsfCommon.h"

class CSimpleSampleDelay : public CDspPoolObject {
 public:
  CSimpleSampleDelay(int32_t delay, int32_t blockSize);
  ~CSimpleSampleDelay();

  // Pushes n samples (at most the block size) and returns n; Output() then
  // holds them delayed. A longer block is refused and returns 0.
  int32_t Process(const float* in, int32_t n);
  const float* Output() const { return m_pBuffer; }
  int32_t Delay() const { return m_nDelay; }
  bool IsValid() const { return m_bValid != 0; }

 private:
  int32_t m_bValid = 0;
  int32_t m_nBufSize = 0;
  float* m_pBuffer = nullptr;  // delay + block size
  int32_t m_nDelay = 0;
  // Length of the previous block: the line's newest delay samples start
  // there, whatever the length of the next block.
  int32_t m_nLast = 0;
};
