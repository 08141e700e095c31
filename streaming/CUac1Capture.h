// The stream engine of a USB Audio Class 1.0 input AudioStreaming
// interface. It copies every completed isochronous IN transfer into a 40 ms
// byte ring, runs the engine's signal path over the new data and hands it to
// the clients.
#pragma once

#include "streaming/CUsbStreamEngine.h"

class CUac1Capture : public CUsbStreamEngine {
 public:
  CUac1Capture(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);

 protected:
  KSPIN_LOCK m_CaptureRingLock;
};
