#include "driver/hal/CUacAudioHal.h"

#include "driver/common/OwnedLists.h"
#include "driver/common/PoolBuffer.h"
#include "driver/common/SystemVersion.h"
#include "streaming/CUsbStreamEngine.h"
#include "topology/CSelectorNode.h"
#include "topology/CSoftwareMuteNode.h"
#include "topology/CUacUnit.h"
#include "usb/usbdlib.h"

namespace {

constexpr LONG USB_CLASS_AUDIO = 1;
constexpr LONG USB_SUBCLASS_AUDIOCONTROL = 1;
constexpr LONG USB_SUBCLASS_AUDIOSTREAMING = 2;
// A unit descriptor has at most 255 sources.
constexpr ULONG MAX_SOURCES_READ = 256;

// The ids a walk has taken, by node id. Node ids are the model's node
// numbers, so every id of the model is below the node count; an id at or
// above it names no node of the model.
class CTakenSet {
 public:
  CTakenSet(ULONG count, ULONG tag) : m_Count(count), m_Bits(PagedPool, count ? count : 1, tag) {
    if (m_Bits) RtlZeroMemory(m_Bits.Get(), m_Bits.Bytes());
  }
  explicit operator bool() const { return static_cast<bool>(m_Bits); }
  bool Contains(ULONG id) const { return id < m_Count && m_Bits.As<UCHAR>()[id]; }
  bool Valid(ULONG id) const { return id < m_Count; }
  void Add(ULONG id) {
    if (id < m_Count) m_Bits.As<UCHAR>()[id] = 1;
  }
  void Clear() { RtlZeroMemory(m_Bits.Get(), m_Bits.Bytes()); }

 private:
  ULONG m_Count;
  CPoolBuffer m_Bits;
};

// A ring of node ids for the breadth-first walks.
class CIdRing {
 public:
  bool Empty() const { return m_Size == 0; }
  ULONG Free() const { return UAC1_WALK_RING - m_Size; }
  void Push(ULONG id) {
    m_Ids[(m_Head + m_Size) % UAC1_WALK_RING] = id;
    ++m_Size;
  }
  ULONG Pop() {
    ULONG id = m_Ids[m_Head];
    m_Head = (m_Head + 1) % UAC1_WALK_RING;
    --m_Size;
    return id;
  }

 private:
  ULONG m_Ids[UAC1_WALK_RING] = {};
  ULONG m_Head = 0;
  ULONG m_Size = 0;
};

template <typename T>
T* QueryNode(IUnknown* node, REFIID iid) {
  PVOID object = nullptr;
  if (!node || !NT_SUCCESS(node->QueryInterface(iid, &object))) return nullptr;
  return static_cast<T*>(object);
}

bool SameName(PCWSTR a, PCWSTR b) {
  for (ULONG i = 0; i < STREAM_ENGINE_NAME_CHARS; ++i) {
    if (a[i] != b[i]) return false;
    if (a[i] == 0) return true;
  }
  return true;
}

}  // namespace

CUacAudioHal::CUacAudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId, ULONG modelTag)
    : CAudioHal(outerUnknown), m_VendorId(vendorId), m_ProductId(productId), m_ModelTag(modelTag) {}

CUacAudioHal::~CUacAudioHal() {
  PAGED_CODE();
  ReleaseUnits();
  FreePointerList(m_Units);
}

NTSTATUS CUacAudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  IUnknown* answer = nullptr;
  if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IAudioHal)) {
    answer = static_cast<IAudioHal*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IAdapterPowerManagement)) {
    answer = static_cast<IAdapterPowerManagement*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IUsbAudioHal)) {
    answer = static_cast<IUsbAudioHal*>(this);
  } else {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  *object = answer;
  answer->AddRef();
  return STATUS_SUCCESS;
}

IUsbDevice* CUacAudioHal::QueryUsbDevice() {
  PVOID object = nullptr;
  if (!NT_SUCCESS(static_cast<IAudioHal*>(this)->QueryInterface(IID_IUsbDevice, &object))) return nullptr;
  return static_cast<IUsbDevice*>(object);
}

