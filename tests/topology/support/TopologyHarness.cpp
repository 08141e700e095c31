#include "tests/topology/support/TopologyHarness.h"

#include <gtest/gtest.h>

#include "driver/DriverEntry.h"
#include "tests/platform/DeviceStack.h"

namespace topotest {
namespace {

constexpr ULONG kTag = MakeTag("TopH");

IAudioHal* g_NextModel = nullptr;

struct AdapterExtension {
  PUNKNOWN miniport;  // no reference: the registered port keeps it
};

AdapterExtension* ExtensionOf(PDEVICE_OBJECT fdo) {
  return reinterpret_cast<AdapterExtension*>(static_cast<PUCHAR>(fdo->DeviceExtension) +
                                             PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

NTSTATUS StartAdapter(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST) {
  if (!g_NextModel) return STATUS_INVALID_DEVICE_STATE;
  PUNKNOWN miniport = nullptr;
  NTSTATUS status = InstallSubdevice(fdo, irp, CLSID_PortTopology, CLSID_PortTopology, CreateMiniportTopology,
                                     g_NextModel, nullptr, &miniport);
  if (NT_SUCCESS(status)) ExtensionOf(fdo)->miniport = miniport;
  return status;
}

NTSTATUS AddAdapter(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
  return PcAddAdapterDevice(driverObject, pdo, StartAdapter, 4,
                            PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(AdapterExtension));
}

}  // namespace

NTSTATUS TopologyAdapterDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  return PcInitializeAdapterDriver(driverObject, registryPath, AddAdapter);
}

void SetTopologyAdapterModel(IAudioHal* model) { g_NextModel = model; }

PUNKNOWN TopologyAdapterMiniport(PDEVICE_OBJECT adapterDevice) { return ExtensionOf(adapterDevice)->miniport; }

// ---- Test nodes ----------------------------------------------------------------------------------

NTSTATUS TestFlagNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IBooleanNode) && m_NodeType == NODE_TYPE_FLAG) {
    *object = static_cast<IBooleanNode*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IVendorBooleanNode) && m_NodeType == NODE_TYPE_VENDOR_FLAG) {
    *object = static_cast<IVendorBooleanNode*>(this);
  } else {
    return CTopoNode::NonDelegatingQueryInterface(iid, object);
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

NTSTATUS TestRangedNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (!IsEqualGUIDAligned(iid, IID_IRangedValueNode)) return CTopoNode::NonDelegatingQueryInterface(iid, object);
  *object = static_cast<IRangedValueNode*>(this);
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

NTSTATUS TestParameterBlockNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (!IsEqualGUIDAligned(iid, IID_IParameterBlockNode)) return CTopoNode::NonDelegatingQueryInterface(iid, object);
  *object = static_cast<IParameterBlockNode*>(this);
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

NTSTATUS TestParameters::Get(ULONG first, ULONG count, PULONG out) const {
  if (first > kCount || count > kCount - first) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < count; ++i) out[i] = values[first + i];
  return STATUS_SUCCESS;
}

NTSTATUS TestParameters::Set(ULONG first, ULONG count, const ULONG* in) {
  if (first > kCount || count > kCount - first) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < count; ++i) values[first + i] = in[i];
  return STATUS_SUCCESS;
}

NTSTATUS TestParameters::Info(ULONG index, PULONG a, PULONG b, PULONG c) const {
  if (index >= kCount) return STATUS_INVALID_PARAMETER;
  *a = index;
  *b = index * 10;
  *c = index * 100;
  return STATUS_SUCCESS;
}

JackRecord Jack(ULONG channelMapping, ULONG color, ULONG isConnected, ULONG noPresenceDetect) {
  JackRecord jack{};
  jack.ChannelMapping = channelMapping;
  jack.Color = color;
  jack.ConnectionType = 1;
  jack.GeoLocation = 2;
  jack.GenLocation = 0;
  jack.PortConnection = 1;
  jack.NoPresenceDetectCapability = noPresenceDetect;
  jack.IsConnected = isConnected;
  jack.PresenceReported = 1;
  return jack;
}

// ---- Harness -------------------------------------------------------------------------------------

TopologyHarness::TopologyHarness() {
  platform::registry::Reset();
  platform::portcls::ResetForTest();
  m_Pdo = platform::io::CreatePhysicalDevice(testsupport::HeadsetPdoConfig());
  EXPECT_EQ(m_Host.LoadDriver(TopologyAdapterDriverEntry, u"topotest"), STATUS_SUCCESS);
  EXPECT_EQ(m_Host.AddDevice(m_Pdo), STATUS_SUCCESS);
  m_Model = new (NonPagedPool, kTag) GraphModel();
  m_Model->NonDelegatingAddRef();
  // The adapter device is the model's device object: its driver key holds
  // the Settings the filter reads.
  EXPECT_EQ(m_Model->Init(nullptr, m_Host.AdapterDevice(), m_Pdo, m_Pdo), STATUS_SUCCESS);
}

