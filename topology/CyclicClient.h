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
// and cleared again on a failure; *msPerUrb gets the engine's milliseconds per URB.
NTSTATUS JoinCyclicClient(ICyclicControl* control, const CyclicClientRequest& request, StreamClientRecord** record,
                          PVOID* handle, PULONG msPerUrb);

// Stops, unprepares and unregisters the client and clears *record and
// *handle; returns the unregistration's status.
NTSTATUS LeaveCyclicClient(ICyclicControl* control, IToneNode* processor, StreamClientRecord** record, PVOID* handle);
