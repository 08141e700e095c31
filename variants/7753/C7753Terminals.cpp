#include "variants/7753/C7753Terminals.h"

#include "driver/SettingsStore.h"
#include "topology/CUacTerminalNode.h"
#include "variants/7753/C7753Codec.h"
#include "variants/7753/C7753DescriptorRewrite.h"

namespace {

// The codec registers of each output type: register 2 whole, the output-on
// bit of register 1, the S/PDIF bit of register 0.
struct OutputTypeRegisters {
  PinCategory type;
  USHORT register2;
  USHORT register1;
  USHORT register0;
};
constexpr OutputTypeRegisters kOutputTypeRegisters[] = {
    {PIN_CATEGORY_SPK, 0xE000, 0x0002, 0x0000},
    {PIN_CATEGORY_HP, 0xFFE0, 0x0002, 0x0000},
    {PIN_CATEGORY_SPDIF, 0xE7F8, 0x0000, 0x8000},
};

// The chip's jacks by output type: speaker front, centre/LFE and back
// (green, orange, black, 3.5 mm), headphone (green, 3.5 mm), S/PDIF
// (optical); all on the rear of the primary box.
struct JackRow {
  ULONG channelMapping;
  ULONG color;
  ULONG connectionType;
};
constexpr JackRow kSpeakerJacks[] = {{0x03, 0x00FF00, 1}, {0x0C, 0xFF8000, 1}, {0x30, 0x000000, 1}};
constexpr JackRow kHeadphoneJacks[] = {{0x03, 0x00FF00, 1}};
constexpr JackRow kSpdifJacks[] = {{0x03, 0x000000, 5}};
constexpr ULONG kRearLocation = 1;

struct JackSet {
  const JackRow* rows;
  ULONG count;
};

JackSet JacksOf(PinCategory type) {
  switch (type) {
    case PIN_CATEGORY_SPK: return {kSpeakerJacks, ARRAYSIZE(kSpeakerJacks)};
    case PIN_CATEGORY_HP: return {kHeadphoneJacks, ARRAYSIZE(kHeadphoneJacks)};
    case PIN_CATEGORY_SPDIF: return {kSpdifJacks, ARRAYSIZE(kSpdifJacks)};
    default: return {nullptr, 0};
  }
}

// Source unit ids of the recording selector and the chip's code for each.
UCHAR SelectorCode(UCHAR sourceId) {
  switch (sourceId) {
    case 8: return 1;
    case 15: return 2;
    case 16: return 3;
    case 2: return 4;
    default: return 0;
  }
}

}  // namespace

void WriteC7753OutputType(IC7753CodecWriter* codec, PinCategory type) {
  if (!codec) return;
  for (const OutputTypeRegisters& r : kOutputTypeRegisters) {
    if (r.type != type) continue;
    codec->WriteCodecRegister(2, r.register2, 0xFFFF);
    codec->WriteCodecRegister(1, r.register1, 0x0002);
    codec->WriteCodecRegister(0, r.register0, 0x8000);
    return;
  }
}

// ============================================================================
// Output terminal

C7753OutputTerminal::C7753OutputTerminal(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec,
                                         UCHAR supportSpdifOut, UCHAR supportHpOut)
    : CUac1OutputTerminal(outerUnknown, provisionalId), m_Codec(codec) {
  m_Types[m_TypeListCount++] = PIN_CATEGORY_SPK;
  if (supportHpOut) m_Types[m_TypeListCount++] = PIN_CATEGORY_HP;
  if (supportSpdifOut) m_Types[m_TypeListCount++] = PIN_CATEGORY_SPDIF;
  m_CurrentCategory = PIN_CATEGORY_SPK;
}

bool C7753OutputTerminal::Lists(PinCategory type) const {
  for (ULONG i = 0; i < m_TypeListCount; ++i)
    if (m_Types[i] == type) return true;
  return false;
}

NTSTATUS C7753OutputTerminal::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  NTSTATUS status = BuildTypeNodes(owner);
  WriteC7753OutputType(m_Codec, m_CurrentCategory);
  return status;
}