TopologyHarness::~TopologyHarness() {
  delete m_Filter;
  m_Host.Unload();
  SetTopologyAdapterModel(nullptr);
  m_Model->NonDelegatingRelease();
  platform::io::DeletePhysicalDevice(m_Pdo);
  platform::portcls::ResetForTest();
}

template <typename T>
T* TopologyHarness::Keep(T* node, NTSTATUS status) {
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(m_Model->AddNode(static_cast<ITopoNode*>(node)), STATUS_SUCCESS);
  node->NonDelegatingRelease();
  return node;
}

CInputTerminalNode* TopologyHarness::InputPin(ULONG id, PinCategory category, const std::vector<JackRecord>& jacks) {
  auto* node = new (NonPagedPool, kTag) CInputTerminalNode(nullptr, id);
  node->NonDelegatingAddRef();
  return Keep(node, node->Init(1, &category, static_cast<ULONG>(jacks.size()), jacks.empty() ? nullptr : jacks.data()));
}

COutputTerminalNode* TopologyHarness::OutputPin(ULONG id, ULONG source, PinCategory category,
                                                const std::vector<JackRecord>& jacks) {
  auto* node = new (NonPagedPool, kTag) COutputTerminalNode(nullptr, id);
  node->NonDelegatingAddRef();
  return Keep(node, node->Init(source, 1, &category, static_cast<ULONG>(jacks.size()),
                               jacks.empty() ? nullptr : jacks.data()));
}

CLevelNode* TopologyHarness::Level(ULONG type, ULONG id, ULONG source, ULONG channels, LONG maximum, LONG minimum,
                                   LONG step) {
  auto* node = new (NonPagedPool, kTag) CLevelNode(nullptr, id, type);
  node->NonDelegatingAddRef();
  return Keep(node, node->Init(source, channels, maximum, minimum, step));
}

CSwitchNode* TopologyHarness::Switch(ULONG type, ULONG id, ULONG source, ULONG channels) {
  auto* node = new (NonPagedPool, kTag) CSwitchNode(nullptr, id, type);
  node->NonDelegatingAddRef();
  return Keep(node, node->Init(source, channels));
}

CSelectorNode* TopologyHarness::Selector(ULONG id, const std::vector<ULONG>& sources) {
  auto* node = new (NonPagedPool, kTag) CSelectorNode(nullptr, id);
  node->NonDelegatingAddRef();
  return Keep(node, node->Init(static_cast<ULONG>(sources.size()), sources.data()));
}

CMixerNode* TopologyHarness::Mixer(ULONG id, const std::vector<ULONG>& sources) {
  auto* node = new (NonPagedPool, kTag) CMixerNode(nullptr, id);
  node->NonDelegatingAddRef();
  return Keep(node, node->Init(static_cast<ULONG>(sources.size()), sources.data()));
}

CClockNode* TopologyHarness::Clock(ULONG id) {
  auto* node = new (NonPagedPool, kTag) CClockNode(nullptr, id);
  node->NonDelegatingAddRef();
  const ULONG rate = 48000;
  return Keep(node, node->Init(1, &rate));
}

COutputTypeNode* TopologyHarness::OutputType(ULONG id, ULONG source, const std::vector<PinCategory>& categories) {
  auto* node = new (NonPagedPool, kTag) COutputTypeNode(nullptr, id);
  node->NonDelegatingAddRef();
  return Keep(node, node->Init(source, static_cast<ULONG>(categories.size()), categories.data()));
}

TestProcessingNode* TopologyHarness::Processing(ULONG id, ULONG source, const GUID& name, bool withParameters) {
  auto* node = new (NonPagedPool, kTag) TestProcessingNode(id, name, withParameters);
  node->NonDelegatingAddRef();
  return Keep(node, node->Init(source));
}

TestFlagNode* TopologyHarness::Flag(ULONG type, ULONG id, ULONG source) {
  auto* node = new (NonPagedPool, kTag) TestFlagNode(id, type);
  node->NonDelegatingAddRef();
  return Keep(node, node->SetSourceIds(1, &source));
}

TestRangedNode* TopologyHarness::Ranged(ULONG id, ULONG source) {
  auto* node = new (NonPagedPool, kTag) TestRangedNode(id);
  node->NonDelegatingAddRef();
  return Keep(node, node->SetSourceIds(1, &source));
}

