// The stream engine's software signal path: the processor lists and their
// runs over the buffers the USB pipes move.
//
// Integer PCM is cut into chunks of at most STREAM_ENGINE_CHUNK_FRAMES
// frames, converted into one float buffer per channel, handed to the node
// processors, then the capture-side and then the render-side client
// processors, and converted back into the same place. Buffers of any other
// format reach the node processors as they stand, and the client processors
// not at all. A failing processor stops the run at once: the chunks before it
// stay processed, its own chunk and the rest keep the data they had.

#include "driver/common/CStreamEngine.h"
#include "dsp/SampleConversion.h"
#include "dsp/SignalPathFloat.h"
#include "primitives/Convert.h"

namespace {

// A client of this kind hands over a processor for the direction opposite to
// the engine's; no such client exists yet.
constexpr ULONG kClientKindOtherDirection = 2;

bool IsEmpty(const CPointerList* list) { return !list || list->IsEmpty(); }

ULONG ChannelCount(const WAVEFORMATEXTENSIBLE& format) { return format.Format.nChannels; }

// The channel buffers hold eight channels.
bool ChannelsFit(const WAVEFORMATEXTENSIBLE& format) {
  return ChannelCount(format) >= 1 && ChannelCount(format) <= STREAM_ENGINE_CHANNEL_BUFFERS;
}

// A format the processors can be given: its channels fit the engine's
// buffers and its frames hold exactly their samples, so that neither a
// conversion nor a processor reading nChannels samples a frame touches a
// byte outside the chunk. Integer PCM must also be of a depth that converts.
bool CanProcess(const WAVEFORMATEXTENSIBLE& format) {
  if (!ChannelsFit(format)) return false;
  if (format.Format.nBlockAlign != ChannelCount(format) * (format.Format.wBitsPerSample / 8u)) return false;
  return EffectiveFormatTag(format) != WAVE_FORMAT_PCM || DspIsConvertiblePcm(format);
}

}  // namespace

// ============================================================================
// Whole buffers
// ============================================================================

NTSTATUS CStreamEngine::ProcessBuffer(PVOID buffer, LONG bufferBytes) {
  return ProcessWholeBuffer(buffer, bufferBytes, PROCESS_NODE | PROCESS_CAPTURE | PROCESS_RENDER, true);
}

NTSTATUS CStreamEngine::RunNodeProcessors(PVOID buffer, LONG bufferBytes) {
  return ProcessWholeBuffer(buffer, bufferBytes, PROCESS_NODE, false);
}

// Client processors work on float channels only, so their whole-buffer runs
// convert exactly as ProcessBuffer does rather than hand them the raw bytes.
NTSTATUS CStreamEngine::RunCaptureProcessors(PVOID buffer, LONG bufferBytes) {
  return ProcessWholeBuffer(buffer, bufferBytes, PROCESS_CAPTURE, false);
}

NTSTATUS CStreamEngine::RunRenderProcessors(PVOID buffer, LONG bufferBytes) {
  return ProcessWholeBuffer(buffer, bufferBytes, PROCESS_RENDER, false);
}

NTSTATUS CStreamEngine::ProcessWholeBuffer(PVOID buffer, LONG bufferBytes, ULONG lists, bool takeLock) {
  CSignalPathFloatControl floatControl;
  if (takeLock) KeAcquireSpinLockAtDpcLevel(&m_EngineLock);

  // The pipes read the format without the client protocol's mutex; one copy
  // keeps the checks, the conversion and the processors in agreement.
  const WAVEFORMATEXTENSIBLE format = m_CurrentWaveFormat;
  const ULONG blockAlign = format.Format.nBlockAlign;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG frames = 0;
  if (blockAlign == 0) {
    status = STATUS_INVALID_DEVICE_STATE;  // no format yet
  } else if (bufferBytes < 0 || (bufferBytes > 0 && !buffer)) {
    status = STATUS_INVALID_PARAMETER;
  } else if (bufferBytes % static_cast<LONG>(blockAlign) != 0) {
    DbgPrint("0 != lBufSize(%d) Div m_CurrentWaveFormat.Format.nBlockAlign(%d) \n", bufferBytes,
             static_cast<int>(blockAlign));
    status = STATUS_UNSUCCESSFUL;
  } else {
    frames = static_cast<ULONG>(bufferBytes) / blockAlign;
  }

  if (NT_SUCCESS(status)) {
    if (IsEmpty(m_NodeProcessors)) lists &= ~ULONG(PROCESS_NODE);
    if (IsEmpty(m_CaptureProcessors)) lists &= ~ULONG(PROCESS_CAPTURE);
    if (IsEmpty(m_RenderProcessors)) lists &= ~ULONG(PROCESS_RENDER);
    if (lists != 0 && frames != 0) {
      if (!CanProcess(format))
        status = STATUS_NOT_SUPPORTED;
      else
        status = ProcessChunks(static_cast<PUCHAR>(buffer), frames, format, lists);
    }
  }

  if (takeLock) KeReleaseSpinLockFromDpcLevel(&m_EngineLock);
  return status;
}

