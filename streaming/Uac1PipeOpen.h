// What opening a USB Audio Class 1.0 pipe for a client needs to know before
// it takes the engine: the client's format must be one the engine offers,
// carried by an alternate setting, in whole frames, with URBs of at least
// one millisecond, and no more packets per URB than the bus takes.
#pragma once

#include "streaming/CUsbStreamEngine.h"

// Isochronous packets one URB may carry: the bus takes no more, and the
// URB's 16-bit length holds them.
constexpr ULONG UAC1_MAX_PACKETS_PER_URB = 1024;

struct Uac1OpenPlan {
  UCHAR AlternateSetting;
  ULONG PacketsPerMs;
};

// Checks the client as above and then takes the engine's state from closed
// to open (`streamState`, changed by compare-exchange); an engine that is
// not closed keeps its state and the open fails with
// STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS BeginUac1Open(CUsbStreamEngine* engine, StreamClientRecord* client, LONG volatile* streamState,
                       Uac1OpenPlan* plan);