TestParameterBlockNode* TopologyHarness::ParameterBlock(ULONG id, ULONG source) {
  auto* node = new (NonPagedPool, kTag) TestParameterBlockNode(id);
  node->NonDelegatingAddRef();
  return Keep(node, node->SetSourceIds(1, &source));
}

ITopoNode* TopologyHarness::Plain(ULONG id, ULONG type, const std::vector<ULONG>& sources) {
  ITopoNode* node = nullptr;
  EXPECT_EQ(CTopoNode::Create(&node, id, type, NonPagedPool, kTag), STATUS_SUCCESS);
  EXPECT_EQ(node->SetSourceIds(static_cast<ULONG>(sources.size()), sources.data()), STATUS_SUCCESS);
  EXPECT_EQ(m_Model->AddNode(node), STATUS_SUCCESS);
  node->Release();
  return node;
}

void TopologyHarness::PutSetting(const std::u16string& name, const void* data, size_t length) {
  platform::registry::SetValue(testsupport::kDriverKey + u"\\Settings", name, REG_BINARY, data, length);
}

NTSTATUS TopologyHarness::Start() {
  SetTopologyAdapterModel(m_Model->Hal());
  return m_Host.Start();
}

sim::host::FilterHandle* TopologyHarness::Filter() {
  if (!m_Filter) {
    EXPECT_EQ(m_Host.OpenFilter(u"GlobalTopo", &m_Filter), STATUS_SUCCESS);
  }
  return m_Filter;
}

CMiniportTopology* TopologyHarness::Miniport() {
  PVOID object = nullptr;
  if (!NT_SUCCESS(TopologyAdapterMiniport(m_Host.AdapterDevice())->QueryInterface(IID_IMiniportTopology, &object)))
    return nullptr;
  auto* miniport = static_cast<IMiniportTopology*>(object);
  miniport->Release();  // the port keeps it
  return static_cast<CMiniportTopology*>(miniport);
}

NTSTATUS TopologyHarness::Property(const GUID& set, ULONG id, ULONG verb, ULONG node,
                                   const std::vector<ULONG>& instance, void* value, ULONG* valueSize) {
  return Filter()->Property(set, id, verb, node, instance.data(), static_cast<ULONG>(instance.size() * sizeof(ULONG)),
                            value, valueSize);
}

NTSTATUS TopologyHarness::Get(const GUID& set, ULONG id, ULONG node, ULONG channel, ULONG* value) {
  ULONG size = sizeof(ULONG);
  return Property(set, id, KSPROPERTY_TYPE_GET, node, {channel, 0}, value, &size);
}

NTSTATUS TopologyHarness::Set(const GUID& set, ULONG id, ULONG node, ULONG channel, ULONG value) {
  ULONG size = sizeof(ULONG);
  return Property(set, id, KSPROPERTY_TYPE_SET, node, {channel, 0}, &value, &size);
}

NTSTATUS TopologyHarness::PinProperty(const GUID& set, ULONG id, ULONG verb, ULONG pin, void* value,
                                      ULONG* valueSize) {
  return Property(set, id, verb, ULONG(-1), {pin, 0}, value, valueSize);
}

ULONG TopologyHarness::NodeIndexOf(ULONG halId) {
  // KS nodes run in reverse model order over the nodes that are neither
  // terminals nor clocks.
  std::vector<ULONG> ids;
  for (ULONG i = 0; i < Hal()->GetNodeCount(); ++i) {
    ITopoNode* node = nullptr;
    Hal()->GetNode(i, &node);
    const ULONG type = node->GetType();
    if (type != NODE_TYPE_INPUT_PIN && type != NODE_TYPE_OUTPUT_PIN && type != NODE_TYPE_CLOCK)
      ids.push_back(node->GetId());
  }
  for (size_t k = 0; k < ids.size(); ++k)
    if (ids[k] == halId) return static_cast<ULONG>(ids.size() - 1 - k);
  ADD_FAILURE() << "no KS node for model node " << halId;
  return ULONG(-1);
}

ULONG TopologyHarness::PinOf(ULONG halId) {
  ISubdeviceInfo* info = nullptr;
  CMiniportTopology* miniport = Miniport();
  ULONG id = halId;
  if (miniport && NT_SUCCESS(miniport->QueryInterface(IID_ISubdeviceInfo, reinterpret_cast<PVOID*>(&info)))) {
    EXPECT_EQ(info->GetConnectionId(&id), STATUS_SUCCESS) << "model node " << halId;
    info->Release();
  }
  return id;
}

}  // namespace topotest