NTSTATUS CStreamEngine::ProcessChunks(PUCHAR buffer, ULONG frames, const WAVEFORMATEXTENSIBLE& format, ULONG lists) {
  const bool pcm = EffectiveFormatTag(format) == WAVE_FORMAT_PCM;
  if (!pcm) {
    // The node processors take the raw interleaved data; the client
    // processors only know float channels and sit this buffer out.
    lists &= PROCESS_NODE;
    if (lists == 0) return STATUS_SUCCESS;
  } else if (!m_WorkBuffer || !m_ChannelBuffers) {
    return STATUS_INVALID_DEVICE_STATE;
  } else {
    for (ULONG c = 0; c < ChannelCount(format); ++c)
      if (!m_ChannelBuffers[c]) return STATUS_INVALID_DEVICE_STATE;
  }

  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG done = 0; done < frames;) {
    const ULONG chunkFrames = frames - done < STREAM_ENGINE_CHUNK_FRAMES ? frames - done : STREAM_ENGINE_CHUNK_FRAMES;
    PUCHAR chunk = buffer + SIZE_T(done) * format.Format.nBlockAlign;
    if (pcm) {
      PcmToFloatChannels(chunk, chunkFrames, format);
      if (lists & PROCESS_NODE) status = RunNodeList(&format, m_ChannelBuffers, chunkFrames);
      if (NT_SUCCESS(status) && (lists & PROCESS_CAPTURE))
        status = RunClientList(m_CaptureProcessors, false, &format, chunkFrames);
      if (NT_SUCCESS(status) && (lists & PROCESS_RENDER))
        status = RunClientList(m_RenderProcessors, true, &format, chunkFrames);
      if (!NT_SUCCESS(status)) break;
      FloatChannelsToPcm(chunk, chunkFrames, format);
    } else {
      status = RunNodeList(&format, chunk, chunkFrames);
      if (!NT_SUCCESS(status)) break;
    }
    done += chunkFrames;
  }
  return status;
}

void CStreamEngine::PcmToFloatChannels(const UCHAR* buffer, ULONG frames, const WAVEFORMATEXTENSIBLE& format) {
  const ULONG channels = ChannelCount(format);
  DspSamplesToFloat(format, buffer, m_WorkBuffer, frames * channels);
  VecDeinterleaveF32(m_WorkBuffer, static_cast<int32_t>(channels), static_cast<int32_t>(frames), m_ChannelBuffers);
}

void CStreamEngine::FloatChannelsToPcm(PUCHAR buffer, ULONG frames, const WAVEFORMATEXTENSIBLE& format) {
  const ULONG channels = ChannelCount(format);
  VecInterleaveF32(m_ChannelBuffers, static_cast<int32_t>(channels), static_cast<int32_t>(frames), m_WorkBuffer);
  DspFloatToSamples(format, m_WorkBuffer, buffer, frames * channels);
}

// ============================================================================
// One list over one chunk
// ============================================================================

NTSTATUS CStreamEngine::RunNodeProcessorsFloat(PVOID buffer, ULONG frames, ULONG formatTag) {
  if (IsEmpty(m_NodeProcessors)) return STATUS_SUCCESS;
  // The processors read the data as the format says, not as the tag does:
  // channel pointers taken for samples, or samples for pointers, would send
  // their writes anywhere.
  if (formatTag != EffectiveFormatTag(m_CurrentWaveFormat)) return STATUS_INVALID_PARAMETER;
  PVOID data = buffer;
  if (formatTag == WAVE_FORMAT_PCM) {
    if (frames > STREAM_ENGINE_CHUNK_FRAMES || !ChannelsFit(m_CurrentWaveFormat)) return STATUS_INVALID_PARAMETER;
    if (!m_ChannelBuffers) return STATUS_INVALID_DEVICE_STATE;
    data = m_ChannelBuffers;
  } else if (!buffer) {
    return STATUS_INVALID_PARAMETER;
  }
  return RunNodeList(&m_CurrentWaveFormat, data, frames);
}

NTSTATUS CStreamEngine::RunCaptureProcessorsFloat(ULONG frames) {
  if (IsEmpty(m_CaptureProcessors)) return STATUS_SUCCESS;
  if (frames > STREAM_ENGINE_CHUNK_FRAMES || !ChannelsFit(m_CurrentWaveFormat)) return STATUS_INVALID_PARAMETER;
  if (!m_ChannelBuffers) return STATUS_INVALID_DEVICE_STATE;
  return RunClientList(m_CaptureProcessors, false, &m_CurrentWaveFormat, frames);
}

