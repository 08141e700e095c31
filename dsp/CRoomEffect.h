// The room/surround effect: folds a 6- or 8-channel block into a stereo pair
// placed in a small room. A four-line feedback delay network makes the tail,
// seven short FIR filters in mid/side pairs the early reflections, and 3-tap
// tone filters the direct paths; the result is quantised to 16-bit steps.
//
// The whole network lives in one circular memory: a cursor moves one float
// per sample, and every signal of the network is written at a fixed distance
// below it, so a value written at distance w is found at distance w + k after
// k samples. Each signal owns the band of distances its history needs, and
// one sample reads every old value it needs before it writes any new one, so
// the bands can touch without a gap.
#pragma once

#include <cstdint>

#include "dsp/DspPool.h"
#include "dsp/RoomTable.h"

constexpr int32_t ROOM_MEMORY_FLOATS = 7156;

class CRoomEffect : public CDspPoolObject {
 public:
  CRoomEffect() {}

  void Init();
  // Takes effect at the next Process.
  void SetFormat(uint32_t sampleRate, int32_t channelMode);
  bool IsValid() const;
  void Configure();
  // inputs: 8 channel buffers; all eight are left scaled by 32768 (the
  // 16-bit scale the network works in), unless the outputs overwrite them.
  // outputs: left and right, multiples of 1/32768 in [-1, 32767/32768]; they
  // may be the first two input buffers.
  void Process(float* const* inputs, float* const* outputs, uint32_t frames);
  void Reset();

  static int32_t ColumnForRate(uint32_t sampleRate);

  int32_t ActiveColumn() const { return m_ActiveColumn; }
  int32_t ActiveChannelMode() const { return m_ActiveChannelMode; }
  int32_t MemoryLength() const { return m_MemoryLength; }
  const float* Memory() const { return m_Memory; }
  // Distance of the cursor from the memory base.
  int32_t CursorOffset() const { return static_cast<int32_t>(m_Cursor - m_Base); }

 private:
  void Activate();
  void BuildLayout();
  float Read(int32_t cursor, int32_t distance) const {
    int32_t i = cursor - distance;
    if (i < 0) i += m_MemoryLength;
    return m_Memory[i];
  }
  void Write(int32_t cursor, int32_t distance, float v) {
    int32_t i = cursor - distance;
    if (i < 0) i += m_MemoryLength;
    m_Memory[i] = v;
  }

  int32_t m_ActiveColumn = 0;
  int32_t m_ActiveChannelMode = 0;
  int32_t m_RequestedColumn = 0;
  int32_t m_RequestedChannelMode = 0;
  int32_t m_MemoryLength = 0;
  float* m_Base = nullptr;
  float* m_Cursor = nullptr;

  // Where each signal of the active column is written (its distance below
  // the cursor); its value of k samples ago is at that distance + k.
  struct NetworkLayout {
    int32_t line[ROOM_LINE_COUNT];      // line inputs U_k, history D_k
    int32_t mix[ROOM_LINE_COUNT];       // high-pass inputs, history 2
    int32_t highpass[ROOM_LINE_COUNT];  // high-pass outputs, history 2
    int32_t fir[ROOM_FIR_COUNT];        // FIR inputs, history 2 x length (the first also serves the centre's tone)
    int32_t early[2];                   // E_A and E_B, history 2
    int32_t tone[6];                    // x1, x2, x3, x4, f', g', history 2
    int32_t span;                       // distances in use
  } m_Layout = {};

  float m_Memory[ROOM_MEMORY_FLOATS];
};
