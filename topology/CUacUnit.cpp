#include "topology/CUacUnit.h"

#include "driver/common/OwnedLists.h"
#include "driver/hal/CAudioHal.h"

bool IsSingleSourceNodeType(ULONG nodeType) {
  switch (nodeType) {
    case 1: case 2: case 3: case 6: case 7: case 8: case 9: case 10: case 11:
    case 13: case 15: case 18: case 19: case 20: case 22: case 23:
      return true;
    default:
      return false;
  }
}

CUacUnit::CUacUnit(PUNKNOWN outerUnknown, ULONG provisionalId, UCHAR subtype)
    : CTopoNodeT<IUacUnit>(outerUnknown, provisionalId, 0), m_Subtype(subtype) {}

CUacUnit::~CUacUnit() {
  if (m_Descriptor) ExFreePool(m_Descriptor);
  ReleaseItemsAndList<ITopoNode>(m_Nodes);
}

NTSTATUS CUacUnit::Init(PVOID descriptor, IAudioHal* owner, IAudioHal* model) {
  PAGED_CODE();
  if (!descriptor || !owner || !model) return STATUS_INVALID_PARAMETER;
  const auto* d = static_cast<const UCHAR*>(descriptor);
  // Every unit descriptor has at least its id at byte 3.
  if (d[0] < 4) {
    DbgPrint("%s descriptor of %u bytes\n", "CUacUnit::Init", d[0]);
    return STATUS_UNSUCCESSFUL;
  }
  if (d[1] != UAC_CS_INTERFACE || d[2] != m_Subtype) return STATUS_INVALID_PARAMETER;
  if (!DescriptorFits(d, d[0])) {
    DbgPrint("%s descriptor fields run past bLength %u\n", "CUacUnit::Init", d[0]);
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS status = AttachDescriptor(descriptor, owner);
  if (!NT_SUCCESS(status)) return status;
  status = PrepareNodes();
  if (!NT_SUCCESS(status)) return status;
  status = BuildNodes(model);
  if (!NT_SUCCESS(status)) return status;
  return ChainNodes();
}

NTSTATUS CUacUnit::AttachDescriptor(PVOID descriptor, IAudioHal* owner) {
  PAGED_CODE();
  if (!descriptor || !owner) return STATUS_INVALID_PARAMETER;
  const ULONG length = static_cast<const UCHAR*>(descriptor)[0];
  auto* copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, length ? length : 1, UAC_UNIT_TAG));
  CPointerList* nodes = m_Nodes ? m_Nodes : NewPointerList(NonPagedPool, UAC_UNIT_TAG);
  if (!copy || !nodes) {
    if (copy) ExFreePool(copy);
    if (nodes && nodes != m_Nodes) FreePointerList(nodes);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(copy, descriptor, length);
  if (m_Descriptor) ExFreePool(m_Descriptor);
  m_Descriptor = copy;
  m_DescriptorLength = length;
  m_Nodes = nodes;
  m_Owner = owner;
  return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::OnControlChange(ULONG, ULONG, PULONG nodeId) {
  if (!nodeId || !m_Nodes || m_Nodes->GetCount() != 1) return STATUS_UNSUCCESSFUL;
  return GetOutputNodeId(nodeId);
}

NTSTATUS CUacUnit::GetOutputNodeId(PULONG nodeId) {
  PVOID item = nullptr;
  if (!nodeId || !m_Nodes || !m_Nodes->PeekTail(&item) || !item) return STATUS_UNSUCCESSFUL;
  *nodeId = static_cast<ITopoNode*>(item)->GetId();
  return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::GetNode(ULONG index, ITopoNode** node) {
  if (!node || !m_Nodes) return STATUS_UNSUCCESSFUL;
  PVOID item = nullptr;
  if (!m_Nodes->GetAt(index, &item)) return STATUS_UNSUCCESSFUL;
  *node = static_cast<ITopoNode*>(item);
  return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::GetNodeCount(PULONG count) {
  if (!count || !m_Nodes) return STATUS_UNSUCCESSFUL;
  *count = static_cast<ULONG>(m_Nodes->GetCount());
  return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::AddNode(ITopoNode* node) {
  if (!node) return STATUS_INVALID_PARAMETER;
  if (!m_Nodes) return STATUS_UNSUCCESSFUL;
  node->AddRef();
  if (!m_Nodes->AddTail(node)) {
    node->Release();
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::ChainNodes() {
  PAGED_CODE();
  PVOID item = nullptr;
  if (!m_Nodes || !m_Nodes->PeekHead(&item)) return STATUS_SUCCESS;
  ULONG previous = static_cast<ITopoNode*>(item)->GetId();
  auto pos = m_Nodes->GetHeadPosition();
  m_Nodes->GetNext(&pos, &item);  // the first node starts the chain
  while (m_Nodes->GetNext(&pos, &item)) {
    auto* node = static_cast<ITopoNode*>(item);
    const ULONG type = node->GetType();
    if (IsSingleSourceNodeType(type)) {
      // A link the pool could not hold would cut the unit's path in two.
      const NTSTATUS status = node->SetSourceIds(1, &previous);
      if (!NT_SUCCESS(status)) return status;
    }
    if (type != NODE_TYPE_OUTPUT_PIN) previous = node->GetId();
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::ConnectInputNode(ULONG count, const ULONG* ids) {
  PAGED_CODE();
  PVOID item = nullptr;
  if (!ids || !m_Nodes || !m_Nodes->PeekHead(&item)) return STATUS_UNSUCCESSFUL;
  auto* first = static_cast<ITopoNode*>(item);
  const ULONG type = first->GetType();
  if (type == NODE_TYPE_SELECTOR || type == NODE_TYPE_SUM) {
    if (count == first->GetSourceCount()) return first->SetSourceIds(count, ids);
  } else if (IsSingleSourceNodeType(type) && count > 0) {
    return first->SetSourceIds(1, ids);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CUacUnit::SendRequest(USHORT function, bool in, UCHAR request, USHORT value, PVOID buffer, ULONG length,
                               PULONG transferred) {
  PAGED_CODE();
  if (transferred) *transferred = 0;
  if (!m_Owner || !m_Descriptor || (length && !buffer)) return STATUS_UNSUCCESSFUL;
  IUsbDevice* usb = nullptr;
  NTSTATUS status = m_Owner->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&usb));
  if (!NT_SUCCESS(status)) return status;
  if (in && length) RtlZeroMemory(buffer, length);

  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  auto& r = urb.UrbControlVendorClassRequest;
  r.Hdr.Length = sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  r.Hdr.Function = function;
  r.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
  r.TransferBufferLength = length;
  r.TransferBuffer = length ? buffer : nullptr;
  r.Request = request;
  r.Value = value;
  r.Index = static_cast<USHORT>(DescriptorId() << 8 | usb->GetControlInterfaceNumber());
  status = usb->SubmitUrb(&urb);
  usb->Release();
  if (!NT_SUCCESS(status))
    DbgPrint("unit %u: request 0x%02X (wValue 0x%04X, %s %u bytes) failed 0x%08X\n", DescriptorId(), request, value,
             in ? "in" : "out", static_cast<unsigned>(length), static_cast<unsigned>(status));
  if (NT_SUCCESS(status) && transferred) {
    *transferred = in ? (r.TransferBufferLength < length ? r.TransferBufferLength : length) : length;
  }
  return status;
}

NTSTATUS CUacUnit::CheckUsbDevice() {
  if (!m_Owner) return STATUS_UNSUCCESSFUL;
  IUsbDevice* usb = nullptr;
  NTSTATUS status = m_Owner->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&usb));
  if (NT_SUCCESS(status)) usb->Release();
  return status;
}

NTSTATUS CUacUnit::ReadExact(USHORT function, UCHAR request, USHORT value, PVOID buffer, ULONG length) {
  ULONG transferred = 0;
  NTSTATUS status = SendRequest(function, true, request, value, buffer, length, &transferred);
  if (NT_SUCCESS(status) && transferred != length) status = STATUS_UNSUCCESSFUL;
  return status;
}

NTSTATUS CUacUnit::AddBuiltNode(IAudioHal* owner, ITopoNode* node) {
  NTSTATUS status = static_cast<CAudioHal*>(owner)->AddNode(node);
  if (NT_SUCCESS(status)) status = AddNode(node);
  return status;
}

NTSTATUS CUacUnit::QueryControlInterfaces(REFIID iid, PVOID* object, ISwitchControl* switches, ILevelControl* levels) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_ISwitchControl)) {
    *object = switches;
  } else if (IsEqualGUIDAligned(iid, IID_ILevelControl)) {
    *object = levels;
  } else {
    return CUacUnit::NonDelegatingQueryInterface(iid, object);
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}
