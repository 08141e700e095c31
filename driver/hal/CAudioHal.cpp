#include "driver/hal/CAudioHal.h"

#include "driver/common/NamedCallback.h"
#include "driver/common/OwnedLists.h"
#include "driver/common/PoolBuffer.h"

namespace {

// An entry of a list by index, or the status telling why there is none.
template <typename T>
NTSTATUS ListEntry(CPointerList* list, ULONG index, T** out) {
  if (!out) return STATUS_INVALID_PARAMETER;
  *out = nullptr;
  if (!list) return STATUS_UNSUCCESSFUL;
  if (index >= static_cast<ULONG>(list->GetCount())) return STATUS_INVALID_PARAMETER;
  PVOID item = nullptr;
  if (!list->GetAt(index, &item)) return STATUS_INVALID_PARAMETER;
  *out = static_cast<T*>(item);
  return STATUS_SUCCESS;
}

template <typename T>
NTSTATUS AddReferenced(CPointerList* list, T* item) {
  if (!item) return STATUS_INVALID_PARAMETER;
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  item->AddRef();
  if (!list->AddTail(item)) {
    item->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

}  // namespace

CAudioHal::CAudioHal(PUNKNOWN outerUnknown) : CUnknownBase(outerUnknown) {}

CAudioHal::~CAudioHal() {
  PAGED_CODE();
  ReleaseInventories();
  DropNamedCallbackObject(m_CallbackObject);
}

void CAudioHal::ReleaseInventories() {
  ReleaseItemsAndList<ITopoNode>(m_Nodes);
  ReleaseItemsAndList<IStreamEngine>(m_StreamEngines);
}

NTSTATUS CAudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IAudioHal)) {
    *object = static_cast<IAudioHal*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IAdapterPowerManagement)) {
    *object = static_cast<IAdapterPowerManagement*>(this);
  } else {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  static_cast<IUnknown*>(*object)->AddRef();
  return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::GetStreamEngineCaps(ULONG, DeviceCapsRecord* caps) {
  if (!caps) return STATUS_INVALID_PARAMETER;
  *caps = m_Caps;
  return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::GetComponentId(PKSCOMPONENTID) { return STATUS_INVALID_DEVICE_REQUEST; }

ULONG CAudioHal::GetStreamEngineCount() {
  return m_StreamEngines ? static_cast<ULONG>(m_StreamEngines->GetCount()) : 0;
}

NTSTATUS CAudioHal::GetStreamEngine(ULONG index, IStreamEngine** engine) {
  return ListEntry(m_StreamEngines, index, engine);
}

ULONG CAudioHal::GetNodeCount() { return m_Nodes ? static_cast<ULONG>(m_Nodes->GetCount()) : 0; }

NTSTATUS CAudioHal::GetNode(ULONG index, ITopoNode** node) { return ListEntry(m_Nodes, index, node); }

NTSTATUS CAudioHal::Init(PRESOURCELIST, PDEVICE_OBJECT deviceObject, PDEVICE_OBJECT lowerDeviceObject,
                         PDEVICE_OBJECT physicalDeviceObject) {
  PAGED_CODE();
  if (!m_Nodes) m_Nodes = NewPointerList(NonPagedPool, AUDIO_HAL_TAG);
  if (!m_StreamEngines) m_StreamEngines = NewPointerList(NonPagedPool, AUDIO_HAL_TAG);
  if (!m_Nodes || !m_StreamEngines) return STATUS_INSUFFICIENT_RESOURCES;

  NTSTATUS status = STATUS_SUCCESS;
  if (!m_CallbackObject) {
    CPoolBuffer name(PagedPool, STREAM_ENGINE_NAME_CHARS * sizeof(WCHAR), AUDIO_HAL_NAME_TAG);
    status = name ? CreateNamedCallbackObject(u"AudioHalAddr", static_cast<IAudioHal*>(this), name.As<WCHAR>(),
                                              STREAM_ENGINE_NAME_CHARS, &m_CallbackObject)
                  : STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    m_DeviceObject = deviceObject;
    m_PhysicalDeviceObject = physicalDeviceObject;
    m_LowerDeviceObject = lowerDeviceObject;
    m_DevicePowerState = PowerDeviceD0;
    status = ConfigureDevice();
  }
  if (NT_SUCCESS(status)) status = BuildTopology();
  // The creator releases a model whose Init failed; until then it holds no
  // half-built inventory. The callback object stays for the destructor.
  if (!NT_SUCCESS(status)) ReleaseInventories();
  return status;
}

NTSTATUS CAudioHal::Start() {
  PAGED_CODE();
  ULONG count = GetNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (NT_SUCCESS(GetNode(i, &node)) && node) node->OnHalStart(i, nullptr);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::Stop() {
  PAGED_CODE();
  ULONG count = GetNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (NT_SUCCESS(GetNode(i, &node)) && node) node->OnHalStop(i, nullptr);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context, PVOID* registration) {
  PAGED_CODE();
  if (!registration) return STATUS_UNSUCCESSFUL;
  *registration = nullptr;
  if (!m_CallbackObject) return STATUS_UNSUCCESSFUL;
  *registration = ExRegisterCallback(m_CallbackObject, callback, context);
  return *registration ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CAudioHal::UnregisterCallback(PVOID registration) {
  PAGED_CODE();
  if (registration) ExUnregisterCallback(registration);
  return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::GetChannelCaps(ULONG, ULONG, DeviceCapsRecord* caps) {
  if (!caps) return STATUS_INVALID_PARAMETER;
  *caps = m_Caps;
  return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::AddNode(ITopoNode* node) { return AddReferenced(m_Nodes, node); }

NTSTATUS CAudioHal::AddStreamEngine(IStreamEngine* engine) { return AddReferenced(m_StreamEngines, engine); }

NTSTATUS CAudioHal::FindNodeById(ULONG nodeId, ITopoNode** node) {
  if (!node) return STATUS_INVALID_PARAMETER;
  *node = nullptr;
  if (!m_Nodes) return STATUS_UNSUCCESSFUL;
  CPointerList::POSITION position = m_Nodes->GetHeadPosition();
  PVOID item = nullptr;
  while (m_Nodes->GetNext(&position, &item))
    if (item && static_cast<ITopoNode*>(item)->GetId() == nodeId) *node = static_cast<ITopoNode*>(item);
  return *node ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CAudioHal::ApplyNodesToDevice() {
  PAGED_CODE();
  ULONG count = GetNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(GetNode(i, &node)) || !node) continue;
    NTSTATUS status = node->ApplyToDevice(i, nullptr);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

void CAudioHal::RegisterSelectorInputs() {
  PAGED_CODE();
  ULONG count = GetNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(GetNode(i, &node)) || !node || node->GetType() != NODE_TYPE_SELECTOR) continue;
    ULONG sources[MAX_SELECTOR_INPUTS_REGISTERED] = {};
    ULONG sourceCount = node->GetSourceCount();
    if (sourceCount > MAX_SELECTOR_INPUTS_REGISTERED) continue;
    if (!NT_SUCCESS(node->GetSourceIds(&sourceCount, sources))) continue;
    PVOID object = nullptr;
    if (!NT_SUCCESS(node->QueryInterface(IID_ISelector, &object)) || !object) continue;
    auto* selector = static_cast<ISelector*>(object);
    // A chain that cannot be registered leaves its input without nodes; the
    // other inputs and selectors still get theirs.
    for (ULONG j = 0; j < sourceCount; ++j) RegisterSelectorInputChain(j + 1, selector, sources[j]);
    selector->Release();
  }
}

NTSTATUS CAudioHal::RegisterSelectorInputChain(ULONG inputNumber, ISelector* selector, ULONG nodeId) {
  PAGED_CODE();
  if (!selector) return STATUS_INVALID_PARAMETER;

  // Collect the chain first. Every node on it has exactly one source, so
  // the path is a line: meeting a node already on it means the device's
  // descriptors loop, and the walk stops there instead of running forever.
  // The path can hold every node once, which is as long as a line can get.
  ULONG capacity = GetNodeCount();
  if (capacity == 0) return STATUS_SUCCESS;
  CPoolBuffer pathBuffer(PagedPool, SIZE_T(capacity) * sizeof(ITopoNode*), AUDIO_HAL_TAG);
  if (!pathBuffer) return STATUS_INSUFFICIENT_RESOURCES;
  auto** path = pathBuffer.As<ITopoNode*>();
  ULONG length = 0;

  ITopoNode* node = nullptr;
  FindNodeById(nodeId, &node);
  while (node && node->GetSourceCount() == 1) {
    for (ULONG k = 0; k < length; ++k)
      if (path[k] == node) return STATUS_UNSUCCESSFUL;
    path[length++] = node;
    ULONG sourceId = 0;
    ULONG one = 1;
    if (!NT_SUCCESS(node->GetSourceIds(&one, &sourceId)) || one != 1) break;
    node = nullptr;
    FindNodeById(sourceId, &node);
  }

  // The node farthest from the selector learns its input first.
  while (length > 0) {
    ITopoNode* member = path[--length];
    ULONG currentInput = 0;
    selector->GetInput(&currentInput);
    PVOID object = nullptr;
    if (!NT_SUCCESS(member->QueryInterface(IID_ISelectorInputNode, &object)) || !object) continue;
    auto* inputNode = static_cast<ISelectorInputNode*>(object);
    NTSTATUS status = selector->AddInputNode(inputNode);
    if (NT_SUCCESS(status)) status = inputNode->SetInputIndex(inputNumber);
    if (NT_SUCCESS(status)) status = inputNode->SetSelectedInput(currentInput);
    inputNode->Release();
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CAudioHal::BuildTopology() {
  PAGED_CODE();
  RegisterSelectorInputs();

  ULONG engines = GetStreamEngineCount();
  for (ULONG i = 0; i < engines; ++i) {
    IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(GetStreamEngine(i, &engine)) || !engine || engine->IsCapture()) continue;
    ULONG nodes = engine->GetAttachedNodeCount();
    for (ULONG n = 0; n < nodes; ++n) {
      ITopoNode* node = nullptr;
      if (!NT_SUCCESS(engine->GetAttachedNode(n, &node)) || !node) continue;
      PVOID object = nullptr;
      if (!NT_SUCCESS(node->QueryInterface(IID_IStreamEngineBinding, &object)) || !object) continue;
      static_cast<IStreamEngineBinding*>(object)->BindStreamEngines(0);
      static_cast<IStreamEngineBinding*>(object)->Release();
    }
  }
  return ApplyNodesToDevice();
}

void CAudioHal::NotifyControlChange(ULONG nodeId) {
  if (!m_CallbackObject) return;
  AudioHalNotify notify{AUDIOHAL_NOTIFY_CONTROL_CHANGE, 1, nodeId, 0};
  ExNotifyCallback(m_CallbackObject, &notify, nullptr);
}

void CAudioHal::PowerChangeState(POWER_STATE newState) {
  PAGED_CODE();
  DEVICE_POWER_STATE state = newState.DeviceState;
  if (state == m_DevicePowerState) return;
  switch (state) {
    case PowerDeviceD0:
      ApplyNodesToDevice();
      m_DevicePowerState = state;
      break;
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
      m_DevicePowerState = state;
      break;
    default:
      break;
  }
}

NTSTATUS CAudioHal::QueryDeviceCapabilities(PDEVICE_CAPABILITIES capabilities) {
  if (capabilities) capabilities->SurpriseRemovalOK = 1;
  return STATUS_SUCCESS;
}
