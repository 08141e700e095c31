#include "topology/CyclicClient.h"

#include <initializer_list>

namespace {

void SetClient(PKSPIN_LOCK lock, StreamClientRecord** record, PVOID* handle, StreamClientRecord* client) {
  KIRQL irql = PASSIVE_LEVEL;
  if (lock) KeAcquireSpinLock(lock, &irql);
  *record = client;
  *handle = client ? client->Handle : nullptr;
  if (lock) KeReleaseSpinLock(lock, irql);
}

// The engine's word that it let the record go is the unregistration's;
// only then are *record and *handle forgotten. A client it still holds
// keeps them, so that its owner leaves again rather than be freed under
// the engine's callbacks.
NTSTATUS Unregister(ICyclicControl* control, PKSPIN_LOCK lock, StreamClientRecord** record, PVOID* handle) {
  const NTSTATUS status = control->UnregisterClient(*handle);
  if (NT_SUCCESS(status)) SetClient(lock, record, handle, nullptr);
  return status;
}

NTSTATUS FirstFailure(std::initializer_list<NTSTATUS> statuses) {
  for (NTSTATUS status : statuses)
    if (!NT_SUCCESS(status)) return status;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS JoinCyclicClient(ICyclicControl* control, const CyclicClientRequest& request, StreamClientRecord** record,
                          PVOID* handle, PULONG msPerUrb) {
  StreamClientRecord* registered = nullptr;
  NTSTATUS status = control->RegisterClient(request.kind, request.format, request.msPerUrb, request.urbCount,
                                            request.callback, request.context, &registered);
  if (!NT_SUCCESS(status)) return status;
  if (!registered) return STATUS_UNSUCCESSFUL;
  SetClient(request.lock, record, handle, registered);

  ULONG frame = 0;
  status = control->PrepareClient(*handle, msPerUrb, &frame);
  if (NT_SUCCESS(status)) {
    status = control->StartClient(*handle, frame + 2, msPerUrb, request.processor);
    if (NT_SUCCESS(status)) return STATUS_SUCCESS;
    // A start that failed half-way may have left the client running, which
    // the unprepare refuses: it is stopped, and unprepared again. Whether
    // that took is the unregistration's word.
    if (control->UnprepareClient(*handle) == STATUS_INVALID_DEVICE_STATE) {
      control->StopClient(*handle, request.processor);
      control->UnprepareClient(*handle);
    }
  }
  Unregister(control, request.lock, record, handle);
  return status;
}

NTSTATUS LeaveCyclicClient(ICyclicControl* control, IToneNode* processor, StreamClientRecord** record, PVOID* handle) {
  // A stop or unprepare that reports a failure has still moved the client
  // (what failed is the engine's reopen for the clients that stay); the
  // unregistration tells whether the client is gone.
  const NTSTATUS stopped = control->StopClient(*handle, processor);
  const NTSTATUS unprepared = control->UnprepareClient(*handle);
  const NTSTATUS unregistered = Unregister(control, nullptr, record, handle);
  return NT_SUCCESS(unregistered) ? unregistered : FirstFailure({stopped, unprepared, unregistered});
}
