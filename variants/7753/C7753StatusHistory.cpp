#include "variants/7753/C7753StatusHistory.h"

void C7753StatusHistory::Begin(bool bitClear) { m_History[0] = bitClear ? 1 : 0; }

void C7753StatusHistory::Record(bool bitClear) {
  m_History[m_Index] = bitClear ? 1 : 0;
  m_Index = (m_Index + 1) % C7753_STATUS_HISTORY;
}

bool C7753StatusHistory::Decide() {
  ULONG clear = 0;
  for (UCHAR reading : m_History) clear += reading;
  ULONG next = m_State;
  if (clear == 0)
    next = C7753_POLL_FORCED_MUTE;
  else if (clear == C7753_STATUS_HISTORY)
    next = C7753_POLL_SILENCE;
  else if (m_State == C7753_POLL_FORCED_MUTE)
    next = C7753_POLL_ATTENUATE;
  if (next == m_State) return false;
  m_State = next;
  return true;
}