NTSTATUS CUacAudioHal::Init(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                             PDEVICE_OBJECT lowerDeviceObject, PDEVICE_OBJECT physicalDeviceObject) {
  PAGED_CODE();
  if (!m_Units) m_Units = NewPointerList(NonPagedPool, m_ModelTag);
  if (!m_Units) return STATUS_INSUFFICIENT_RESOURCES;
  return CAudioHal::Init(resourceList, deviceObject, lowerDeviceObject, physicalDeviceObject);
}

// ============================================================================
// Units

NTSTATUS CUacAudioHal::FindUnitById(ULONG unitId, ITopoNode** unit) {
  if (!unit) return STATUS_INVALID_PARAMETER;
  *unit = nullptr;
  if (!m_Units) return STATUS_UNSUCCESSFUL;
  PVOID item = nullptr;
  for (auto position = m_Units->GetHeadPosition(); m_Units->GetNext(&position, &item);)
    if (item && static_cast<ITopoNode*>(item)->GetId() == unitId) *unit = static_cast<ITopoNode*>(item);
  return *unit ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUacAudioHal::AddUnit(ITopoNode* unit) {
  if (!unit) return STATUS_INVALID_PARAMETER;
  if (!m_Units) return STATUS_INSUFFICIENT_RESOURCES;
  unit->AddRef();
  if (!m_Units->AddTail(unit)) {
    unit->Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

void CUacAudioHal::ReleaseUnits() {
  if (!m_Units) return;
  PVOID item = nullptr;
  while (m_Units->RemoveHead(&item))
    if (item) static_cast<ITopoNode*>(item)->Release();
}

ULONG CUacAudioHal::GetUnitCount() const { return m_Units ? static_cast<ULONG>(m_Units->GetCount()) : 0; }

NTSTATUS CUacAudioHal::GetUnit(ULONG index, ITopoNode** unit) {
  if (!unit) return STATUS_INVALID_PARAMETER;
  *unit = nullptr;
  PVOID item = nullptr;
  if (!m_Units || !m_Units->GetAt(index, &item) || !item) return STATUS_INVALID_PARAMETER;
  *unit = static_cast<ITopoNode*>(item);
  return STATUS_SUCCESS;
}

CUacUnit* CUacAudioHal::FindUnitByOutputNode(ULONG unitType, ULONG nodeId) {
  ULONG count = GetUnitCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(GetUnit(i, &node)) || node->GetType() != unitType) continue;
    CUacUnit* unit = CUacUnit::FromUnitNode(node);
    ULONG output = 0;
    if (NT_SUCCESS(unit->GetOutputNodeId(&output)) && output == nodeId) return unit;
  }
  return nullptr;
}

// ============================================================================
// Capabilities and the callback object

NTSTATUS CUacAudioHal::GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) {
  PAGED_CODE();
  // An index past the last engine names no engine: answering with another
  // engine's record would tell the caller about a stream it does not have.
  IStreamEngine* engine = nullptr;
  if (!NT_SUCCESS(GetStreamEngine(engineIndex, &engine)) || !engine) return STATUS_INVALID_PARAMETER;
  NTSTATUS status =
      static_cast<IAudioHal*>(this)->GetChannelCaps(engine->IsCapture(), engine->GetPinCategory(), caps);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

NTSTATUS CUacAudioHal::GetCallbackObject(PCALLBACK_OBJECT* callbackObject) {
  if (!callbackObject) return STATUS_UNSUCCESSFUL;
  *callbackObject = m_CallbackObject;
  return STATUS_SUCCESS;
}

NTSTATUS CUacAudioHal::GetRefusal(ModelRefusal* refusal) {
  if (!refusal) return STATUS_INVALID_PARAMETER;
  *refusal = m_Refusal;
  return STATUS_SUCCESS;
}

void CUacAudioHal::Refuse(const char* step, const char* reason, NTSTATUS status, ULONG first, ULONG second,
                          ULONG third) {
  if (NT_SUCCESS(status) || !NT_SUCCESS(m_Refusal.status)) return;
  m_Refusal = ModelRefusal{step, reason, status, m_VendorId, m_ProductId, {first, second, third}};
  DbgPrint("%s failed 0x%08X%s", step, static_cast<unsigned>(status), reason ? ": " : "\n");
  if (reason) {
    DbgPrint(reason, static_cast<unsigned>(first), static_cast<unsigned>(second), static_cast<unsigned>(third));
    DbgPrint("\n");
  }
}

// ============================================================================
// Finding the interfaces

NTSTATUS CUacAudioHal::FindAudioInterface(LONG subclass, PUSB_CONFIGURATION_DESCRIPTOR* configuration,
                                          PUSB_INTERFACE_DESCRIPTOR* found, PULONG bytesToEnd) {
  PAGED_CODE();
  *found = nullptr;
  IUsbDevice* usb = QueryUsbDevice();
  if (!usb) return STATUS_UNSUCCESSFUL;
  *configuration = usb->GetConfigurationDescriptor();
  usb->Release();
  if (!*configuration) return STATUS_UNSUCCESSFUL;
  *found = USBD_ParseConfigurationDescriptorEx(*configuration, *configuration, -1, -1, USB_CLASS_AUDIO, subclass, -1);
  if (*found) {
    const ULONG extent = platform::usb::ConfigurationExtent(*configuration);
    *bytesToEnd = extent - static_cast<ULONG>(reinterpret_cast<PUCHAR>(*found) - reinterpret_cast<PUCHAR>(*configuration));
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUacAudioHal::UsbParseAudioControlInterface() {
  PAGED_CODE();
  PUSB_CONFIGURATION_DESCRIPTOR configuration = nullptr;
  PUSB_INTERFACE_DESCRIPTOR control = nullptr;
  ULONG bytesToEnd = 0;
  NTSTATUS status = FindAudioInterface(USB_SUBCLASS_AUDIOCONTROL, &configuration, &control, &bytesToEnd);
  if (!NT_SUCCESS(status) || !control) return status;
  m_ControlInterfaceNumber = control->bInterfaceNumber;
  return static_cast<IUsbAudioHal*>(this)->UsbParseAudioControlInterface(control, bytesToEnd);
}

NTSTATUS CUacAudioHal::UsbParseAudioStreamInterface() {
  PAGED_CODE();
  PUSB_CONFIGURATION_DESCRIPTOR configuration = nullptr;
  PUSB_INTERFACE_DESCRIPTOR streaming = nullptr;
  ULONG bytesToEnd = 0;
  NTSTATUS status = FindAudioInterface(USB_SUBCLASS_AUDIOSTREAMING, &configuration, &streaming, &bytesToEnd);
  if (!NT_SUCCESS(status) || !streaming) return status;
  return static_cast<IUsbAudioHal*>(this)->UsbParseAudioStreamInterface(configuration, streaming, bytesToEnd);
}

// ============================================================================
// Subdevices

BOOLEAN CUacAudioHal::TakeOutputTypeChange(IStreamEngine* engine) {
  PAGED_CODE();
  ULONG count = engine->GetAttachedNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(engine->GetAttachedNode(i, &node)) || !node) return FALSE;
    if (node->GetType() != NODE_TYPE_OUTPUT_TYPE) continue;
    auto* outputType = QueryNode<IOutputTypeNode>(node, IID_IOutputTypeNode);
    if (!outputType) return FALSE;
    BOOLEAN pending = outputType->IsChangePending() ? TRUE : FALSE;
    if (pending) outputType->AckChange();
    outputType->Release();
    return pending;
  }
  return FALSE;
}

NTSTATUS CUacAudioHal::NameEngine(IStreamEngine* engine, PWSTR name, size_t chars) {
  PAGED_CODE();
  const ULONG category = ClampPinCategory(engine->GetPinCategory());
  const bool capture = engine->IsCapture() == STREAM_DIRECTION_CAPTURE;
  ULONG counter = 0;
  if (m_DeviceObject && m_DeviceObject->DeviceExtension) {
    DeviceExtension* extension = GetDeviceExtension(m_DeviceObject);
    counter = capture ? extension->InputNameCounters[category] : extension->OutputNameCounters[category];
  }
  // The number the counters give, unless another engine already carries
  // that name: then the lowest free number above it, so that two engines
  // never register one subdevice name.
  WCHAR other[STREAM_ENGINE_NAME_CHARS];
  const ULONG engines = GetStreamEngineCount();
  for (ULONG number = counter ? counter - 1 : 0, tries = 0; tries <= engines; ++number, ++tries) {
    NTSTATUS status = RtlStringCchPrintfW(name, chars, capture ? u"%sIn%02d" : u"%sOut%02d",
                                          PinCategoryPrefix(category), static_cast<int>(number));
    if (!NT_SUCCESS(status)) return status;
    bool taken = false;
    for (ULONG i = 0; i < engines && !taken; ++i) {
      IStreamEngine* candidate = nullptr;
      if (!NT_SUCCESS(GetStreamEngine(i, &candidate)) || candidate == engine) continue;
      other[0] = 0;
      if (NT_SUCCESS(candidate->GetName(other))) taken = SameName(other, name);
    }
    if (!taken) return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUacAudioHal::UpdateAllSubdevices() {
  PAGED_CODE();
  m_SubdeviceMutex.Lock();
  NTSTATUS status = STATUS_SUCCESS;
  ULONG count = GetStreamEngineCount();
  for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
    IStreamEngine* engine = nullptr;
    status = GetStreamEngine(i, &engine);
    if (NT_SUCCESS(status)) status = engine->UpdateSubdevice(m_DeviceObject, nullptr, static_cast<IAudioHal*>(this));
  }
  m_SubdeviceMutex.Unlock();
  return status;
}

// ============================================================================
// The status threads' shared steps

NTSTATUS CUacAudioHal::SelectControlInterface(PUSBD_INTERFACE_INFORMATION* information, PULONG pipes) {
  PAGED_CODE();
  *information = nullptr;
  *pipes = 0;
  IUsbDevice* usb = QueryUsbDevice();
  if (!usb) return STATUS_UNSUCCESSFUL;
  PUSB_CONFIGURATION_DESCRIPTOR configuration = usb->GetConfigurationDescriptor();
  PUSB_INTERFACE_DESCRIPTOR control =
      configuration ? USBD_ParseConfigurationDescriptorEx(configuration, configuration, m_ControlInterfaceNumber, 0,
                                                          USB_CLASS_AUDIO, USB_SUBCLASS_AUDIOCONTROL, -1)
                    : nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  if (control && control->bNumEndpoints != 0) {
    const USHORT size = GET_SELECT_INTERFACE_REQUEST_SIZE(control->bNumEndpoints);
    CPoolBuffer select(NonPagedPool, size, USBD_INTERFACE_COPY_TAG);
    if (select) {
      RtlZeroMemory(select.Get(), size);
      UsbBuildSelectInterfaceRequest(select.As<URB>(), size, usb->GetConfigurationHandle(), m_ControlInterfaceNumber,
                                     0);
      status = usb->SubmitUrb(select.As<URB>());
    } else {
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
      const USBD_INTERFACE_INFORMATION& returned = select.As<URB>()->UrbSelectInterface.Interface;
      ULONG length = returned.Length;
      const ULONG room = size - offsetof(URB_SELECT_INTERFACE, Interface);
      if (length > room) length = room;
      auto* copy =
          static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, length, USBD_INTERFACE_COPY_TAG));
      if (copy) {
        RtlCopyMemory(copy, &returned, length);
        // Only pipes the copy really holds, and the descriptor declares.
        ULONG held = length >= offsetof(USBD_INTERFACE_INFORMATION, Pipes)
                         ? (length - offsetof(USBD_INTERFACE_INFORMATION, Pipes)) / sizeof(USBD_PIPE_INFORMATION)
                         : 0;
        if (held > copy->NumberOfPipes) held = copy->NumberOfPipes;
        if (held > control->bNumEndpoints) held = control->bNumEndpoints;
        *information = copy;
        *pipes = held;
      } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
      }
    }
  }
  usb->Release();
  return status;
}

