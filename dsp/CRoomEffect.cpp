#include "dsp/CRoomEffect.h"

#include <cmath>

#include "kernel/bugcheck.h"

namespace {

constexpr float kToFullScale = 1.0f / 32768.0f;

// Outputs are whole 16-bit steps, saturated to the 16-bit range and rounded
// halves upward. Done in double so that 32768 v + 0.5 is exact.
float Quantise(float v) {
  if (v >= 32767.5f / 32768.0f) return 32767.0f;
  if (v < -32767.5f / 32768.0f) return -32768.0f;
  return static_cast<float>(std::floor(static_cast<double>(v) * 32768.0 + 0.5));
}

}  // namespace

int32_t CRoomEffect::ColumnForRate(uint32_t sampleRate) {
  switch (sampleRate) {
    case 48000:
      return ROOM_COLUMN_48000;
    case 44100:
      return ROOM_COLUMN_44100;
    case 32000:
      return ROOM_COLUMN_32000;
    case 96000:
      return ROOM_COLUMN_96000;
    case 88200:
      return ROOM_COLUMN_88200;
    default:
      return ROOM_COLUMN_44100;
  }
}

void CRoomEffect::Init() {
  m_ActiveColumn = 0;
  m_ActiveChannelMode = 0;
  m_RequestedColumn = 0;
  m_RequestedChannelMode = 0;
  Activate();
}

void CRoomEffect::SetFormat(uint32_t sampleRate, int32_t channelMode) {
  m_RequestedChannelMode = channelMode;
  m_RequestedColumn = ColumnForRate(sampleRate);
}

bool CRoomEffect::IsValid() const {
  return m_RequestedColumn >= 0 && m_RequestedColumn < ROOM_COLUMN_COUNT && RoomTables[m_RequestedColumn] &&
         m_RequestedChannelMode <= 7;
}

void CRoomEffect::Configure() {
  if (!IsValid()) {
    m_RequestedColumn = m_ActiveColumn;
    m_RequestedChannelMode = m_ActiveChannelMode;
    return;
  }
  Activate();
}

// A reset configures in full: after a rate change the next Process must not
// find requested == active and keep running the old length and cursor
// against the new column's delays.
void CRoomEffect::Reset() { Configure(); }

void CRoomEffect::Activate() {
  m_ActiveColumn = m_RequestedColumn;
  m_ActiveChannelMode = m_RequestedChannelMode;
  m_MemoryLength = RoomTableLengths[m_ActiveColumn];
  m_Base = m_Memory;
  m_Cursor = m_Base;
  memset(m_Memory, 0, sizeof(float) * m_MemoryLength);
  BuildLayout();
}

void CRoomEffect::BuildLayout() {
  const RoomTable& t = *RoomTables[m_ActiveColumn];
  int32_t w = 0;
  for (int k = 0; k < ROOM_LINE_COUNT; ++k) {
    m_Layout.line[k] = w;
    w += static_cast<int32_t>(t.feedback[k].delay);
  }
  for (int k = 0; k < ROOM_LINE_COUNT; ++k) {
    m_Layout.mix[k] = w;
    w += 2;
    m_Layout.highpass[k] = w;
    w += 2;
  }
  for (int k = 0; k < ROOM_FIR_COUNT; ++k) {
    m_Layout.fir[k] = w;
    w += 2 * static_cast<int32_t>(t.firs[k].length);
  }
  for (int k = 0; k < 2; ++k) {
    m_Layout.early[k] = w;
    w += 2;
  }
  for (int k = 0; k < 6; ++k) {
    m_Layout.tone[k] = w;
    w += 2;
  }
  m_Layout.span = w;
  KERNEL_RULE(w <= m_MemoryLength, "room effect network does not fit its memory");
}

