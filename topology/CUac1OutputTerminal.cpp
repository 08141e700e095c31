#include "topology/CUac1OutputTerminal.h"

#include "driver/SettingsStore.h"
#include "driver/common/PoolBuffer.h"
#include "topology/CUacOutputTypeNode.h"
#include "topology/CUacTerminalNode.h"
#include "topology/UnitBinding.h"

namespace {

constexpr UCHAR kTypeRequest = 0x81;
constexpr UCHAR kTypeListRequest = 0x86;
constexpr USHORT kTypeValue = 0x0800;
constexpr ULONG kTypeEntryBytes = 6;

constexpr WCHAR kSelectByDevice[] = u"INITOTTYPEBYSEL";
constexpr WCHAR kOtherTypeJacksConnected[] = u"SetJackConnect";

ULONG ReadLe16(const UCHAR* p) { return ULONG(p[0]) | ULONG(p[1]) << 8; }

}  // namespace

CUac1OutputTerminal::CUac1OutputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId)
    : CUac1Terminal(outerUnknown, provisionalId, UAC_SUBTYPE_OUTPUT_TERMINAL), COutputTypes(UAC_UNIT_DATA_TAG) {}

// ---- Device requests -----------------------------------------------------------------------

NTSTATUS CUac1OutputTerminal::ReadCurrentType(PUSHORT terminalType) {
  UCHAR reply[2];
  NTSTATUS status = ReadExact(URB_FUNCTION_VENDOR_INTERFACE, kTypeRequest, kTypeValue, reply, sizeof reply);
  if (NT_SUCCESS(status)) *terminalType = static_cast<USHORT>(ReadLe16(reply));
  return status;
}

NTSTATUS CUac1OutputTerminal::SendSelect(USHORT terminalType) {
  UCHAR value[2] = {static_cast<UCHAR>(terminalType), static_cast<UCHAR>(terminalType >> 8)};
  return SendRequest(URB_FUNCTION_VENDOR_INTERFACE, false, kTypeRequest, kTypeValue, value, sizeof value);
}

NTSTATUS CUac1OutputTerminal::ReadJackInfo(ULONG typeIndex) {
  return ReadJackList(&m_JackRecords[typeIndex], &m_JackCounts[typeIndex]);
}

NTSTATUS CUac1OutputTerminal::ReadTerminalTypes() {
  PAGED_CODE();
  // The list: a 16-bit count, then 6-byte entries whose first two bytes
  // are a wTerminalType. Only the first MAX_OUTPUT_TYPES are used, and only
  // entries the device really sent.
  UCHAR header[2];
  ULONG transferred = 0;
  CPoolBuffer list;
  ULONG listed = 0;
  NTSTATUS status = SendRequest(URB_FUNCTION_VENDOR_INTERFACE, true, kTypeListRequest, kTypeValue, header,
                                sizeof header, &transferred);
  if (NT_SUCCESS(status) && transferred == sizeof header && ReadLe16(header) >= 2) {
    listed = ReadLe16(header);
    if (listed > MAX_OUTPUT_TYPES) listed = MAX_OUTPUT_TYPES;
    const ULONG bytes = 2 + kTypeEntryBytes * listed;
    if (!list.Allocate(NonPagedPool, bytes, UAC_UNIT_DATA_TAG)) return STATUS_INSUFFICIENT_RESOURCES;
    status = SendRequest(URB_FUNCTION_VENDOR_INTERFACE, true, kTypeListRequest, kTypeValue, list.Get(), bytes,
                         &transferred);
    if (!NT_SUCCESS(status)) return status;
    const auto* data = list.As<UCHAR>();
    const ULONG sent = transferred >= 2 ? (transferred - 2) / kTypeEntryBytes : 0;
    const ULONG again = transferred >= 2 ? ReadLe16(data) : 0;
    if (again < listed) listed = again;
    if (sent < listed) listed = sent;
  }
  status = AllocateTypeArrays(listed ? listed : 1);
  if (!NT_SUCCESS(status)) return status;
  const PinCategory remembered = m_CurrentCategory;
  for (ULONG i = 0; i < m_TypeCount; ++i) {
    const USHORT type = listed ? static_cast<USHORT>(ReadLe16(list.As<UCHAR>() + 2 + i * kTypeEntryBytes))
                               : TerminalType();
    m_TerminalTypes[i] = type;
    m_Categories[i] = OutputTerminalCategory(type);
    if (m_TypeCount > 1) SendSelect(type);  // the jacks are read for the type selected
    status = ReadJackInfo(i);
    if (!NT_SUCCESS(status)) break;
  }
  if (NT_SUCCESS(status) && m_TypeCount > 1) status = SelectType(remembered);
  return status;
}

