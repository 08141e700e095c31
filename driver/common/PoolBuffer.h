// A pool allocation that goes back to the pool when its scope ends, so that
// every exit of a routine (including an early failure) frees it.
#pragma once

#include "kernel/nt.h"

class CPoolBuffer {
 public:
  CPoolBuffer() = default;
  CPoolBuffer(POOL_TYPE poolType, SIZE_T bytes, ULONG tag) { Allocate(poolType, bytes, tag); }
  ~CPoolBuffer() { Free(); }
  CPoolBuffer(const CPoolBuffer&) = delete;
  CPoolBuffer& operator=(const CPoolBuffer&) = delete;

  // Replaces the current block; false (and no block) when the pool is out.
  bool Allocate(POOL_TYPE poolType, SIZE_T bytes, ULONG tag) {
    Free();
    m_Data = ExAllocatePoolWithTag(poolType, bytes, tag);
    m_Bytes = m_Data ? bytes : 0;
    return m_Data != nullptr;
  }
  void Free() {
    if (m_Data) ExFreePool(m_Data);
    m_Data = nullptr;
    m_Bytes = 0;
  }

  PVOID Get() const { return m_Data; }
  template <typename T>
  T* As() const {
    return static_cast<T*>(m_Data);
  }
  SIZE_T Bytes() const { return m_Bytes; }
  explicit operator bool() const { return m_Data != nullptr; }

 private:
  PVOID m_Data = nullptr;
  SIZE_T m_Bytes = 0;
};