NTSTATUS C7753OutputTerminal::BuildTypeNodes(IAudioHal* owner) {
  PAGED_CODE();
  NTSTATUS status = SetTerminalIdentity();
  if (!NT_SUCCESS(status)) return status;
  status = AllocateTypeArrays(m_TypeListCount);
  if (!NT_SUCCESS(status)) return status;
  RtlCopyMemory(m_Categories, m_Types, m_TypeCount * sizeof(PinCategory));

  RtlStringCchPrintfW(m_CategoryValueName, ARRAYSIZE(m_CategoryValueName), u"%s%02d", u"UACUnit",
                      static_cast<int>(m_NodeId));
  PinCategory stored = PIN_CATEGORY_SPK;
  ReadSetting(m_CategoryValueName, &stored);
  m_CurrentCategory = Lists(stored) ? stored : PIN_CATEGORY_SPK;

  bool allPins = true;
  status = AddTypeNodes(owner, NextNodeId(owner), C7753_TAG, &allPins);
  return allPins ? status : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS C7753OutputTerminal::SelectType(PinCategory category) {
  PAGED_CODE();
  NTSTATUS status = CheckUsbDevice();
  if (!NT_SUCCESS(status)) return status;
  if (m_TypeCount == 0 || !Lists(category)) return STATUS_UNSUCCESSFUL;
  m_CurrentCategory = category;
  WriteC7753OutputType(m_Codec, category);
  WriteSetting(m_CategoryValueName, category);
  return STATUS_SUCCESS;
}

NTSTATUS C7753OutputTerminal::GetJackCount(PULONG count, ULONG typeIndex) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = typeIndex < m_TypeListCount ? JacksOf(m_Types[typeIndex]).count : 0;
  return STATUS_SUCCESS;
}

NTSTATUS C7753OutputTerminal::GetJackDescriptions(ULONG bufferBytes, JackRecord* jacks, ULONG typeIndex) {
  PAGED_CODE();
  if (!jacks || bufferBytes == 0) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = CheckUsbDevice();
  if (!NT_SUCCESS(status)) return status;
  ULONG allConnected = 0;
  ReadSetting(C7753_JACKS_CONNECTED, &allConnected);
  if (typeIndex >= m_TypeListCount) return STATUS_INVALID_PARAMETER;
  const PinCategory type = m_Types[typeIndex];
  const JackSet set = JacksOf(type);
  if (bufferBytes < set.count * sizeof(JackRecord)) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < set.count; ++i) {
    JackRecord& jack = jacks[i];
    jack = JackRecord{};
    jack.ChannelMapping = set.rows[i].channelMapping;
    jack.Color = set.rows[i].color;
    jack.ConnectionType = set.rows[i].connectionType;
    jack.GeoLocation = kRearLocation;
    jack.IsConnected = (type == m_CurrentCategory || allConnected) ? 1 : 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS C7753OutputTerminal::OnControlChange(ULONG, ULONG, PULONG nodeId) {
  PAGED_CODE();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  PVOID item = nullptr;
  if (!m_Nodes) return status;
  for (auto pos = m_Nodes->GetHeadPosition(); m_Nodes->GetNext(&pos, &item);) {
    auto* node = static_cast<ITopoNode*>(item);
    if (node->GetType() != NODE_TYPE_OUTPUT_PIN) continue;
    node->RefreshFromDevice();
    if (nodeId) *nodeId = node->GetId();
    status = STATUS_SUCCESS;
  }
  return status;
}

// ============================================================================
// Recording selector

NTSTATUS C7753SelectorUnit::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  // The code table holds seven inputs.
  const ULONG inputs = m_Descriptor[4];
  if (inputs > C7753_SELECTOR_INPUTS) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = CUac1SelectorUnit::BuildNodes(owner);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG i = 0; i < inputs; ++i) m_Codes[i + 1] = SelectorCode(m_Descriptor[5 + i]);
  SetInput(1);
  return status;
}

NTSTATUS C7753SelectorUnit::GetInput(PULONG input) {
  PAGED_CODE();
  if (!input) return STATUS_INVALID_PARAMETER;
  ULONG code = 0;
  NTSTATUS status = CUac1SelectorUnit::GetInput(&code);
  if (!NT_SUCCESS(status)) return status;
  const ULONG inputs = m_Descriptor[4] < C7753_SELECTOR_INPUTS ? m_Descriptor[4] : C7753_SELECTOR_INPUTS;
  for (ULONG i = 1; i <= inputs; ++i) {
    if (m_Codes[i] == code) {
      *input = i;
      return STATUS_SUCCESS;
    }
  }
  // The device names no input: it is put back on input 1. The base sends the
  // code as a position, so a code beyond the inputs is not sent at all.
  *input = 1;
  CUac1SelectorUnit::SetInput(m_Codes[1]);
  return STATUS_SUCCESS;
}

NTSTATUS C7753SelectorUnit::SetInput(ULONG input) {
  PAGED_CODE();
  if (!IsSelectorUnit() || input == 0 || input > m_Descriptor[4] || input > C7753_SELECTOR_INPUTS)
    return STATUS_INVALID_PARAMETER;
  UCHAR code = m_Codes[input];
  return SendRequest(URB_FUNCTION_CLASS_INTERFACE, false, UAC_SET_CUR, 0, &code, 1);
}