// ---- Build ---------------------------------------------------------------------------------

NTSTATUS CUac1OutputTerminal::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  NTSTATUS status = SetTerminalIdentity();
  if (!NT_SUCCESS(status)) return status;
  ULONG nextId = NextNodeId(owner);

  RtlStringCchPrintfW(m_CategoryValueName, ARRAYSIZE(m_CategoryValueName), u"%s%02d", u"UACUnit",
                      static_cast<int>(m_NodeId));
  const PinCategory ownCategory = OutputTerminalCategory(TerminalType());
  PinCategory category = ownCategory;
  ReadSetting(m_CategoryValueName, &category);
  ULONG selectByDevice = 0;
  ReadSetting(kSelectByDevice, &selectByDevice);

  if (IsStreaming()) {
    // A capture stream's terminal is its wave filter's Stream pin: stored as
    // anything else it would leave the stream without one.
    if (category != ownCategory) {
      ReportUnusableSetting(m_CategoryValueName, -1, category);
      category = ownCategory;
    }
    status = AllocateTypeArrays(1);
    if (!NT_SUCCESS(status)) return status;
    m_CurrentCategory = m_Categories[0] = category;
    m_TerminalTypes[0] = UAC_TERMINAL_USB_STREAMING;
  } else {
    status = CheckUsbDevice();
    if (!NT_SUCCESS(status)) return status;
    USHORT deviceType = 0;
    m_CurrentCategory = category;
    if (NT_SUCCESS(ReadCurrentType(&deviceType)) && selectByDevice)
      m_CurrentCategory = OutputTerminalCategory(deviceType);
    status = ReadTerminalTypes();
    // A category none of the terminal's types has would select none of
    // them: the terminal's own type (or its first) takes its place.
    if (NT_SUCCESS(status) && !HasCategory(m_CurrentCategory)) {
      if (m_CurrentCategory == category && category != ownCategory)
        ReportUnusableSetting(m_CategoryValueName, -1, category);
      m_CurrentCategory = HasCategory(ownCategory) ? ownCategory : m_Categories[0];
    }
    if (m_TypeCount > 1 && m_Categories) {
      for (ULONG i = 0; i < m_TypeCount; ++i) {
        if (m_Categories[i] == m_CurrentCategory) {
          SendSelect(m_TerminalTypes[i]);
          break;
        }
      }
    }
    if (!NT_SUCCESS(status)) return status;
  }

  bool allPins = true;
  return AddTypeNodes(owner, nextId, UAC_UNIT_DATA_TAG, &allPins);
}

NTSTATUS CUac1OutputTerminal::AddTypeNodes(IAudioHal* owner, ULONG nextId, ULONG tag, bool* allPins) {
  PAGED_CODE();
  ITopoNode* const unit = static_cast<IUacUnit*>(this);
  NTSTATUS status = STATUS_SUCCESS;
  *allPins = true;
  for (ULONG i = 0; i < m_TypeCount; ++i) {
    auto* pin = new (NonPagedPool, tag) CUacOutputTerminalNode(nullptr, nextId, i);
    if (!pin) {
      *allPins = false;
      break;
    }
    status = BindPinNode(owner, pin, STREAM_DIRECTION_RENDER, m_Categories[i]);
    if (!NT_SUCCESS(status)) return status;
    ++nextId;
  }
  if (*allPins && m_TypeCount > 1) {
    auto* typeNode = new (NonPagedPool, tag) CUacOutputTypeNode(nullptr, nextId);
    if (typeNode) {
      typeNode->NonDelegatingAddRef();
      status = typeNode->InitFromUnit(unit, owner->GetDeviceObject(), owner);
      if (NT_SUCCESS(status)) status = AddBuiltNode(owner, typeNode);
      typeNode->NonDelegatingRelease();
    }
  }
  return status;
}

// ---- ITerminal -----------------------------------------------------------------------------