NTSTATUS CUacAudioHal::StartModelThread(PKSTART_ROUTINE routine, KPRIORITY priority, PKTHREAD* thread) {
  PAGED_CODE();
  *thread = nullptr;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, routine, this);
  if (!NT_SUCCESS(status)) return status;
  PVOID object = nullptr;
  if (NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr))) {
    *thread = static_cast<PKTHREAD>(object);
    KeSetPriorityThread(*thread, priority);
  }
  ZwClose(handle);
  return STATUS_SUCCESS;
}

void CUacAudioHal::EndModelThread(PKEVENT stop, PKEVENT ended, PKTHREAD* thread) {
  PAGED_CODE();
  KeSetEvent(stop, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(ended, Executive, KernelMode, FALSE, nullptr);
  if (*thread) {
    // The thread still leaves its start routine after the event.
    KeWaitForSingleObject(*thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(*thread);
    *thread = nullptr;
  }
  KeClearEvent(stop);
  KeClearEvent(ended);
}

// ============================================================================
// Graph operations

NTSTATUS CUacAudioHal::ConnectUnits() {
  PAGED_CODE();
  const ULONG count = GetUnitCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(GetUnit(i, &node))) continue;
    CUacUnit* unit = CUacUnit::FromUnitNode(node);
    ULONG output = 0;
    if (!NT_SUCCESS(unit->GetOutputNodeId(&output))) continue;
    ULONG sources = node->GetSourceCount();
    if (sources == 0 || sources > UAC1_MAX_CONNECTED_SOURCES) continue;
    ULONG ids[UAC1_MAX_CONNECTED_SOURCES];
    if (!NT_SUCCESS(node->GetSourceIds(&sources, ids))) continue;
    ULONG resolved[UAC1_MAX_CONNECTED_SOURCES];
    for (ULONG k = 0; k < sources; ++k) {
      ITopoNode* source = nullptr;
      // A source that names no unit (or a unit without nodes) keeps its
      // place with an id that names no node: a selector's input k stays the
      // device's input k, which is the number the selector sends.
      resolved[k] = MISSING_SOURCE_ID;
      if (!NT_SUCCESS(FindUnitById(ids[k], &source))) {
        if (!UnknownSourceFailsParse()) continue;
        Refuse("UsbParseAudioControlInterface", "unit %u names source %u, which is no unit", STATUS_UNSUCCESSFUL,
               node->GetId(), ids[k]);
        return STATUS_UNSUCCESSFUL;
      }
      ULONG output = 0;
      if (NT_SUCCESS(CUacUnit::FromUnitNode(source)->GetOutputNodeId(&output))) resolved[k] = output;
    }
    // A link that does not fit the unit is left out; one the pool could not
    // hold fails the parse.
    if (unit->ConnectInputNode(sources, resolved) == STATUS_INSUFFICIENT_RESOURCES)
      return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUacAudioHal::SearchUpstream(ULONG pinId, ULONG terminalNodeId, bool* reached) {
  PAGED_CODE();
  *reached = false;
  // Every id enters the ring once: paths that meet are walked once, and a
  // loop ends where it closes.
  CTakenSet taken(GetNodeCount(), m_ModelTag);
  if (!taken) return STATUS_INSUFFICIENT_RESOURCES;
  CIdRing ring;
  ring.Push(pinId);
  taken.Add(pinId);
  while (!ring.Empty()) {
    const ULONG id = ring.Pop();
    if (id == terminalNodeId) {
      *reached = true;
      return STATUS_SUCCESS;
    }
    ITopoNode* node = nullptr;
    if (!taken.Valid(id) || !NT_SUCCESS(FindNodeById(id, &node))) return STATUS_SUCCESS;
    if (node->GetSourceCount() == 0) continue;
    ULONG sources[MAX_SOURCES_READ];
    ULONG count = MAX_SOURCES_READ;
    NTSTATUS status = node->GetSourceIds(&count, sources);
    if (!NT_SUCCESS(status)) return status;
    // A source that names no node leads nowhere; the other sources are
    // still searched.
    ULONG fresh = 0;
    for (ULONG i = 0; i < count; ++i) {
      if (!taken.Valid(sources[i]) || taken.Contains(sources[i])) continue;
      taken.Add(sources[i]);
      sources[fresh++] = sources[i];
    }
    if (fresh > ring.Free()) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < fresh; ++i) ring.Push(sources[i]);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUacAudioHal::AttachEngineNodes(CUsbStreamEngine* engine, ULONG terminalNodeId) {
  PAGED_CODE();
  if (!engine) return STATUS_INVALID_PARAMETER;
  if (engine->IsCapture()) return AttachPathNodes(engine, terminalNodeId);

  const ULONG count = GetNodeCount();
  if (count == 0) return STATUS_UNSUCCESSFUL;
  ULONG pins[UAC1_MAX_OUTPUT_PINS];
  ULONG pinCount = 0;
  NTSTATUS lastPinFailure = STATUS_SUCCESS;
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    NTSTATUS status = GetNode(i, &node);
    if (!NT_SUCCESS(status)) return status;
    lastPinFailure = STATUS_SUCCESS;
    if (node->GetType() != NODE_TYPE_OUTPUT_PIN) continue;
    PVOID object = nullptr;
    status = node->QueryInterface(IID_ITerminal, &object);
    PinCategory category = PIN_CATEGORY_STREAM;
    if (NT_SUCCESS(status)) {
      status = static_cast<ITerminal*>(object)->GetCategory(&category);
      static_cast<ITerminal*>(object)->Release();
    }
    if (!NT_SUCCESS(status)) {
      lastPinFailure = status;
      continue;
    }
    if (category != PIN_CATEGORY_STREAM && pinCount < UAC1_MAX_OUTPUT_PINS) pins[pinCount++] = node->GetId();
  }
  if (!NT_SUCCESS(lastPinFailure)) return lastPinFailure;
  if (pinCount == 0) return STATUS_INVALID_PARAMETER;

  NTSTATUS status = STATUS_SUCCESS;
  ULONG attached = 0;
  for (ULONG p = 0; p < pinCount; ++p) {
    bool reached = false;
    NTSTATUS search = SearchUpstream(pins[p], terminalNodeId, &reached);
    if (!NT_SUCCESS(search)) {
      status = search;
      continue;
    }
    if (!reached) continue;
    status = AttachPathNodes(engine, pins[p]);
    if (!NT_SUCCESS(status)) break;
    ++attached;
  }
  if (attached == 0 || !NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;

  // An output terminal with selectable types hangs its output-type switch
  // off its first pin, beside the path: the engine takes it too, so that
  // its category (and name) follows the selected type and a change of type
  // re-registers it.
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(GetNode(i, &node)) || !node || node->GetType() != NODE_TYPE_OUTPUT_TYPE) continue;
    ULONG pin = 0;
    ULONG one = 1;
    ITopoNode* attachedPin = nullptr;
    if (node->GetSourceCount() == 0 || !NT_SUCCESS(node->GetSourceIds(&one, &pin)) || one != 1 ||
        !NT_SUCCESS(engine->FindNode(pin, &attachedPin)) || attachedPin->GetType() != NODE_TYPE_OUTPUT_PIN)
      continue;
    status = engine->AttachNode(node);
    if (!NT_SUCCESS(status)) return status;
  }
  return status;
}

NTSTATUS CUacAudioHal::AttachPathNodes(CUsbStreamEngine* engine, ULONG startNodeId) {
  PAGED_CODE();
  if (!engine) return STATUS_INVALID_PARAMETER;
  CIdRing ring;
  ring.Push(startNodeId);
  while (!ring.Empty()) {
    const ULONG id = ring.Pop();
    ITopoNode* node = nullptr;
    if (NT_SUCCESS(engine->FindNode(id, &node))) continue;
    NTSTATUS status = FindNodeById(id, &node);
    if (!NT_SUCCESS(status)) return status;
    status = engine->AttachNode(node);
    if (!NT_SUCCESS(status)) return status;
    if (node->GetSourceCount() == 0) continue;
    ULONG sources[MAX_SOURCES_READ];
    ULONG count = MAX_SOURCES_READ;
    status = node->GetSourceIds(&count, sources);
    if (!NT_SUCCESS(status)) return status;
    const bool sum = node->GetType() == NODE_TYPE_SUM;
    // Sources already attached, or named twice, are queued no more; one
    // that names no node has nothing to attach.
    const ULONG nodes = GetNodeCount();
    ULONG fresh = 0;
    for (ULONG i = 0; i < count; ++i) {
      ITopoNode* attachedNode = nullptr;
      if (sources[i] >= nodes || NT_SUCCESS(engine->FindNode(sources[i], &attachedNode))) continue;
      // Of a sum's inputs only those the engine's own stream comes through
      // are its path (a render stream's terminal is upstream of the sum, a
      // capture stream's never is): the others, a microphone mixed in as
      // sidetone among them, belong to other streams. An input whose search
      // cannot finish is left out.
      bool streamInput = !sum;
      if (sum && !NT_SUCCESS(SearchUpstream(sources[i], engine->GetTerminalNodeId(), &streamInput))) continue;
      if (!streamInput) continue;
      bool twice = false;
      for (ULONG k = 0; k < fresh && !twice; ++k) twice = sources[k] == sources[i];
      if (!twice) sources[fresh++] = sources[i];
    }
    if (fresh > ring.Free()) return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < fresh; ++i) ring.Push(sources[i]);
  }
  return STATUS_SUCCESS;
}