NTSTATUS CStreamEngine::RunRenderProcessorsFloat(ULONG frames) {
  if (IsEmpty(m_RenderProcessors)) return STATUS_SUCCESS;
  if (frames > STREAM_ENGINE_CHUNK_FRAMES || !ChannelsFit(m_CurrentWaveFormat)) return STATUS_INVALID_PARAMETER;
  if (!m_ChannelBuffers) return STATUS_INVALID_DEVICE_STATE;
  return RunClientList(m_RenderProcessors, true, &m_CurrentWaveFormat, frames);
}

NTSTATUS CStreamEngine::RunNodeList(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  NTSTATUS status = STATUS_SUCCESS;
  CPointerList::POSITION position = m_NodeProcessors->GetHeadPosition();
  PVOID item = nullptr;
  while (m_NodeProcessors->GetNext(&position, &item)) {
    if (!item) continue;
    status = static_cast<IDspProcessor*>(item)->Process(format, data, frames);
    if (!NT_SUCCESS(status)) break;
  }
  return status;
}

NTSTATUS CStreamEngine::RunClientList(CPointerList* list, bool render, const WAVEFORMATEXTENSIBLE* format,
                                      ULONG frames) {
  NTSTATUS status = STATUS_SUCCESS;
  CPointerList::POSITION position = list->GetHeadPosition();
  PVOID item = nullptr;
  while (list->GetNext(&position, &item)) {
    if (!item) continue;
    auto* processor = static_cast<IToneNode*>(item);
    status = render ? processor->Process(format, m_ChannelBuffers, frames)
                    : processor->ProcessCapture(format, m_ChannelBuffers, frames);
    if (!NT_SUCCESS(status)) break;
  }
  return status;
}

// ============================================================================
// Client-processor lists
// ============================================================================

NTSTATUS CStreamEngine::AddRenderProcessor(IToneNode* processor) { return AddProcessor(m_RenderProcessors, processor); }

NTSTATUS CStreamEngine::AddCaptureProcessor(IToneNode* processor) {
  return AddProcessor(m_CaptureProcessors, processor);
}

NTSTATUS CStreamEngine::RemoveRenderProcessor(IToneNode* processor) {
  return RemoveProcessor(m_RenderProcessors, processor);
}

NTSTATUS CStreamEngine::RemoveCaptureProcessor(IToneNode* processor) {
  return RemoveProcessor(m_CaptureProcessors, processor);
}

CPointerList* CStreamEngine::ClientProcessorList(ULONG clientKind) const {
  const bool sameDirection = clientKind == CYCLIC_CLIENT_TONE;
  if (!sameDirection && clientKind != kClientKindOtherDirection) return nullptr;
  const bool render = (m_Direction == STREAM_DIRECTION_RENDER) == sameDirection;
  return render ? m_RenderProcessors : m_CaptureProcessors;
}

NTSTATUS CStreamEngine::AddClientProcessor(ULONG clientKind, IToneNode* processor) {
  CPointerList* list = ClientProcessorList(clientKind);
  return list ? AddProcessor(list, processor) : STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::RemoveClientProcessor(ULONG clientKind, IToneNode* processor) {
  CPointerList* list = ClientProcessorList(clientKind);
  return list ? RemoveProcessor(list, processor) : STATUS_INVALID_PARAMETER;
}

NTSTATUS CStreamEngine::AddProcessor(CPointerList* list, IToneNode* processor) {
  if (!processor) return STATUS_INVALID_PARAMETER;
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  PointerListNode* node = CPointerList::NewNode(processor);
  if (!node) return STATUS_INSUFFICIENT_RESOURCES;
  AttachProcessor(list, node);
  return STATUS_SUCCESS;
}

void CStreamEngine::AttachProcessor(CPointerList* list, PointerListNode* node) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_EngineLock, &oldIrql);
  static_cast<IToneNode*>(node->item)->AddRef();
  list->AddTailNode(node);
  KeReleaseSpinLock(&m_EngineLock, oldIrql);
}

NTSTATUS CStreamEngine::RemoveProcessor(CPointerList* list, IToneNode* processor) {
  if (!list || !processor) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_EngineLock, &oldIrql);
  for (PointerListNode* node = list->First(); node; node = node->next) {
    if (node->item != processor) continue;
    list->RemoveNode(node);
    processor->Release();
    status = STATUS_SUCCESS;
    break;
  }
  KeReleaseSpinLock(&m_EngineLock, oldIrql);
  return status;
}

void CStreamEngine::ReleaseProcessors(CPointerList* list) {
  if (!list) return;
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_EngineLock, &oldIrql);
  PVOID item = nullptr;
  while (list->RemoveHead(&item))
    if (item) static_cast<IToneNode*>(item)->Release();
  KeReleaseSpinLock(&m_EngineLock, oldIrql);
}