NTSTATUS CUac1OutputTerminal::GetCategory(PinCategory* category) { return CopyCategory(category); }
NTSTATUS CUac1OutputTerminal::GetTypeCount(PULONG count) { return CopyTypeCount(count); }
NTSTATUS CUac1OutputTerminal::GetTypeList(PULONG categories) { return CopyTypeList(categories); }

NTSTATUS CUac1OutputTerminal::SelectType(PinCategory category) {
  PAGED_CODE();
  if (category == m_CurrentCategory) return STATUS_SUCCESS;
  NTSTATUS status = CheckUsbDevice();
  if (!NT_SUCCESS(status)) return status;
  for (ULONG i = 0; i < m_TypeCount && m_Categories; ++i) {
    if (m_Categories[i] != category) continue;
    status = SendSelect(m_TerminalTypes[i]);
    if (!NT_SUCCESS(status)) return status;
    m_CurrentCategory = category;
    WriteSetting(m_CategoryValueName, category);
    RefreshNodes(NODE_TYPE_OUTPUT_PIN, false);
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CUac1OutputTerminal::GetJackCount(PULONG count, ULONG typeIndex) {
  if (!count) return STATUS_INVALID_PARAMETER;
  if (m_Descriptor && IsStreaming()) {
    *count = 0;
    return STATUS_SUCCESS;
  }
  if (typeIndex >= m_TypeCount || !m_JackCounts) return STATUS_INVALID_PARAMETER;
  *count = m_JackCounts[typeIndex];
  return STATUS_SUCCESS;
}

NTSTATUS CUac1OutputTerminal::GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG typeIndex) {
  PAGED_CODE();
  if (!jacks || bufferBytes == 0 || typeIndex >= m_TypeCount || !m_JackRecords || !m_Descriptor || IsStreaming())
    return STATUS_INVALID_PARAMETER;
  const ULONG count = m_JackCounts[typeIndex];
  JackRecord* stored = m_JackRecords[typeIndex];
  if (!stored || !count || bufferBytes < count * sizeof(JackRecord)) return STATUS_INVALID_PARAMETER;
  if (m_Categories[typeIndex] == m_CurrentCategory) return CopyJacksWithPresence(stored, count, jacks);

  NTSTATUS status = CheckUsbDevice();
  if (!NT_SUCCESS(status)) return status;
  ULONG connected = 0;
  ReadSetting(kOtherTypeJacksConnected, &connected);
  for (ULONG i = 0; i < count; ++i) {
    jacks[i] = stored[i];
    jacks[i].IsConnected = connected ? 1 : 0;
  }
  return STATUS_SUCCESS;
}

// ---- Device changes ------------------------------------------------------------------------

ULONG CUac1OutputTerminal::RefreshNodes(ULONG nodeType, bool firstOnly) {
  ULONG refreshed = 0;
  PVOID item = nullptr;
  if (!m_Nodes) return 0;
  for (auto pos = m_Nodes->GetHeadPosition(); m_Nodes->GetNext(&pos, &item);) {
    auto* node = static_cast<ITopoNode*>(item);
    if (node->GetType() != nodeType) continue;
    node->RefreshFromDevice();
    ++refreshed;
    if (firstOnly) break;
  }
  return refreshed;
}

NTSTATUS CUac1OutputTerminal::OnControlChange(ULONG, ULONG, PULONG) {
  PAGED_CODE();
  NTSTATUS status = CheckUsbDevice();
  if (!NT_SUCCESS(status)) return status;
  USHORT deviceType = 0;
  status = ReadCurrentType(&deviceType);
  if (NT_SUCCESS(status)) {
    const PinCategory category = OutputTerminalChangeCategory(deviceType);
    if (category == m_CurrentCategory) {
      // Same type: the word can only mean a jack went in or out. The pins
      // keep the jack state they answer with, so they must read it again.
      RefreshNodes(NODE_TYPE_OUTPUT_PIN, false);
      return STATUS_SUCCESS;
    }
    m_CurrentCategory = category;
    WriteSetting(m_CategoryValueName, category);
  }
  ULONG refreshed = RefreshNodes(NODE_TYPE_OUTPUT_TYPE, true);
  refreshed += RefreshNodes(NODE_TYPE_OUTPUT_PIN, false);
  return refreshed ? STATUS_SUCCESS : status;
}