namespace {

// A node the driver adds itself: numbered after the model's last node,
// added to the model and attached to the engine (which registers it as a
// processor when it is one).
template <typename TNode, typename TInit>
NTSTATUS AddSoftwareNode(CAudioHal* hal, ULONG tag, CUsbStreamEngine* engine, ULONG* nodeId, TInit init) {
  const ULONG id = hal->GetNodeCount();
  auto* node = new (NonPagedPool, tag) TNode(nullptr, id);
  if (!node) return STATUS_INSUFFICIENT_RESOURCES;
  node->NonDelegatingAddRef();
  NTSTATUS status = init(node);
  if (NT_SUCCESS(status)) status = hal->AddNode(static_cast<ITopoNode*>(node));
  if (NT_SUCCESS(status)) status = engine->AttachNode(static_cast<ITopoNode*>(node));
  node->NonDelegatingRelease();
  if (NT_SUCCESS(status)) *nodeId = id;
  return status;
}

}  // namespace

NTSTATUS CUacAudioHal::CreateSoftwareMuteNode(CUsbStreamEngine* engine, ULONG sourceId, ULONG* muteNodeId) {
  PAGED_CODE();
  return AddSoftwareNode<CSoftwareMuteNode>(this, m_ModelTag, engine, muteNodeId,
                                            [&](CSoftwareMuteNode* mute) { return mute->Init(sourceId, 1); });
}