void CRoomEffect::Process(float* const* inputs, float* const* outputs, uint32_t frames) {
  for (int c = 0; c < 8; ++c) {
    if (!inputs[c]) continue;
    for (uint32_t i = 0; i < frames; ++i) inputs[c][i] *= 32768.0f;
  }
  if (m_RequestedColumn != m_ActiveColumn || m_RequestedChannelMode != m_ActiveChannelMode) Configure();

  const RoomTable& t = *RoomTables[m_ActiveColumn];
  const NetworkLayout& lay = m_Layout;
  const int32_t taps = t.tapsPerLine;
  const bool surround = m_ActiveChannelMode == 5 || m_ActiveChannelMode == 7;
  const bool eight = m_ActiveChannelMode == 7;
  const float* p = t.inputMix;  // p2-p9
  const float* q = t.direct;    // p15-p25
  const float* ms = t.midSide;  // p26-p37
  const float* h = t.highpass;
  int32_t cursor = static_cast<int32_t>(m_Cursor - m_Base);
  auto in = [&](int c, uint32_t n) { return inputs[c] ? inputs[c][n] * kToFullScale : 0.0f; };

  for (uint32_t n = 0; n < frames; ++n) {
    float a = 0, b = 0, c = 0, d = 0, e = 0, f = 0, g = 0;
    if (surround) {
      const float lfe = in(3, n);
      a = in(0, n) + lfe;
      b = in(1, n) + lfe;
      c = in(2, n);
      d = in(4, n);
      e = in(5, n);
      if (eight) {
        f = in(6, n);
        g = in(7, n);
      }
    }

    // Every read of this sample comes before its first write.
    float S[ROOM_LINE_COUNT];
    for (int k = 0; k < ROOM_LINE_COUNT; ++k) {
      const int32_t first = lay.line[k] + static_cast<int32_t>(t.lines[k].readOffset) + 1;
      float s = t.lines[k].gains[0] * Read(cursor, first);
      for (int j = 1; j < taps; ++j) s += t.lines[k].gains[j] * Read(cursor, first + j);
      S[k] = s;
    }
    const float mix[ROOM_LINE_COUNT] = {p[0] * b + p[1] * e, p[2] * a + p[3] * d, p[4] * f + p[5] * c,
                                        p[6] * g + p[7] * c};
    float y[ROOM_LINE_COUNT];
    float u[ROOM_LINE_COUNT];
    for (int k = 0; k < ROOM_LINE_COUNT; ++k) {
      const float x1 = Read(cursor, lay.mix[k] + 1), x2 = Read(cursor, lay.mix[k] + 2);
      const float y1 = Read(cursor, lay.highpass[k] + 1), y2 = Read(cursor, lay.highpass[k] + 2);
      y[k] = 2.0f * (h[0] * mix[k] + h[1] * x1 + h[2] * x2 + h[3] * y1 + h[4] * y2);
      u[k] = y[k] + S[k];
    }

    const float cd = q[0] * c;
    const float x1 = q[1] * a + q[2] * S[3];
    const float fd = q[5] * f;
    const float x2 = q[3] * b + q[4] * S[0];
    const float gd = q[6] * g;
    const float x3 = q[7] * d + q[8] * S[1];
    const float x4 = q[9] * e + q[10] * S[2];
    const float r[ROOM_FIR_COUNT] = {cd,
                                     ms[0] * x1 + ms[1] * x2,
                                     ms[2] * x1 + ms[3] * x2,
                                     ms[4] * fd + ms[5] * gd,
                                     ms[6] * fd + ms[7] * gd,
                                     ms[8] * x3 + ms[9] * x4,
                                     ms[10] * x3 + ms[11] * x4};
    float ea = 0, eb = 0;
    for (int k = 0; k < ROOM_FIR_COUNT; ++k) {
      const int32_t len = static_cast<int32_t>(t.firs[k].length);
      const float* coef = t.firs[k].coefficients;
      float fk = coef[0] * Read(cursor, lay.fir[k] + 2);
      for (int32_t j = 1; j < len; ++j) fk += coef[j] * Read(cursor, lay.fir[k] + 2 * (j + 1));
      if (k == 0) {
        ea = t.rowA[0] * fk;
        eb = t.rowB[0] * fk;
      } else {
        ea += t.rowA[k] * fk;
        eb += t.rowB[k] * fk;
      }
    }

    // The 15 output terms: E, then the direct signals c', x1 or x2, f' or
    // g', x3 or x4, each now and one and two samples back.
    const float leftTerms[ROOM_OUTPUT_TERMS] = {
        ea, Read(cursor, lay.early[0] + 1), Read(cursor, lay.early[0] + 2),
        cd, Read(cursor, lay.fir[0] + 1),   Read(cursor, lay.fir[0] + 2),
        x1, Read(cursor, lay.tone[0] + 1),  Read(cursor, lay.tone[0] + 2),
        fd, Read(cursor, lay.tone[4] + 1),  Read(cursor, lay.tone[4] + 2),
        x3, Read(cursor, lay.tone[2] + 1),  Read(cursor, lay.tone[2] + 2),
    };
    const float rightTerms[ROOM_OUTPUT_TERMS] = {
        eb,
        Read(cursor, lay.early[1] + 1),
        Read(cursor, lay.early[1] + 2),
        cd,
        leftTerms[4],
        leftTerms[5],
        x2,
        Read(cursor, lay.tone[1] + 1),
        Read(cursor, lay.tone[1] + 2),
        gd,
        Read(cursor, lay.tone[5] + 1),
        Read(cursor, lay.tone[5] + 2),
        x4,
        Read(cursor, lay.tone[3] + 1),
        Read(cursor, lay.tone[3] + 2),
    };
    float left = t.outputRows[0][0] * leftTerms[0];
    float right = t.outputRows[1][0] * rightTerms[0];
    for (int i = 1; i < ROOM_OUTPUT_TERMS; ++i) {
      left += t.outputRows[0][i] * leftTerms[i];
      right += t.outputRows[1][i] * rightTerms[i];
    }

    // Writes: the new value of every signal at its own distance.
    for (int k = 0; k < ROOM_LINE_COUNT; ++k) {
      const float* m = t.feedback[k].matrixRow;
      Write(cursor, lay.line[k], m[0] * u[0] + m[1] * u[1] + m[2] * u[2] + m[3] * u[3]);
      Write(cursor, lay.mix[k], mix[k]);
      Write(cursor, lay.highpass[k], y[k]);
    }
    for (int k = 0; k < ROOM_FIR_COUNT; ++k) Write(cursor, lay.fir[k], r[k]);
    Write(cursor, lay.early[0], ea);
    Write(cursor, lay.early[1], eb);
    const float tones[6] = {x1, x2, x3, x4, fd, gd};
    for (int k = 0; k < 6; ++k) Write(cursor, lay.tone[k], tones[k]);

    if (outputs[0]) outputs[0][n] = Quantise(left) * kToFullScale;
    if (outputs[1]) outputs[1][n] = Quantise(right) * kToFullScale;

    if (++cursor == m_MemoryLength) cursor = 0;
  }
  m_Cursor = m_Base + cursor;
}
