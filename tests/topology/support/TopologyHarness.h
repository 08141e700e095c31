// The topology filter the way the system sees it, over a hardware model a
// test puts together node by node: a small adapter driver loaded into the
// host, whose start installs the topology miniport over that model, so that
// property and event requests travel the real path (IRP, port-class
// stand-in, automation table, handler). Nodes are the driver's own classes;
// the device-specific kinds no class of the driver bears get test classes
// here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/hal/CAudioHal.h"
#include "sim/host/Host.h"
#include "topology/CClockNode.h"
#include "topology/CLevelNode.h"
#include "topology/CMiniportTopology.h"
#include "topology/CMixerNode.h"
#include "topology/COutputTypeNode.h"
#include "topology/CProcessingNode.h"
#include "topology/CSelectorNode.h"
#include "topology/CSwitchNode.h"
#include "topology/CTerminalNode.h"
#include "topology/DevSpecificNodes.h"

namespace topotest {

// A hardware model without a device: its nodes are whatever the test adds.
class GraphModel final : public CAudioHal {
 public:
  GraphModel() : CAudioHal(nullptr) {}
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override { return STATUS_SUCCESS; }
  IAudioHal* Hal() { return this; }
};

// ---- Nodes of kinds no driver class bears --------------------------------------------------

// Types 15 and 19: a flag behind IBooleanNode or IVendorBooleanNode.
class TestFlagNode final : public CTopoNode, public IBooleanNode, public IVendorBooleanNode {
 public:
  TestFlagNode(ULONG id, ULONG type) : CTopoNode(nullptr, id, type) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE SetValue(ULONG value) override {
    this->value = value;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetValue(PULONG value) override {
    *value = this->value;
    return STATUS_SUCCESS;
  }
  ULONG value = 0;
};

// Type 17.
class TestRangedNode final : public CTopoNode, public IRangedValueNode {
 public:
  explicit TestRangedNode(ULONG id) : CTopoNode(nullptr, id, NODE_TYPE_RANGED_VALUE) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE GetValue(PULONG value) override {
    *value = this->value;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE Reserved() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE SetValue(ULONG value) override {
    if (value < minimum || value > maximum) return STATUS_INVALID_PARAMETER;
    this->value = value;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetRange(PULONG maximum, PULONG minimum) override {
    *maximum = this->maximum;
    *minimum = this->minimum;
    return STATUS_SUCCESS;
  }
  ULONG value = 0;
  ULONG minimum = 2;
  ULONG maximum = 9;
};

// Parameters shared by the test parameter-block and processing nodes: four
// slots, info answers {index, index * 10, index * 100}.
struct TestParameters {
  static constexpr ULONG kCount = 4;
  ULONG values[kCount] = {};
  NTSTATUS Get(ULONG first, ULONG count, PULONG out) const;
  NTSTATUS Set(ULONG first, ULONG count, const ULONG* in);
  NTSTATUS Info(ULONG index, PULONG a, PULONG b, PULONG c) const;
};

// Type 20.
class TestParameterBlockNode final : public CTopoNode, public IParameterBlockNode {
 public:
  explicit TestParameterBlockNode(ULONG id) : CTopoNode(nullptr, id, NODE_TYPE_PARAMETER_BLOCK) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE GetNameGuid(GUID* name) override {
    *name = this->name;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetParameterCount(PULONG count) override {
    *count = TestParameters::kCount;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetParameters(ULONG first, ULONG count, PULONG values) override {
    return parameters.Get(first, count, values);
  }
  NTSTATUS STDMETHODCALLTYPE SetParameters(ULONG first, ULONG count, const ULONG* values) override {
    return parameters.Set(first, count, values);
  }
  NTSTATUS STDMETHODCALLTYPE GetParameterInfo(ULONG index, PULONG a, PULONG b, PULONG c) override {
    return parameters.Info(index, a, b, c);
  }
  GUID name = DEFINE_GUID_VALUE(0x5A5A0001, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8);
  TestParameters parameters;
};

// A processing node with a name, a value the device accepts, and optionally
// four parameters.
class TestProcessingNode final : public CProcessingNode {
 public:
  TestProcessingNode(ULONG id, const GUID& name, bool withParameters) : CProcessingNode(nullptr, id) {
    m_Name = name;
    m_ParameterCount = withParameters ? TestParameters::kCount : 0;
  }
  NTSTATUS STDMETHODCALLTYPE SetValue(UCHAR value) override {
    m_Value = value;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetParameters(ULONG first, ULONG count, PULONG values) override {
    return m_ParameterCount ? parameters.Get(first, count, values) : STATUS_INVALID_PARAMETER;
  }
  NTSTATUS STDMETHODCALLTYPE SetParameters(ULONG first, ULONG count, const ULONG* values) override {
    return m_ParameterCount ? parameters.Set(first, count, values) : STATUS_INVALID_PARAMETER;
  }
  NTSTATUS STDMETHODCALLTYPE GetParameterInfo(ULONG index, PULONG a, PULONG b, PULONG c) override {
    return m_ParameterCount ? parameters.Info(index, a, b, c) : STATUS_INVALID_PARAMETER;
  }
  UCHAR Value() const { return m_Value; }
  TestParameters parameters;
};

// ---- The harness ------------------------------------------------------------------------------

// A jack as the terminal nodes keep it.
JackRecord Jack(ULONG channelMapping, ULONG color, ULONG isConnected, ULONG noPresenceDetect = 0);

class TopologyHarness {
 public:
  TopologyHarness();
  ~TopologyHarness();
  TopologyHarness(const TopologyHarness&) = delete;
  TopologyHarness& operator=(const TopologyHarness&) = delete;

  GraphModel& Model() { return *m_Model; }
  IAudioHal* Hal() { return m_Model->Hal(); }

  // ---- Building the model (before Start). Each adds one node and returns it
  // (the model holds it).
  CInputTerminalNode* InputPin(ULONG id, PinCategory category, const std::vector<JackRecord>& jacks = {});
  COutputTerminalNode* OutputPin(ULONG id, ULONG source, PinCategory category,
                                 const std::vector<JackRecord>& jacks = {});
  CLevelNode* Level(ULONG type, ULONG id, ULONG source, ULONG channels = 2, LONG maximum = 0,
                    LONG minimum = -96 * 65536, LONG step = 65536 / 2);
  CSwitchNode* Switch(ULONG type, ULONG id, ULONG source, ULONG channels = 2);
  CSelectorNode* Selector(ULONG id, const std::vector<ULONG>& sources);
  CMixerNode* Mixer(ULONG id, const std::vector<ULONG>& sources);
  CClockNode* Clock(ULONG id);
  COutputTypeNode* OutputType(ULONG id, ULONG source, const std::vector<PinCategory>& categories);
  TestProcessingNode* Processing(ULONG id, ULONG source, const GUID& name, bool withParameters = false);
  TestFlagNode* Flag(ULONG type, ULONG id, ULONG source);
  TestRangedNode* Ranged(ULONG id, ULONG source);
  TestParameterBlockNode* ParameterBlock(ULONG id, ULONG source);
  // A node of no class: just an id, a type code and sources.
  ITopoNode* Plain(ULONG id, ULONG type, const std::vector<ULONG>& sources);

  // ---- Settings of the adapter (the model's device object).
  void PutSetting(const std::u16string& name, const void* data, size_t length);

  // ---- Starting: the topology filter is installed from the model.
  NTSTATUS Start();
  sim::host::Host& Host() { return m_Host; }
  // The open topology filter (opened on first use).
  sim::host::FilterHandle* Filter();
  const PCFILTER_DESCRIPTOR& Descriptor() { return Filter()->Descriptor(); }
  CMiniportTopology* Miniport();

  // ---- Requests. `instance` follows the KSPROPERTY (pin id) or the
  // KSNODEPROPERTY (channel).
  NTSTATUS Property(const GUID& set, ULONG id, ULONG verb, ULONG node, const std::vector<ULONG>& instance,
                    void* value, ULONG* valueSize);
  NTSTATUS Get(const GUID& set, ULONG id, ULONG node, ULONG channel, ULONG* value);
  NTSTATUS Set(const GUID& set, ULONG id, ULONG node, ULONG channel, ULONG value);
  // Pin properties: the instance is the pin id.
  NTSTATUS PinProperty(const GUID& set, ULONG id, ULONG verb, ULONG pin, void* value, ULONG* valueSize);

  // KS node index of the model node with `halId`, from the description.
  ULONG NodeIndexOf(ULONG halId);
  // Topology pin of the terminal node with `halId`.
  ULONG PinOf(ULONG halId);

 private:
  template <typename T>
  T* Keep(T* node, NTSTATUS status);

  PDEVICE_OBJECT m_Pdo = nullptr;
  sim::host::Host m_Host;
  GraphModel* m_Model = nullptr;
  sim::host::FilterHandle* m_Filter = nullptr;
};

// The harness's adapter driver, for tests that drive it themselves.
NTSTATUS TopologyAdapterDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
// What the next start installs the topology filter over (no reference).
void SetTopologyAdapterModel(IAudioHal* model);
// The topology miniport of a started adapter (no reference).
PUNKNOWN TopologyAdapterMiniport(PDEVICE_OBJECT adapterDevice);

}  // namespace topotest