NTSTATUS CUacAudioHal::CreatePassThroughSelector(CUsbStreamEngine* engine, ULONG sourceId, ULONG* selectorNodeId) {
  PAGED_CODE();
  return AddSoftwareNode<CSelectorNode>(this, m_ModelTag, engine, selectorNodeId,
                                        [&](CSelectorNode* selector) { return selector->Init(1, &sourceId); });
}

NTSTATUS CUacAudioHal::InsertSoftwareMute(CUsbStreamEngine* engine) {
  PAGED_CODE();
  ITopoNode* input = nullptr;
  ITopoNode* output = nullptr;
  ULONG count = engine->GetAttachedNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(engine->GetAttachedNode(i, &node)) || !node) continue;
    if (!input && node->GetType() == NODE_TYPE_INPUT_PIN) input = node;
    if (!output && node->GetType() == NODE_TYPE_OUTPUT_PIN) output = node;
  }
  // Only a path of two bare terminals gets the mute; two nodes of any other
  // kind (a pin behind a sum) stay as they are.
  if (!input || !output) return STATUS_SUCCESS;

  ULONG source = 0;
  NTSTATUS status = CreateSoftwareMuteNode(engine, input->GetId(), &source);
  if (!NT_SUCCESS(status)) return status;
  if (engine->IsCapture() && !IsSystemAtLeast(NTDDI_VISTA)) {
    status = CreatePassThroughSelector(engine, source, &source);
    if (!NT_SUCCESS(status)) return status;
  }
  if (CUacUnit* terminal = FindUnitByOutputNode(UAC_SUBTYPE_OUTPUT_TERMINAL, output->GetId()))
    terminal->ConnectInputNode(1, &source);
  return status;
}

