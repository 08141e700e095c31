// A stream engine's client joining and leaving the engine: the steps of the
// client protocol in their order, each failure undoing the steps before it.
#pragma once

#include "topology/TopologyInterfaces.h"

struct CyclicClientRequest {
  ULONG kind;
  const WAVEFORMATEXTENSIBLE* format;
  ULONG msPerUrb;
  ULONG urbCount;
  PCALLBACK_FUNCTION callback;
  PVOID context;
  IToneNode* processor;  // the client processor, or null
  // The lock the callback holds while it reads *record and *handle, which
  // then change under it; null for a callback that reads neither.
  PKSPIN_LOCK lock;
};

// Registers, prepares and starts the client, two frames after the engine's
// current one. *record and *handle are set as soon as the client is
// registered (its notifications may arrive from then on, on another thread)
// and cleared again once a failure's undo has unregistered it; a client the
// engine would not give back keeps them, for a LeaveCyclicClient later.
// *msPerUrb gets the engine's milliseconds per URB.
NTSTATUS JoinCyclicClient(ICyclicControl* control, const CyclicClientRequest& request, StreamClientRecord** record,
                          PVOID* handle, PULONG msPerUrb);

// Stops, unprepares and unregisters the client. Once it is unregistered,
// *record and *handle are cleared and the result is success; while the
// engine still holds it they are kept for another try, and the result is
// the first step's failure.
NTSTATUS LeaveCyclicClient(ICyclicControl* control, IToneNode* processor, StreamClientRecord** record, PVOID* handle);
