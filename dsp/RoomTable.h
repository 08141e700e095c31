// Parameter tables of the room/surround effect: one column per sample-rate
// family, holding every delay and coefficient of the network. The code of the
// effect is the same for all rates; only the values and the number of taps at
// the end of each delay line change with the column.
#pragma once

#include <cstdint>

constexpr int32_t ROOM_COLUMN_COUNT = 18;
constexpr int32_t ROOM_LINE_COUNT = 4;
constexpr int32_t ROOM_FIR_COUNT = 7;
constexpr int32_t ROOM_FIR_MAX_LENGTH = 42;
constexpr int32_t ROOM_MAX_TAPS_PER_LINE = 4;
constexpr int32_t ROOM_OUTPUT_TERMS = 15;

// Columns with a table.
constexpr int32_t ROOM_COLUMN_48000 = 0;
constexpr int32_t ROOM_COLUMN_44100 = 1;
constexpr int32_t ROOM_COLUMN_32000 = 2;
constexpr int32_t ROOM_COLUMN_96000 = 16;
constexpr int32_t ROOM_COLUMN_88200 = 17;

struct RoomLine {
  float readOffset;                     // line delay minus the taps per line
  float gains[ROOM_MAX_TAPS_PER_LINE];  // from the shortest delay to the line delay
};

struct RoomFir {
  float length;
  // Coefficient j multiplies the filter input 2(j + 1) samples back; each is
  // an integer count of 1/32768.
  float coefficients[ROOM_FIR_MAX_LENGTH];
};

struct RoomFeedback {
  float matrixRow[ROOM_LINE_COUNT];
  float delay;  // the line delay D_k
};

struct RoomTable {
  int32_t tapsPerLine;  // 2, 3 or 4
  RoomLine lines[ROOM_LINE_COUNT];
  float inputMix[8];  // p2-p9
  float highpass[5];  // h0-h4
  float direct[11];   // p15-p25
  float midSide[12];  // p26-p37
  RoomFir firs[ROOM_FIR_COUNT];
  float rowA[ROOM_FIR_COUNT];
  float rowB[ROOM_FIR_COUNT];
  float outputRows[2][ROOM_OUTPUT_TERMS];  // 0.5, 1, 0.5, then the twelve tone coefficients
  RoomFeedback feedback[ROOM_LINE_COUNT];
};

// Indexed by column; null (and length 0) where a column has no table.
extern const RoomTable* const RoomTables[ROOM_COLUMN_COUNT];
extern const int32_t RoomTableLengths[ROOM_COLUMN_COUNT];
