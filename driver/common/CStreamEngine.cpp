#include "driver/common/CStreamEngine.h"

#include "driver/common/NamedCallback.h"
#include "driver/common/OwnedLists.h"
#include "driver/common/PoolBuffer.h"

namespace {

bool IsStereoOutputCategory(ULONG category) {
  return category == PIN_CATEGORY_HP || category == PIN_CATEGORY_SPDIF || category == PIN_CATEGORY_HEADSET ||
         category == PIN_CATEGORY_FHP;
}

// Asks a node for an interface and gives the reference back at once; the
// node's owner keeps it alive for the caller's use.
template <typename T>
T* PeekInterface(IUnknown* node, REFIID iid) {
  PVOID object = nullptr;
  if (!node || !NT_SUCCESS(node->QueryInterface(iid, &object)) || !object) return nullptr;
  static_cast<T*>(object)->Release();
  return static_cast<T*>(object);
}

// A terminal's category, or 0 when the node is no terminal or cannot say.
ULONG TerminalCategory(ITerminal* terminal) {
  PinCategory category = PIN_CATEGORY_STREAM;
  if (!terminal || !NT_SUCCESS(terminal->GetCategory(&category))) return PIN_CATEGORY_STREAM;
  return category;
}

}  // namespace

CStreamEngine::CStreamEngine(PUNKNOWN outerUnknown, ULONG engineId)
    : CUnknownBase(outerUnknown), m_EngineId(engineId) {}

