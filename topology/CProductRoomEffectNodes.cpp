#include "topology/CProductRoomEffectNodes.h"

#include "driver/common/SpinLockScope.h"
#include "topology/CToneNode.h"

// ---- C7719RoomEffectNode ------------------------------------------------------------------------

C7719RoomEffectNode::~C7719RoomEffectNode() {
  if (m_ToneNode) m_ToneNode->Release();
  if (m_RenderEngines) ExFreePool(m_RenderEngines);
}

NTSTATUS C7719RoomEffectNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IStreamEngineBinding)) {
    *object = static_cast<IStreamEngineBinding*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CRoomEffectNode::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS C7719RoomEffectNode::PlayPrompt() {
  if (!m_ToneNode) return STATUS_UNSUCCESSFUL;
  ISwitchNode* selector = nullptr;
  NTSTATUS status = m_ToneNode->QueryInterface(IID_ISwitchNode, reinterpret_cast<PVOID*>(&selector));
  if (!NT_SUCCESS(status)) return status;
  selector->SetValue(1, m_Value);
  selector->Release();
  status = m_ToneNode->Play();
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS C7719RoomEffectNode::SetValue(UCHAR value) {
  PAGED_CODE();
  const NTSTATUS status = CUacProcessingNode::SetValue(value);
  if (NT_SUCCESS(status)) PlayPrompt();
  return status;
}

NTSTATUS C7719RoomEffectNode::ApplyToDevice(ULONG, PVOID) { return CUacProcessingNode::SetValue(m_Value); }

NTSTATUS C7719RoomEffectNode::RefreshFromDevice() {
  PAGED_CODE();
  CKernelMutexScope lock(m_Lock);
  ISwitchControl* control = nullptr;
  NTSTATUS status = m_Binding.Query(IID_ISwitchControl, &control);
  if (!NT_SUCCESS(status)) return status;
  UCHAR value = 0;
  status = control->GetSwitchValue(m_Binding.controlSelector, 0, &value);
  control->Release();
  if (!NT_SUCCESS(status) || value == m_Value) return status;
  m_Value = value;
  m_Binding.Write(&value, sizeof value);
  // The value is the device's now, whatever becomes of its prompt.
  PlayPrompt();
  RaiseReconfigureFlags();
  return STATUS_SUCCESS;
}

NTSTATUS C7719RoomEffectNode::OnHalStop(ULONG, PVOID) {
  PAGED_CODE();
  CKernelMutexScope lock(m_Lock);
  return m_ToneNode ? m_ToneNode->Stop() : STATUS_SUCCESS;
}

NTSTATUS C7719RoomEffectNode::BindStreamEngines(ULONG) {
  PAGED_CODE();
  CKernelMutexScope lock(m_Lock);
  if (m_Bound) return STATUS_SUCCESS;
  if (!m_AudioHal) return STATUS_INVALID_DEVICE_STATE;
  IAudioHal* hal = nullptr;
  NTSTATUS status = m_AudioHal->QueryInterface(IID_IAudioHal, reinterpret_cast<PVOID*>(&hal));
  if (!NT_SUCCESS(status)) return status;

  const ULONG engines = hal->GetStreamEngineCount();
  auto renderEngineAt = [&](ULONG index) -> IStreamEngine* {
    IStreamEngine* engine = nullptr;
    return NT_SUCCESS(hal->GetStreamEngine(index, &engine)) && engine && !engine->IsCapture() ? engine : nullptr;
  };
  ULONG count = 0;
  for (ULONG i = 0; i < engines; ++i)
    if (renderEngineAt(i)) ++count;
  // Without a render engine there is nothing to play on; that is no error.
  if (count == 0 || m_EngineIndex >= count) {
    hal->Release();
    return STATUS_SUCCESS;
  }
  if (m_RenderEngines) ExFreePool(m_RenderEngines);
  m_RenderEngines =
      static_cast<IStreamEngine**>(ExAllocatePoolWithTag(NonPagedPool, count * sizeof(IStreamEngine*),
                                                         PRODUCT_FEATURE_NODE_TAG));
  m_RenderEngineCount = 0;
  if (!m_RenderEngines) {
    hal->Release();
    return STATUS_SUCCESS;
  }
  for (ULONG i = 0; i < engines && m_RenderEngineCount < count; ++i)
    if (IStreamEngine* engine = renderEngineAt(i)) m_RenderEngines[m_RenderEngineCount++] = engine;

  PUNKNOWN unknown = nullptr;
  status = CreateToneNode(&unknown, nullptr, hal);
  hal->Release();
  if (!NT_SUCCESS(status)) return status;
  IToneNode* tone = nullptr;
  status = unknown->QueryInterface(IID_IToneNode, reinterpret_cast<PVOID*>(&tone));
  unknown->Release();
  if (!NT_SUCCESS(status)) return status;
  status = tone->Init();
  if (NT_SUCCESS(status)) status = tone->SetRenderEngine(m_RenderEngines[m_EngineIndex]);
  if (!NT_SUCCESS(status)) {
    // A later call may try again from the start.
    tone->Release();
    return status;
  }
  m_ToneNode = tone;
  m_Bound = true;
  return STATUS_SUCCESS;
}

// ---- CK784RoomEffectNode ------------------------------------------------------------------------

NTSTATUS CK784RoomEffectNode::Init(ITopoNode* unit, ULONG controlSelector, PDEVICE_OBJECT deviceObject,
                                   IAudioHal* audioHal) {
  PAGED_CODE();
  InterlockedExchange(&m_ReconfigureFlags[0], 0);
  m_AudioHal = audioHal;
  m_Name = NODE_NAME_ROOM_EFFECT;
  m_Binding.unit = unit;
  m_Binding.controlSelector = controlSelector;
  m_ProcessingState = 1;
  m_Binding.deviceObject = deviceObject;
  FormatNodeValueName(m_Binding.valueName, m_NodeId);
  m_Binding.ReadIfUsable(&m_Value, IsSwitchValue);
  NTSTATUS status = CProcessingNode::Init(0);
  if (!NT_SUCCESS(status)) return status;
  m_BoundToUnit = true;
  return CreateParts();
}

NTSTATUS CK784RoomEffectNode::SetValue(UCHAR value) {
  PAGED_CODE();
  CKernelMutexScope lock(m_Lock);
  if (value == m_Value) return STATUS_SUCCESS;
  m_Value = value;
  RaiseReconfigureFlags();
  m_Binding.Write(&value, sizeof value);
  PlayPrompt();
  return STATUS_SUCCESS;
}

NTSTATUS CK784RoomEffectNode::ApplyToDevice(ULONG, PVOID) { return SetValue(m_Value); }
