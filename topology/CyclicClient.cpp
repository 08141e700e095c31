#include "topology/CyclicClient.h"

namespace {

void SetClient(const CyclicClientRequest& request, StreamClientRecord** record, PVOID* handle,
               StreamClientRecord* client) {
  KIRQL irql = PASSIVE_LEVEL;
  if (request.lock) KeAcquireSpinLock(request.lock, &irql);
  *record = client;
  *handle = client ? client->Handle : nullptr;
  if (request.lock) KeReleaseSpinLock(request.lock, irql);
}

}  // namespace

NTSTATUS JoinCyclicClient(ICyclicControl* control, const CyclicClientRequest& request, StreamClientRecord** record,
                          PVOID* handle, PULONG msPerUrb) {
  StreamClientRecord* registered = nullptr;
  NTSTATUS status = control->RegisterClient(request.kind, request.format, request.msPerUrb, request.urbCount,
                                            request.callback, request.context, &registered);
  if (!NT_SUCCESS(status)) return status;
  if (!registered) return STATUS_UNSUCCESSFUL;
  SetClient(request, record, handle, registered);

  ULONG frame = 0;
  status = control->PrepareClient(*handle, msPerUrb, &frame);
  if (!NT_SUCCESS(status)) {
    control->UnregisterClient(*handle);
  } else {
    status = control->StartClient(*handle, frame + 2, msPerUrb, request.processor);
    if (!NT_SUCCESS(status)) {
      control->UnprepareClient(*handle);
      control->UnregisterClient(*handle);
    }
  }
  if (!NT_SUCCESS(status)) SetClient(request, record, handle, nullptr);
  return status;
}

NTSTATUS LeaveCyclicClient(ICyclicControl* control, IToneNode* processor, StreamClientRecord** record, PVOID* handle) {
  control->StopClient(*handle, processor);
  control->UnprepareClient(*handle);
  const NTSTATUS status = control->UnregisterClient(*handle);
  *record = nullptr;
  *handle = nullptr;
  return status;
}
