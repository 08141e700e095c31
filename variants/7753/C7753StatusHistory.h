// What the 7753 model's status poll makes of its readings. Every 50 ms the
// poll reads the board's HID status and notes whether bit 4 of its first
// byte is clear; the last 30 readings decide the state:
//
//   state 0: forced mute on unit 11, render gain passes (the start state);
//   state 1: forced mute off, render gain attenuates;
//   state 2: forced mute off, render gain silences.
//
// Thirty readings with the bit set lead from any state to 0, thirty with
// the bit clear to 2; a mixed history leads from 0 to 1 only, so it leaves
// states 1 and 2 as they are. The class holds no lock: the poll thread
// alone owns it.
#pragma once

#include "kernel/nt.h"

constexpr ULONG C7753_STATUS_HISTORY = 30;
constexpr UCHAR C7753_STATUS_BIT = 0x10;

enum C7753PollState : ULONG {
  C7753_POLL_FORCED_MUTE = 0,
  C7753_POLL_ATTENUATE = 1,
  C7753_POLL_SILENCE = 2,
};

class C7753StatusHistory {
 public:
  // The reading taken before the timer runs fills the first entry.
  void Begin(bool bitClear);
  // One timer tick's reading.
  void Record(bool bitClear);
  // Decides on the readings so far: true when the state changed (State()
  // tells to which).
  bool Decide();
  ULONG State() const { return m_State; }

 private:
  UCHAR m_History[C7753_STATUS_HISTORY] = {};
  ULONG m_Index = 1;
  ULONG m_State = C7753_POLL_FORCED_MUTE;
};
