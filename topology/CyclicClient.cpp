#include "topology/CyclicClient.h"

NTSTATUS JoinCyclicClient(ICyclicControl* control, const CyclicClientRequest& request, StreamClientRecord** record,
                          PVOID* handle, PULONG msPerUrb) {
  StreamClientRecord* registered = nullptr;
  NTSTATUS status = control->RegisterClient(request.kind, request.format, request.msPerUrb, request.urbCount,
                                            request.callback, request.context, &registered);
  if (!NT_SUCCESS(status)) return status;
  if (!registered) return STATUS_UNSUCCESSFUL;
  *record = registered;
  *handle = registered->Handle;

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
  if (!NT_SUCCESS(status)) {
    *record = nullptr;
    *handle = nullptr;
  }
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
