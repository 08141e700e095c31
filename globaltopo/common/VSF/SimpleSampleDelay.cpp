#include "globaltopo/common/VSF/SimpleSampleDelay.h"

#include "primitives/Vector.h"

CSimpleSampleDelay::CSimpleSampleDelay(int32_t delay, int32_t blockSize) {
  m_nDelay = delay > 0 ? delay : 0;
  m_nBufSize = blockSize > 0 ? blockSize : 0;
  m_pBuffer = DspAllocateArray<float>(static_cast<size_t>(m_nDelay) + m_nBufSize + 1, VSF_POOL_TAG);
  m_bValid = m_pBuffer ? 1 : 0;
}

CSimpleSampleDelay::~CSimpleSampleDelay() { DspFreeArray(m_pBuffer); }

int32_t CSimpleSampleDelay::Process(const float* in, int32_t n) {
  VSF_ASSERT(n <= m_nBufSize);
  if (!m_bValid || n <= 0 || n > m_nBufSize) return 0;
  if (m_nDelay > 0 && m_nLast > 0) VecCopyF32(m_pBuffer + m_nLast, m_pBuffer, m_nDelay);
  for (int32_t i = 0; i < n; ++i) m_pBuffer[m_nDelay + i] = in[i];
  m_nLast = n;
  return n;
}
