// The stream engines of a USB Audio Class 1.0 output AudioStreaming
// interface. CUac1Render sends URBs of whole milliseconds and spreads a rate
// that is not a whole number of frames per millisecond over the packets
// with a fractional accumulator. CTQ4187Render, the render engine of this
// product, also runs every buffer through the engine's stream limiter and
// sends only channels 0 and 1 to the device: clients and the signal path may
// see more channels than the endpoint takes.
#pragma once

#include "streaming/CUsbStreamEngine.h"

class CUac1Render : public CUsbStreamEngine {
 public:
  CUac1Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId);

 protected:
  ULONG m_Rate = 0;
  LONG m_Accumulator = 0;
};

class CTQ4187Render : public CUac1Render {
 public:
  CTQ4187Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
      : CUac1Render(outerUnknown, interfaceNumber, terminalNodeId) {}
};