CStreamEngine::~CStreamEngine() {
  PAGED_CODE();
  ReleaseItemsAndList<IDspProcessor>(m_NodeProcessors);

  if (m_WorkBuffer) ExFreePool(m_WorkBuffer);
  m_WorkBuffer = nullptr;
  if (m_ChannelBuffers) {
    for (ULONG i = 0; i < STREAM_ENGINE_CHANNEL_BUFFERS; ++i)
      if (m_ChannelBuffers[i]) ExFreePool(m_ChannelBuffers[i]);
    ExFreePool(m_ChannelBuffers);
    m_ChannelBuffers = nullptr;
  }

  ReleaseItemsAndList<ITopoNode>(m_AttachedNodes);
  FreeItemsAndList(m_Formats);
  FreeItemsAndList(m_StereoFormats);

  // Clients detach on their own threads; the engine waits for them.
  for (CPointerList** clients : {&m_RunningClients, &m_PreparedClients, &m_RegisteredClients}) {
    if (!*clients) continue;
    while (!(*clients)->IsEmpty()) {
      LARGE_INTEGER interval;
      interval.QuadPart = -500000;  // 50 ms
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    FreePointerList(*clients);
  }

  ReleaseProcessors(m_CaptureProcessors);
  FreePointerList(m_CaptureProcessors);
  ReleaseProcessors(m_RenderProcessors);
  FreePointerList(m_RenderProcessors);

  if (m_Name) ExFreePool(m_Name);
  m_Name = nullptr;
  DropNamedCallbackObject(m_CallbackObject);
  if (m_WavePort) m_WavePort->Release();
  m_WavePort = nullptr;
  m_TopologySubdeviceInfo = nullptr;
  if (m_TopologyPort) m_TopologyPort->Release();
  m_TopologyPort = nullptr;
}

NTSTATUS CStreamEngine::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IStreamEngine)) {
    *object = static_cast<IStreamEngine*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS CStreamEngine::Init(ULONG direction) {
  PAGED_CODE();
  m_Direction = direction;

  // A second Init only makes what is still missing.
  for (CPointerList** list : {&m_NodeProcessors, &m_AttachedNodes, &m_Formats, &m_StereoFormats,
                              &m_RegisteredClients, &m_PreparedClients, &m_RunningClients, &m_CaptureProcessors,
                              &m_RenderProcessors}) {
    if (!*list) *list = NewPointerList(NonPagedPool, STREAM_ENGINE_TAG);
    if (!*list) return STATUS_INSUFFICIENT_RESOURCES;
  }

  if (!m_Name) {
    m_Name = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, STREAM_ENGINE_NAME_CHARS * sizeof(WCHAR), STREAM_ENGINE_TAG));
    if (!m_Name) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(m_Name, STREAM_ENGINE_NAME_CHARS * sizeof(WCHAR));
  }

  if (!m_CallbackObject) {
    WCHAR name[64];
    NTSTATUS status = CreateNamedCallbackObject(u"StreamEngineAddr", static_cast<IStreamEngine*>(this), name,
                                                ARRAYSIZE(name), &m_CallbackObject);
    if (!NT_SUCCESS(status)) return status;
  }

  KeInitializeSpinLock(&m_EngineLock);
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AllocateWorkBuffers() {
  PAGED_CODE();
  if (!m_WorkBuffer)
    m_WorkBuffer =
        static_cast<float*>(ExAllocatePoolWithTag(NonPagedPool, STREAM_ENGINE_WORK_BUFFER_BYTES, STREAM_ENGINE_TAG));
  if (!m_ChannelBuffers) {
    m_ChannelBuffers = static_cast<float**>(
        ExAllocatePoolWithTag(NonPagedPool, STREAM_ENGINE_CHANNEL_BUFFERS * sizeof(float*), STREAM_ENGINE_TAG));
    if (m_ChannelBuffers) RtlZeroMemory(m_ChannelBuffers, STREAM_ENGINE_CHANNEL_BUFFERS * sizeof(float*));
  }
  if (!m_ChannelBuffers) return STATUS_INSUFFICIENT_RESOURCES;
  bool complete = true;
  for (ULONG i = 0; i < STREAM_ENGINE_CHANNEL_BUFFERS; ++i) {
    if (!m_ChannelBuffers[i])
      m_ChannelBuffers[i] = static_cast<float*>(
          ExAllocatePoolWithTag(NonPagedPool, STREAM_ENGINE_CHANNEL_BUFFER_BYTES, STREAM_ENGINE_TAG));
    complete &= m_ChannelBuffers[i] != nullptr;
  }
  return complete ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CStreamEngine::AddFormat(const WAVEFORMATEXTENSIBLE* format) {
  PAGED_CODE();
  if (!format) return STATUS_INVALID_PARAMETER;
  if (!m_Formats || !m_StereoFormats) return STATUS_INSUFFICIENT_RESOURCES;
  for (CPointerList* list : {m_Formats, m_StereoFormats}) {
    if (list == m_StereoFormats && format->Format.nChannels != 2) break;
    auto* copy = static_cast<PWAVEFORMATEXTENSIBLE>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WAVEFORMATEXTENSIBLE), STREAM_ENGINE_TAG));
    if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, format, sizeof(WAVEFORMATEXTENSIBLE));
    if (!list->AddTail(copy)) {
      ExFreePool(copy);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AttachNode(ITopoNode* node) {
  PAGED_CODE();
  if (!node) return STATUS_INVALID_PARAMETER;
  if (!m_AttachedNodes) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG id = node->GetId();
  CPointerList::POSITION position = m_AttachedNodes->GetHeadPosition();
  PVOID item = nullptr;
  while (m_AttachedNodes->GetNext(&position, &item))
    if (item && static_cast<ITopoNode*>(item)->GetId() == id) return STATUS_SUCCESS;

  node->AddRef();
  if (!m_AttachedNodes->AddTail(node)) {
    node->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PVOID processor = nullptr;
  if (NT_SUCCESS(node->QueryInterface(IID_IDspProcessor, &processor)) && processor) {
    NTSTATUS status = AddNodeProcessor(static_cast<IDspProcessor*>(processor));
    static_cast<IDspProcessor*>(processor)->Release();
    return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::AddNodeProcessor(IDspProcessor* processor) {
  PAGED_CODE();
  if (!processor) return STATUS_INVALID_PARAMETER;
  if (!m_NodeProcessors) return STATUS_INSUFFICIENT_RESOURCES;
  processor->AddRef();
  if (!m_NodeProcessors->AddTail(processor)) {
    processor->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::SetName(PCWSTR name) {
  PAGED_CODE();
  if (!name || !m_Name) return STATUS_INVALID_PARAMETER;
  size_t length = 0;
  if (!NT_SUCCESS(RtlStringCchLengthW(name, STREAM_ENGINE_NAME_CHARS, &length))) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(m_Name, name, (length + 1) * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::GetName(PWSTR name) {
  PAGED_CODE();
  if (!name) return STATUS_INVALID_PARAMETER;
  if (!m_Name) {
    name[0] = 0;
    return STATUS_SUCCESS;
  }
  RtlCopyMemory(name, m_Name, STREAM_ENGINE_NAME_CHARS * sizeof(WCHAR));
  return STATUS_SUCCESS;
}

ULONG CStreamEngine::GetPinCategory() {
  // Without a node list there is no terminal to ask: the engine is a plain
  // stream (a status in its place would index the callers' tables).
  if (!m_AttachedNodes) return PIN_CATEGORY_STREAM;

  ULONG category = PIN_CATEGORY_STREAM;
  CPointerList::POSITION position = m_AttachedNodes->GetHeadPosition();
  PVOID item = nullptr;
  if (m_Direction == STREAM_DIRECTION_RENDER) {
    // The output-type switch knows the current type; without one the last
    // output pin tells.
    while (m_AttachedNodes->GetNext(&position, &item)) {
      auto* node = static_cast<ITopoNode*>(item);
      if (!node) continue;
      ULONG type = node->GetType();
      if (type == NODE_TYPE_OUTPUT_TYPE) {
        if (auto* outputType = PeekInterface<IOutputTypeNode>(node, IID_IOutputTypeNode)) {
          PinCategory current = PIN_CATEGORY_STREAM;
          if (NT_SUCCESS(outputType->GetCategory(&current))) category = current;
          break;
        }
      } else if (type == NODE_TYPE_OUTPUT_PIN) {
        if (auto* terminal = PeekInterface<ITerminal>(node, IID_ITerminal)) category = TerminalCategory(terminal);
      }
    }
    return ClampPinCategory(category);
  }

  // Capture: one input decides; S/PDIF gives way to a later real input, and
  // several inputs make a recording mix.
  ULONG inputs = 0;
  bool replacedSpdif = false;
  while (m_AttachedNodes->GetNext(&position, &item)) {
    auto* node = static_cast<ITopoNode*>(item);
    if (!node || node->GetType() != NODE_TYPE_INPUT_PIN) continue;
    auto* terminal = PeekInterface<ITerminal>(node, IID_ITerminal);
    if (!terminal) continue;
    ULONG current = TerminalCategory(terminal);
    if (current == PIN_CATEGORY_STREAM) continue;
    ++inputs;
    if (category == PIN_CATEGORY_STREAM) {
      category = current;
    } else if (category == PIN_CATEGORY_SPDIF && current != PIN_CATEGORY_SPDIF) {
      category = current;
      replacedSpdif = true;
    }
  }
  if (inputs >= 2 && !replacedSpdif) category = PIN_CATEGORY_REC;
  return ClampPinCategory(category);
}

CPointerList* CStreamEngine::AdvertisedFormats() {
  if (m_Direction == STREAM_DIRECTION_RENDER && IsStereoOutputCategory(GetPinCategory()) && m_StereoFormats &&
      !m_StereoFormats->IsEmpty())
    return m_StereoFormats;
  return m_Formats;
}

ULONG CStreamEngine::GetFormatCount() {
  CPointerList* list = AdvertisedFormats();
  return list ? static_cast<ULONG>(list->GetCount()) : 0;
}

NTSTATUS CStreamEngine::GetFormat(ULONG index, PWAVEFORMATEXTENSIBLE format) {
  CPointerList* list = AdvertisedFormats();
  if (!list) return STATUS_UNSUCCESSFUL;
  if (index >= static_cast<ULONG>(list->GetCount())) return STATUS_INVALID_PARAMETER;
  if (!format) return STATUS_INVALID_PARAMETER;
  PVOID item = nullptr;
  if (!list->GetAt(index, &item) || !item) return STATUS_UNSUCCESSFUL;
  RtlCopyMemory(format, item, sizeof(WAVEFORMATEXTENSIBLE));
  return STATUS_SUCCESS;
}

ULONG CStreamEngine::GetAttachedNodeCount() {
  return m_AttachedNodes ? static_cast<ULONG>(m_AttachedNodes->GetCount()) : 0;
}

NTSTATUS CStreamEngine::GetAttachedNode(ULONG index, ITopoNode** node) {
  if (!node) return STATUS_INVALID_PARAMETER;
  *node = nullptr;
  if (!m_AttachedNodes) return STATUS_UNSUCCESSFUL;
  if (index >= static_cast<ULONG>(m_AttachedNodes->GetCount())) return STATUS_INVALID_PARAMETER;
  PVOID item = nullptr;
  if (!m_AttachedNodes->GetAt(index, &item)) return STATUS_INVALID_PARAMETER;
  *node = static_cast<ITopoNode*>(item);
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::FindFormat(PWAVEFORMATEX format) {
  if (!format) return STATUS_INVALID_PARAMETER;
  if (!m_Formats) return STATUS_NO_MATCH;
  CPointerList::POSITION position = m_Formats->GetHeadPosition();
  PVOID item = nullptr;

  if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    // The query is a whole extensible record only when it says so; the
    // comparison covers exactly what both records hold.
    if (format->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) return STATUS_NO_MATCH;
    while (m_Formats->GetNext(&position, &item))
      if (item && RtlCompareMemory(item, format, sizeof(WAVEFORMATEXTENSIBLE)) == sizeof(WAVEFORMATEXTENSIBLE))
        return STATUS_SUCCESS;
    return STATUS_NO_MATCH;
  }

  while (m_Formats->GetNext(&position, &item)) {
    auto* stored = static_cast<PWAVEFORMATEXTENSIBLE>(item);
    if (!stored) continue;
    USHORT storedTag = static_cast<USHORT>(stored->SubFormat.Data1 & 0xFFFF);
    if (stored->Format.nChannels == format->nChannels && stored->Format.nSamplesPerSec == format->nSamplesPerSec &&
        stored->Format.wBitsPerSample == format->wBitsPerSample && storedTag == format->wFormatTag) {
      // The engine's own byte rate and block alignment win.
      WORD tag = format->wFormatTag;
      RtlCopyMemory(format, stored, 16);
      format->wFormatTag = tag;
      format->cbSize = 0;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_NO_MATCH;
}

NTSTATUS CStreamEngine::SetWaveMiniportFactory(PFNCREATEWAVEMINIPORT factory, REFCLSID classId) {
  PAGED_CODE();
  if (!factory) return STATUS_NO_SUCH_DEVICE;
  m_WaveMiniportFactory = factory;
  m_WaveClassId = classId;
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::SetTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport) {
  PAGED_CODE();
  if (!topologyPort || !topologyMiniport) return STATUS_NO_SUCH_DEVICE;
  topologyPort->AddRef();
  if (m_TopologyPort) m_TopologyPort->Release();
  m_TopologyPort = topologyPort;
  PVOID object = nullptr;
  NTSTATUS status = topologyMiniport->QueryInterface(IID_ISubdeviceInfo, &object);
  m_TopologySubdeviceInfo = nullptr;
  if (NT_SUCCESS(status) && object) {
    // The topology port keeps its miniport alive for as long as the engine
    // holds the port.
    m_TopologySubdeviceInfo = static_cast<ISubdeviceInfo*>(object);
    m_TopologySubdeviceInfo->Release();
  }
  return status;
}

NTSTATUS CStreamEngine::IsTerminalPresent(BOOLEAN* present) {
  PAGED_CODE();
  *present = FALSE;
  if (!m_AttachedNodes) return STATUS_SUCCESS;
  ULONG kind = m_Direction == STREAM_DIRECTION_RENDER ? NODE_TYPE_OUTPUT_PIN : NODE_TYPE_INPUT_PIN;
  // A terminal that cannot be asked (no memory for its records, the device
  // not answering) leaves the answer open unless another one is present.
  NTSTATUS unknown = STATUS_SUCCESS;
  CPointerList::POSITION position = m_AttachedNodes->GetHeadPosition();
  PVOID item = nullptr;
  while (m_AttachedNodes->GetNext(&position, &item)) {
    auto* node = static_cast<ITopoNode*>(item);
    if (!node || node->GetType() != kind) continue;
    auto* terminal = PeekInterface<ITerminal>(node, IID_ITerminal);
    if (!terminal || TerminalCategory(terminal) == PIN_CATEGORY_STREAM) continue;
    ULONG jacks = 0;
    NTSTATUS status = terminal->GetJackCount(&jacks, 0);
    if (NT_SUCCESS(status) && jacks == 0) {
      *present = TRUE;
      return STATUS_SUCCESS;
    }
    CPoolBuffer records;
    if (NT_SUCCESS(status) && !records.Allocate(PagedPool, SIZE_T(jacks) * sizeof(JackRecord), STREAM_ENGINE_TAG))
      status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status)) {
      RtlZeroMemory(records.Get(), records.Bytes());
      status = terminal->GetJackDescriptions(static_cast<ULONG>(records.Bytes()), records.As<JackRecord>(), 0);
    }
    if (!NT_SUCCESS(status)) {
      unknown = status;
      continue;
    }
    for (ULONG j = 0; j < jacks; ++j) {
      if (records.As<JackRecord>()[j].IsConnected) {
        *present = TRUE;
        return STATUS_SUCCESS;
      }
    }
  }
  return unknown;
}

NTSTATUS CStreamEngine::UpdateSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN adapter) {
  PAGED_CODE();
  if (!m_WaveMiniportFactory) return STATUS_UNSUCCESSFUL;
  // An interface whose every alternate setting was left out (its endpoint
  // could not stream) has no format to offer, and so no filter: the rest of
  // the device starts without it.
  if (GetFormatCount() == 0) return m_WavePort ? UnregisterWaveSubdevice(deviceObject) : STATUS_SUCCESS;
  BOOLEAN present = FALSE;
  NTSTATUS status = IsTerminalPresent(&present);
  // Presence that cannot be told keeps a registered filter; an engine
  // without one reports why, so that a start does not pass without it.
  if (!NT_SUCCESS(status)) return m_WavePort ? STATUS_SUCCESS : status;
  if (!present) return m_WavePort ? UnregisterWaveSubdevice(deviceObject) : STATUS_SUCCESS;
  if (m_WavePort) return STATUS_SUCCESS;

  status = InstallWaveSubdevice(deviceObject, irp, adapter);
  if (!NT_SUCCESS(status)) return status;
  if (m_Direction == STREAM_DIRECTION_RENDER)
    status = PcRegisterPhysicalConnection(deviceObject, m_WavePort, WAVE_FILTER_BRIDGE_PIN, m_TopologyPort,
                                          m_TopologyPin);
  else
    status = PcRegisterPhysicalConnection(deviceObject, m_TopologyPort, m_TopologyPin, m_WavePort,
                                          WAVE_FILTER_BRIDGE_PIN);
  if (!NT_SUCCESS(status)) {
    // A filter without its connection could never be removed through the
    // connection; take it away again so the next update starts afresh.
    PVOID object = nullptr;
    if (NT_SUCCESS(m_WavePort->QueryInterface(IID_IUnregisterSubdevice, &object)) && object) {
      auto* unregister = static_cast<IUnregisterSubdevice*>(object);
      if (NT_SUCCESS(unregister->UnregisterSubdevice(deviceObject, m_WavePort))) {
        m_WavePort->Release();
        m_WavePort = nullptr;
      }
      unregister->Release();
    }
  }
  return status;
}

NTSTATUS CStreamEngine::InstallWaveSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN adapter) {
  PAGED_CODE();
  if (!adapter) return STATUS_INVALID_PARAMETER;
  PVOID object = nullptr;
  NTSTATUS status = adapter->QueryInterface(IID_IAudioHal, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* audioHal = static_cast<IAudioHal*>(object);

  PPORT port = nullptr;
  PUNKNOWN miniport = nullptr;
  ISubdeviceInfo* subdeviceInfo = nullptr;
  do {
    ULONG count = audioHal->GetStreamEngineCount();
    ULONG index = 0;
    status = STATUS_UNSUCCESSFUL;
    for (; index < count; ++index) {
      IStreamEngine* engine = nullptr;
      if (!NT_SUCCESS(audioHal->GetStreamEngine(index, &engine))) break;
      if (engine == static_cast<IStreamEngine*>(this)) {
        status = STATUS_SUCCESS;
        break;
      }
    }
    if (!NT_SUCCESS(status)) break;

    status = PcNewPort(&port, m_WaveClassId);
    if (!NT_SUCCESS(status)) break;
    if (!m_WaveMiniportFactory) {
      status = STATUS_INVALID_PARAMETER;
      break;
    }
    status = m_WaveMiniportFactory(&miniport, m_WaveClassId, nullptr, NonPagedPool, index);
    if (!NT_SUCCESS(status)) break;
    status = port->Init(deviceObject, irp, miniport, adapter, nullptr);
    if (!NT_SUCCESS(status)) break;

    object = nullptr;
    status = miniport->QueryInterface(IID_ISubdeviceInfo, &object);
    if (!NT_SUCCESS(status)) break;
    subdeviceInfo = static_cast<ISubdeviceInfo*>(object);
    PWSTR name = nullptr;
    status = subdeviceInfo->GetName(&name);
    if (!NT_SUCCESS(status)) break;
    ULONG pin = 0;
    status = subdeviceInfo->GetConnectionId(&pin);
    if (!NT_SUCCESS(status)) break;
    if (!m_TopologySubdeviceInfo) {
      status = STATUS_UNSUCCESSFUL;
      break;
    }
    status = m_TopologySubdeviceInfo->GetConnectionId(&pin);
    if (!NT_SUCCESS(status)) break;

    status = PcRegisterSubdevice(deviceObject, name, port);
    if (!NT_SUCCESS(status)) break;
    object = nullptr;
    status = port->QueryInterface(IID_IUnknown, &object);
    if (!NT_SUCCESS(status)) break;
    m_WavePort = static_cast<PUNKNOWN>(object);
    m_TopologyPin = pin;
  } while (false);

  if (subdeviceInfo) subdeviceInfo->Release();
  if (miniport) miniport->Release();
  if (port) port->Release();
  audioHal->Release();
  return status;
}

NTSTATUS CStreamEngine::RemoveSubdevice(PDEVICE_OBJECT deviceObject) {
  PAGED_CODE();
  return m_WavePort ? UnregisterWaveSubdevice(deviceObject) : STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::UnregisterWaveSubdevice(PDEVICE_OBJECT deviceObject) {
  bool render = m_Direction == STREAM_DIRECTION_RENDER;
  PUNKNOWN source = render ? m_WavePort : m_TopologyPort;
  if (!source) return STATUS_UNSUCCESSFUL;

  IUnregisterPhysicalConnection* unregisterConnection = nullptr;
  IUnregisterSubdevice* unregisterSubdevice = nullptr;
  PVOID object = nullptr;
  NTSTATUS status = source->QueryInterface(IID_IUnregisterPhysicalConnection, &object);
  if (NT_SUCCESS(status)) {
    unregisterConnection = static_cast<IUnregisterPhysicalConnection*>(object);
    object = nullptr;
    status = m_WavePort->QueryInterface(IID_IUnregisterSubdevice, &object);
    if (NT_SUCCESS(status)) unregisterSubdevice = static_cast<IUnregisterSubdevice*>(object);
  }
  if (NT_SUCCESS(status)) {
    status = render ? unregisterConnection->UnregisterPhysicalConnection(deviceObject, m_WavePort,
                                                                         WAVE_FILTER_BRIDGE_PIN, m_TopologyPort,
                                                                         m_TopologyPin)
                    : unregisterConnection->UnregisterPhysicalConnection(deviceObject, m_TopologyPort,
                                                                         m_TopologyPin, m_WavePort,
                                                                         WAVE_FILTER_BRIDGE_PIN);
  }
  if (NT_SUCCESS(status)) status = unregisterSubdevice->UnregisterSubdevice(deviceObject, m_WavePort);
  if (NT_SUCCESS(status)) {
    m_WavePort->Release();
    m_WavePort = nullptr;
  }
  if (unregisterSubdevice) unregisterSubdevice->Release();
  if (unregisterConnection) unregisterConnection->Release();
  return status;
}

NTSTATUS CStreamEngine::RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context, PVOID* registration) {
  if (!registration) return STATUS_INVALID_PARAMETER;
  *registration = nullptr;
  if (!m_CallbackObject) return STATUS_UNSUCCESSFUL;
  *registration = ExRegisterCallback(m_CallbackObject, callback, context);
  return *registration ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CStreamEngine::UnregisterCallback(PVOID registration) {
  if (registration) ExUnregisterCallback(registration);
  return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::PowerChangeState(DEVICE_POWER_STATE) { return STATUS_SUCCESS; }
