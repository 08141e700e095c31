// Small topology nodes for tests of the object-model bases and of anything
// that walks a hardware model's nodes and engines. Each answers one private
// interface with values a test sets directly and counts the calls it gets.
// All of them are plain CTopoNodes underneath (id, type code, sources).
//
// Create them with MakeNode<T>(args...): a stand-alone object in nonpaged
// pool (tag TEST_NODE_TAG) with one reference, which the test releases (or
// hands to a model, which adds its own).
#pragma once

#include <string>
#include <vector>

#include "driver/common/CTopoNode.h"

namespace testsupport {

constexpr ULONG TEST_NODE_TAG = MakeTag("TNod");

template <typename T, typename... Args>
T* MakeNode(Args&&... args) {
  T* node = new (NonPagedPool, TEST_NODE_TAG) T(nullptr, std::forward<Args>(args)...);
  if (node) node->NonDelegatingAddRef();
  return node;
}

// A plain node that counts what the model asks of it; ApplyToDevice answers
// `applyStatus`.
class TestNode : public CTopoNode {
 public:
  TestNode(PUNKNOWN outer, ULONG id, ULONG type) : CTopoNode(outer, id, type) {}
  NTSTATUS STDMETHODCALLTYPE ApplyToDevice(ULONG, PVOID) override {
    ++applyCount;
    return applyStatus;
  }
  NTSTATUS STDMETHODCALLTYPE OnHalStart(ULONG, PVOID) override {
    ++startCount;
    return STATUS_UNSUCCESSFUL;  // the model ignores it
  }
  NTSTATUS STDMETHODCALLTYPE OnHalStop(ULONG, PVOID) override {
    ++stopCount;
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS applyStatus = STATUS_SUCCESS;
  int applyCount = 0;
  int startCount = 0;
  int stopCount = 0;
};

// A terminal pin (type 0 or 1) with a category and jack records. With no
// jacks the terminal counts as present whenever its category is not Stream.
class TestTerminalNode : public TestNode, public ITerminal {
 public:
  TestTerminalNode(PUNKNOWN outer, ULONG id, ULONG type, PinCategory category)
      : TestNode(outer, id, type), category(category) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* out) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeList(PULONG categories) override;
  NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory selected) override;
  NTSTATUS STDMETHODCALLTYPE GetJackCount(PULONG count, ULONG typeIndex) override;
  NTSTATUS STDMETHODCALLTYPE GetJackDescriptions(ULONG bufferBytes, JackRecord* out, ULONG typeIndex) override;
  NTSTATUS STDMETHODCALLTYPE GetDeviceCaps(DeviceCapsRecord* caps) override;

  // Appends a jack whose IsConnected is `connected`.
  void AddJack(bool connected);

  PinCategory category;
  std::vector<JackRecord> jacks;
};

// An output-type switch (type 13) reporting `category`.
class TestOutputTypeNode : public TestNode, public IOutputTypeNode {
 public:
  TestOutputTypeNode(PUNKNOWN outer, ULONG id, PinCategory category)
      : TestNode(outer, id, NODE_TYPE_OUTPUT_TYPE), category(category) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  NTSTATUS STDMETHODCALLTYPE GetCategory(PinCategory* out) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE GetTypeList(PULONG categories) override;
  NTSTATUS STDMETHODCALLTYPE SelectType(PinCategory selected) override;
  ULONG STDMETHODCALLTYPE IsChangePending() override { return changePending; }
  NTSTATUS STDMETHODCALLTYPE AckChange() override {
    changePending = 0;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE AddListener(IOutputTypeSink*) override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE Init(ULONG sourceId, ULONG, const PinCategory*) override {
    return SetSourceIds(1, &sourceId);
  }

  PinCategory category;
  ULONG changePending = 0;
};

// The calls a selector input node and its selector saw, in order, as text:
// "add 7", "index 7 2", "selected 7 1".
using CallLog = std::vector<std::string>;

// A selector node (type 4) whose sources are its inputs.
class TestSelectorNode : public TestNode, public ISelector {
 public:
  TestSelectorNode(PUNKNOWN outer, ULONG id, CallLog* log) : TestNode(outer, id, NODE_TYPE_SELECTOR), log(log) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  NTSTATUS STDMETHODCALLTYPE GetInput(PULONG input) override;
  NTSTATUS STDMETHODCALLTYPE SetInput(ULONG input) override;
  NTSTATUS STDMETHODCALLTYPE GetInputCount(PULONG count) override;
  NTSTATUS STDMETHODCALLTYPE AddInputNode(ISelectorInputNode* node) override;

  ULONG currentInput = 1;
  CallLog* log;
};

// A single-source node that feeds a selector input.
class TestSelectorInputNode : public TestNode, public ISelectorInputNode {
 public:
  TestSelectorInputNode(PUNKNOWN outer, ULONG id, CallLog* log) : TestNode(outer, id, NODE_TYPE_VOLUME), log(log) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  NTSTATUS STDMETHODCALLTYPE OnSelectionChange(ULONG, ULONG) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE SetSelectedInput(ULONG input) override;
  NTSTATUS STDMETHODCALLTYPE SetInputIndex(ULONG inputNumber) override;

  ULONG inputIndex = 0;
  ULONG selectedInput = 0;
  CallLog* log;
};

// A node that wants the render engines once the topology is built.
class TestBindingNode : public TestNode, public IStreamEngineBinding {
 public:
  TestBindingNode(PUNKNOWN outer, ULONG id) : TestNode(outer, id, NODE_TYPE_PROCESSING) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE BindStreamEngines(ULONG) override {
    ++bindCount;
    return STATUS_SUCCESS;
  }
  int bindCount = 0;
};

// A node that processes audio in software (does nothing to it).
class TestDspNode : public TestNode, public IDspProcessor {
 public:
  TestDspNode(PUNKNOWN outer, ULONG id) : TestNode(outer, id, NODE_TYPE_MUTE) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE ResetLimiters() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE*, PVOID, ULONG) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Reset() override { return STATUS_SUCCESS; }
};

// Reference count of a live object: what a Release after an AddRef answers.
inline LONG RefCount(CUnknownBase* object) {
  object->NonDelegatingAddRef();
  return static_cast<LONG>(object->NonDelegatingRelease());
}

}  // namespace testsupport
