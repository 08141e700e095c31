#include "tests/driver/support/TestNodes.h"

namespace testsupport {
namespace {

// Answers `iid` with `answer` (adding a reference) or defers to `base`.
template <typename Base>
NTSTATUS AnswerOr(Base* self, REFIID iid, const GUID& own, IUnknown* answer, PVOID* object) {
  if (object && IsEqualGUIDAligned(iid, own)) {
    *object = answer;
    answer->AddRef();
    return STATUS_SUCCESS;
  }
  return self->Base::NonDelegatingQueryInterface(iid, object);
}

}  // namespace

// ---- TestTerminalNode ------------------------------------------------------------

NTSTATUS TestTerminalNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  return AnswerOr<TestNode>(this, iid, IID_ITerminal, static_cast<ITerminal*>(this), object);
}

NTSTATUS TestTerminalNode::GetCategory(PinCategory* out) {
  if (!out) return STATUS_INVALID_PARAMETER;
  *out = category;
  return STATUS_SUCCESS;
}

NTSTATUS TestTerminalNode::GetTypeCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = 1;
  return STATUS_SUCCESS;
}

NTSTATUS TestTerminalNode::GetTypeList(PULONG categories) {
  if (!categories) return STATUS_INVALID_PARAMETER;
  categories[0] = category;
  return STATUS_SUCCESS;
}

NTSTATUS TestTerminalNode::SelectType(PinCategory selected) {
  category = selected;
  return STATUS_SUCCESS;
}

NTSTATUS TestTerminalNode::GetJackCount(PULONG count, ULONG) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = static_cast<ULONG>(jacks.size());
  return STATUS_SUCCESS;
}

NTSTATUS TestTerminalNode::GetJackDescriptions(ULONG bufferBytes, JackRecord* out, ULONG) {
  if (!out || bufferBytes < jacks.size() * sizeof(JackRecord)) return STATUS_BUFFER_TOO_SMALL;
  for (size_t i = 0; i < jacks.size(); ++i) out[i] = jacks[i];
  return STATUS_SUCCESS;
}

NTSTATUS TestTerminalNode::GetDeviceCaps(DeviceCapsRecord*) { return STATUS_NOT_IMPLEMENTED; }

void TestTerminalNode::AddJack(bool connected) {
  JackRecord jack{};
  jack.ChannelMapping = 3;
  jack.IsConnected = connected ? 1 : 0;
  jack.PresenceReported = 1;
  jacks.push_back(jack);
}

// ---- TestOutputTypeNode ------------------------------------------------------------

NTSTATUS TestOutputTypeNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  return AnswerOr<TestNode>(this, iid, IID_IOutputTypeNode, static_cast<IOutputTypeNode*>(this), object);
}

NTSTATUS TestOutputTypeNode::GetCategory(PinCategory* out) {
  if (!out) return STATUS_INVALID_PARAMETER;
  *out = category;
  return STATUS_SUCCESS;
}

NTSTATUS TestOutputTypeNode::GetTypeCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = 1;
  return STATUS_SUCCESS;
}

NTSTATUS TestOutputTypeNode::GetTypeList(PULONG categories) {
  if (!categories) return STATUS_INVALID_PARAMETER;
  categories[0] = category;
  return STATUS_SUCCESS;
}

NTSTATUS TestOutputTypeNode::SelectType(PinCategory selected) {
  if (selected != category) changePending = 1;
  category = selected;
  return STATUS_SUCCESS;
}

// ---- Selector and its input nodes ----------------------------------------------------------

NTSTATUS TestSelectorNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  return AnswerOr<TestNode>(this, iid, IID_ISelector, static_cast<ISelector*>(this), object);
}

NTSTATUS TestSelectorNode::GetInput(PULONG input) {
  if (!input) return STATUS_INVALID_PARAMETER;
  *input = currentInput;
  return STATUS_SUCCESS;
}

NTSTATUS TestSelectorNode::SetInput(ULONG input) {
  currentInput = input;
  return STATUS_SUCCESS;
}

NTSTATUS TestSelectorNode::GetInputCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = GetSourceCount();
  return STATUS_SUCCESS;
}

NTSTATUS TestSelectorNode::AddInputNode(ISelectorInputNode* node) {
  if (!node) return STATUS_INVALID_PARAMETER;
  // The test input nodes are TestSelectorInputNodes: name them by id.
  auto* input = static_cast<TestSelectorInputNode*>(node);
  if (log) log->push_back("add " + std::to_string(input->GetId()));
  return STATUS_SUCCESS;
}

NTSTATUS TestSelectorInputNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  return AnswerOr<TestNode>(this, iid, IID_ISelectorInputNode, static_cast<ISelectorInputNode*>(this), object);
}

NTSTATUS TestSelectorInputNode::SetSelectedInput(ULONG input) {
  selectedInput = input;
  if (log) log->push_back("selected " + std::to_string(GetId()) + " " + std::to_string(input));
  return STATUS_SUCCESS;
}

NTSTATUS TestSelectorInputNode::SetInputIndex(ULONG inputNumber) {
  inputIndex = inputNumber;
  if (log) log->push_back("index " + std::to_string(GetId()) + " " + std::to_string(inputNumber));
  return STATUS_SUCCESS;
}

// ---- Binding and processing nodes -----------------------------------------------------------

NTSTATUS TestBindingNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  return AnswerOr<TestNode>(this, iid, IID_IStreamEngineBinding, static_cast<IStreamEngineBinding*>(this), object);
}

NTSTATUS TestDspNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  return AnswerOr<TestNode>(this, iid, IID_IDspProcessor, static_cast<IDspProcessor*>(this), object);
}

}  // namespace testsupport
