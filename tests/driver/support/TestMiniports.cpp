#include "tests/driver/support/TestMiniports.h"

#include "sim/standin/StandinMiniports.h"

#include <string>
#include <vector>

namespace testsupport {
namespace {

TestMiniportControl g_control;

// A filter description of `pins` bare pins.
class Description {
 public:
  explicit Description(ULONG pins) : m_Pins(pins) {
    m_Descriptor.PinSize = sizeof(PCPIN_DESCRIPTOR);
    m_Descriptor.PinCount = pins;
    m_Descriptor.Pins = m_Pins.data();
    m_Descriptor.NodeSize = sizeof(PCNODE_DESCRIPTOR);
  }
  PPCFILTER_DESCRIPTOR Get() { return &m_Descriptor; }

 private:
  std::vector<PCPIN_DESCRIPTOR> m_Pins;
  PCFILTER_DESCRIPTOR m_Descriptor{};
};

class CTestTopologyMiniport : public IMiniportTopology, public ISubdeviceInfo, public CUnknownBase {
 public:
  explicit CTestTopologyMiniport(PUNKNOWN outer) : CUnknownBase(outer), m_Description(g_control.topologyPins) {}
  IMP_FORWARD_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IMiniport) ||
        IsEqualGUIDAligned(iid, IID_IMiniportTopology))
      *object = static_cast<IMiniportTopology*>(this);
    else if (IsEqualGUIDAligned(iid, IID_ISubdeviceInfo))
      *object = static_cast<ISubdeviceInfo*>(this);
    else
      return (*object = nullptr), STATUS_INVALID_PARAMETER;
    static_cast<IUnknown*>(*object)->AddRef();
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    *description = m_Description.Get();
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                                   PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS STDMETHODCALLTYPE Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY) override { return STATUS_SUCCESS; }

  NTSTATUS STDMETHODCALLTYPE GetConnectionId(PULONG id) override {
    if (!id) return STATUS_INVALID_PARAMETER;
    *id = g_control.topologyPinOverride >= 0 ? ULONG(g_control.topologyPinOverride) : *id % g_control.topologyPins;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetName(PWSTR* name) override {
    if (!name) return STATUS_INVALID_PARAMETER;
    *name = m_Name;
    return STATUS_SUCCESS;
  }

 private:
  Description m_Description;
  WCHAR m_Name[11] = u"GlobalTopo";
};

class CTestWaveMiniport : public IMiniportWaveCyclic, public ISubdeviceInfo, public CUnknownBase {
 public:
  CTestWaveMiniport(PUNKNOWN outer, ULONG engineIndex)
      : CUnknownBase(outer), m_EngineIndex(engineIndex), m_Description(2) {}
  IMP_FORWARD_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IMiniport) ||
        IsEqualGUIDAligned(iid, IID_IMiniportWaveCyclic))
      *object = static_cast<IMiniportWaveCyclic*>(this);
    else if (IsEqualGUIDAligned(iid, IID_ISubdeviceInfo))
      *object = static_cast<ISubdeviceInfo*>(this);
    else
      return (*object = nullptr), STATUS_INVALID_PARAMETER;
    static_cast<IUnknown*>(*object)->AddRef();
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    *description = m_Description.Get();
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                                   PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS STDMETHODCALLTYPE Init(PUNKNOWN adapter, PRESOURCELIST, PPORTWAVECYCLIC) override {
    if (!NT_SUCCESS(g_control.waveInitStatus)) return g_control.waveInitStatus;
    PVOID object = nullptr;
    NTSTATUS status = adapter ? adapter->QueryInterface(IID_IAudioHal, &object) : STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status)) return status;
    auto* hal = static_cast<IAudioHal*>(object);
    IStreamEngine* engine = nullptr;
    status = hal->GetStreamEngine(m_EngineIndex, &engine);
    if (NT_SUCCESS(status)) {
      WCHAR engineName[STREAM_ENGINE_NAME_CHARS] = {};
      engine->GetName(engineName);
      RtlStringCchPrintfW(m_Name, ARRAYSIZE(m_Name), u"%sWave", engineName);
      sim::standin::StreamTerminalNodeId(engine, &m_StreamTerminal);
    }
    hal->Release();
    return status;
  }
  NTSTATUS STDMETHODCALLTYPE NewStream(PMINIPORTWAVECYCLICSTREAM*, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT,
                                       PDMACHANNEL*, PSERVICEGROUP*) override {
    return STATUS_NOT_IMPLEMENTED;
  }

  NTSTATUS STDMETHODCALLTYPE GetConnectionId(PULONG id) override {
    if (!id) return STATUS_INVALID_PARAMETER;
    *id = m_StreamTerminal;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetName(PWSTR* name) override {
    if (!name) return STATUS_INVALID_PARAMETER;
    *name = m_Name;
    return STATUS_SUCCESS;
  }

 private:
  ULONG m_EngineIndex;
  ULONG m_StreamTerminal = 0;
  Description m_Description;
  WCHAR m_Name[STREAM_ENGINE_NAME_CHARS + 4] = {};
};

template <typename T, typename... Args>
NTSTATUS CreateMiniport(PUNKNOWN* unknown, POOL_TYPE poolType, Args... args) {
  if (!unknown) return STATUS_INVALID_PARAMETER;
  *unknown = nullptr;
  auto* miniport = new (poolType, TEST_MINIPORT_TAG) T(nullptr, args...);
  if (!miniport) return STATUS_INSUFFICIENT_RESOURCES;
  miniport->NonDelegatingAddRef();
  *unknown = miniport->GetInnerUnknown();
  return STATUS_SUCCESS;
}

}  // namespace

TestMiniportControl& MiniportControl() { return g_control; }
void ResetMiniportControl() { g_control = TestMiniportControl{}; }

NTSTATUS CreateTestTopologyMiniport(PUNKNOWN* unknown, REFCLSID, PUNKNOWN, POOL_TYPE poolType) {
  return CreateMiniport<CTestTopologyMiniport>(unknown, poolType);
}

NTSTATUS CreateTestWaveMiniport(PUNKNOWN* unknown, REFCLSID, PUNKNOWN, POOL_TYPE poolType, ULONG engineIndex) {
  ++g_control.waveMiniportsCreated;
  return CreateMiniport<CTestWaveMiniport>(unknown, poolType, engineIndex);
}

}  // namespace testsupport