NTSTATUS CUacAudioHal::FixUpStreamGraph(CUsbStreamEngine* engine) {
  PAGED_CODE();
  if (!engine) return STATUS_INVALID_PARAMETER;
  const ULONG count = engine->GetAttachedNodeCount();
  if (count == 2) return InsertSoftwareMute(engine);
  if (!engine->IsCapture() || count < 2) return STATUS_SUCCESS;

  ULONG selectors = 0, pins = 0;
  ITopoNode* outputPin = nullptr;
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(engine->GetAttachedNode(i, &node)) || !node) continue;
    const ULONG type = node->GetType();
    if (type == NODE_TYPE_SELECTOR) ++selectors;
    if (type == NODE_TYPE_INPUT_PIN || type == NODE_TYPE_OUTPUT_PIN) ++pins;
    if (!outputPin && type == NODE_TYPE_OUTPUT_PIN) outputPin = node;
  }
  if (selectors != 0 || pins != 2 || !outputPin || IsSystemAtLeast(NTDDI_VISTA)) return STATUS_SUCCESS;
  ULONG source = 0;
  ULONG one = 1;
  if (outputPin->GetSourceCount() != 1 || !NT_SUCCESS(outputPin->GetSourceIds(&one, &source)) || one != 1)
    return STATUS_SUCCESS;
  ULONG selector = 0;
  NTSTATUS status = CreatePassThroughSelector(engine, source, &selector);
  if (!NT_SUCCESS(status)) return status;
  if (CUacUnit* terminal = FindUnitByOutputNode(UAC_SUBTYPE_OUTPUT_TERMINAL, outputPin->GetId()))
    terminal->ConnectInputNode(1, &selector);
  return status;
}

