// The floating-point mode the signal path runs in, for the time of one
// pass: flush-to-zero keeps the denormal tails of filters and envelopes
// from slowing the path, and round-to-nearest is what every processor's
// float arithmetic assumes. Denormals-are-zero stays as the caller had it,
// and the caller's whole MXCSR comes back at the end of the scope.
#pragma once

#include <xmmintrin.h>

class CSignalPathFloatControl {
 public:
  static constexpr unsigned kFlushToZero = 0x8000;
  static constexpr unsigned kRoundingControl = 0x6000;

  CSignalPathFloatControl() : m_Saved(_mm_getcsr()) { _mm_setcsr((m_Saved | kFlushToZero) & ~kRoundingControl); }
  ~CSignalPathFloatControl() { _mm_setcsr(m_Saved); }
  CSignalPathFloatControl(const CSignalPathFloatControl&) = delete;
  CSignalPathFloatControl& operator=(const CSignalPathFloatControl&) = delete;

 private:
  unsigned m_Saved;
};
