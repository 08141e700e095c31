// Reads and writes of caller buffers at any alignment, for bytes whose length
// has already been checked.
#pragma once

#include "kernel/nt.h"

inline ULONG ReadUlong(const void* p, ULONG offset = 0) {
  ULONG v;
  RtlCopyMemory(&v, static_cast<const UCHAR*>(p) + offset, sizeof v);
  return v;
}
inline void WriteUlong(void* p, ULONG v, ULONG offset = 0) {
  RtlCopyMemory(static_cast<UCHAR*>(p) + offset, &v, sizeof v);
}