void CUacAudioHal::WireOutputTypes() {
  PAGED_CODE();
  const ULONG count = GetNodeCount();
  CTakenSet met(count, m_ModelTag);
  if (!met) return;
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(GetNode(i, &node)) || !node || node->GetType() != NODE_TYPE_OUTPUT_TYPE) continue;
    ULONG sourceId = 0;
    ULONG one = 1;
    if (node->GetSourceCount() == 0 || !NT_SUCCESS(node->GetSourceIds(&one, &sourceId)) || one != 1) continue;
    auto* outputType = QueryNode<IOutputTypeNode>(node, IID_IOutputTypeNode);
    if (!outputType) continue;
    PinCategory category = PIN_CATEGORY_STREAM;
    if (NT_SUCCESS(outputType->GetCategory(&category))) {
      // A chain that runs into a node it has met ends there.
      met.Clear();
      met.Add(node->GetId());
      ULONG id = sourceId;
      while (met.Valid(id) && !met.Contains(id)) {
        met.Add(id);
        ITopoNode* upstream = nullptr;
        if (!NT_SUCCESS(FindNodeById(id, &upstream)) || upstream->GetSourceCount() != 1) break;
        if (auto* sink = QueryNode<IOutputTypeSink>(upstream, IID_IOutputTypeSink)) {
          sink->SetOutputType(category, nullptr);
          outputType->AddListener(sink);
          sink->Release();
        }
        one = 1;
        if (!NT_SUCCESS(upstream->GetSourceIds(&one, &id)) || one != 1) break;
      }
    }
    outputType->Release();
  }
}
