#include "streaming/Uac1PipeOpen.h"

NTSTATUS BeginUac1Open(CUsbStreamEngine* engine, StreamClientRecord* client, LONG volatile* streamState,
                       Uac1OpenPlan* plan) {
  PAGED_CODE();
  if (!client || !plan) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = engine->FindFormat(&client->Format.Format);
  if (!NT_SUCCESS(status)) return status;
  status = engine->FindAlternateSetting(&client->Format, &plan->AlternateSetting);
  if (!NT_SUCCESS(status)) return status;
  // Sizes and counts are divided by these: none may be 0.
  if (client->MsPerUrb == 0 || client->Format.Format.nBlockAlign == 0) return STATUS_INVALID_PARAMETER;
  plan->PacketsPerMs = engine->GetPacketsPerFrame(plan->AlternateSetting);
  if (plan->PacketsPerMs == 0 || client->MsPerUrb > UAC1_MAX_PACKETS_PER_URB / plan->PacketsPerMs)
    return STATUS_INVALID_PARAMETER;
  if (InterlockedCompareExchange(streamState, STREAM_STATE_OPEN, STREAM_STATE_CLOSED) != STREAM_STATE_CLOSED)
    return STATUS_INSUFFICIENT_RESOURCES;
  return STATUS_SUCCESS;
}
