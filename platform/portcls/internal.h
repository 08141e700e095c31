// The stand-in's own objects behind the port-class services: ports, the
// per-adapter record of subdevices and connections, and list helpers.
#pragma once

#include <string>
#include <vector>

#include "portcls/forwardunknown.h"
#include "portcls/framework.h"
#include "portcls/portcls.h"

namespace platform::portcls {

// Answered only by the stand-in's own ports, so that the framework can tell
// them from anything else a driver passes in.
inline constexpr GUID IID_IStandInPort =
    DEFINE_GUID_VALUE(0x5C1E7A10, 0x3B2D, 0x4E8F, 0x9A, 0x61, 0x2D, 0x7C, 0x44, 0x10, 0xB3, 0x9E);

class CPort;
struct AdapterContext;

// One port object serves both port classes: a topology port answers
// IPortTopology, a wave-cyclic port IPortWaveCyclic.
class CPort : public CUnknownBase,
              public IPortTopology,
              public IPortWaveCyclic,
              public IPortEvents,
              public IPortClsVersion,
              public IUnregisterSubdevice,
              public IUnregisterPhysicalConnection {
 public:
  CPort(bool waveCyclic);
  ~CPort() override;
  STANDIN_FORWARD_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // IPort
  NTSTATUS STDMETHODCALLTYPE Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                                  PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) override;
  NTSTATUS STDMETHODCALLTYPE GetDeviceProperty(DEVICE_REGISTRY_PROPERTY deviceProperty, ULONG bufferLength,
                                               PVOID propertyBuffer, PULONG resultLength) override;
  NTSTATUS STDMETHODCALLTYPE NewRegistryKey(IRegistryKey** outRegistryKey, PUNKNOWN outerUnknown,
                                            ULONG registryKeyType, ACCESS_MASK desiredAccess, PVOID objectAttributes,
                                            ULONG createOptions, PULONG disposition) override;
  // IPortWaveCyclic
  void STDMETHODCALLTYPE Notify(PSERVICEGROUP serviceGroup) override;
  NTSTATUS STDMETHODCALLTYPE NewSlaveDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown,
                                                PRESOURCELIST resourceList, ULONG dmaIndex, ULONG maximumLength,
                                                BOOLEAN demandMode, ULONG dmaSpeed) override;
  NTSTATUS STDMETHODCALLTYPE NewMasterDmaChannel(PDMACHANNEL* dmaChannel, PUNKNOWN outerUnknown,
                                                 PRESOURCELIST resourceList, ULONG maximumLength,
                                                 BOOLEAN dma32BitAddresses, BOOLEAN dma64BitAddresses,
                                                 ULONG dmaWidth, ULONG dmaSpeed) override;
  // IPortEvents
  void STDMETHODCALLTYPE AddEventToEventList(PKSEVENT_ENTRY eventEntry) override;
  void STDMETHODCALLTYPE GenerateEventList(GUID* set, ULONG eventId, BOOL pinEvent, ULONG pinId, BOOL nodeEvent,
                                           ULONG nodeId) override;
  // IPortClsVersion
  DWORD STDMETHODCALLTYPE GetVersion() override;
  // IUnregisterSubdevice
  NTSTATUS STDMETHODCALLTYPE UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN unknown) override;
  // IUnregisterPhysicalConnection
  NTSTATUS STDMETHODCALLTYPE UnregisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown,
                                                          ULONG fromPin, PUNKNOWN toUnknown, ULONG toPin) override;
  NTSTATUS STDMETHODCALLTYPE UnregisterPhysicalConnectionToExternal(PDEVICE_OBJECT deviceObject,
                                                                    PUNKNOWN fromUnknown, ULONG fromPin,
                                                                    PUNICODE_STRING toString, ULONG toPin) override;
  NTSTATUS STDMETHODCALLTYPE UnregisterPhysicalConnectionFromExternal(PDEVICE_OBJECT deviceObject,
                                                                      PUNICODE_STRING fromString, ULONG fromPin,
                                                                      PUNKNOWN toUnknown, ULONG toPin) override;

  bool IsWaveCyclic() const { return m_WaveCyclic; }
  bool IsInitialized() const { return m_Descriptor != nullptr; }
  const PCFILTER_DESCRIPTOR* Descriptor() const { return m_Descriptor; }
  IMiniport* Miniport() const { return m_Miniport; }
  IMiniportWaveCyclic* WaveMiniport() const { return m_WaveMiniport; }
  PDEVICE_OBJECT DeviceObject() const { return m_DeviceObject; }
  void PowerChangeNotify(POWER_STATE state);
  // Drops the port's references to its miniport when its subdevice goes:
  // the miniport holds the port, so one side must let go first.
  void ReleaseChildren();
  // Open filters keep the miniport until the last one closes, even after
  // the subdevice is gone.
  void FilterOpened() { ++m_OpenFilters; }
  void FilterClosed() {
    if (--m_OpenFilters == 0 && m_Unregistered) ReleaseChildren();
  }
  void Unregistered() {
    m_Unregistered = true;
    if (m_OpenFilters == 0) ReleaseChildren();
  }
  // The adapter whose device the port was bound to by Init: it lets go of
  // the port's miniport when the device goes, registered or not.
  void Unbind() { m_Adapter = nullptr; }
  // Unlinks an entry from the delivery list (disable or close).
  void RemoveEventEntry(PCEVENT_ENTRY* entry);
  IPort* AsPort() { return m_WaveCyclic ? static_cast<IPort*>(static_cast<IPortWaveCyclic*>(this))
                                        : static_cast<IPort*>(static_cast<IPortTopology*>(this)); }

 private:
  bool m_WaveCyclic;
  PDEVICE_OBJECT m_DeviceObject = nullptr;
  IMiniport* m_Miniport = nullptr;                  // referenced
  IMiniportTopology* m_TopologyMiniport = nullptr;  // referenced
  IMiniportWaveCyclic* m_WaveMiniport = nullptr;    // referenced
  IPowerNotify* m_PowerNotify = nullptr;            // referenced
  PPCFILTER_DESCRIPTOR m_Descriptor = nullptr;
  ULONG m_OpenFilters = 0;
  bool m_Unregistered = false;
  AdapterContext* m_Adapter = nullptr;  // while bound; the adapter lists the port
  KSPIN_LOCK m_EventLock;
  LIST_ENTRY m_EventList;  // PCEVENT_ENTRY.EventEntry.ListEntry, armed subscriptions
};

// Finds the stand-in port behind any interface of it; null for anything else.
CPort* PortFromUnknown(PUNKNOWN unknown);

// The framework's record of one adapter device, kept behind the first
// pointer of the framework's share of the device extension.
struct PhysicalConnection {
  CPort* from;
  ULONG fromPin;
  CPort* to;
  ULONG toPin;
};

struct Subdevice {
  std::u16string name;
  CPort* port;  // referenced
  std::vector<UNICODE_STRING> links;
};

struct AdapterContext {
  ULONG signature;
  PDEVICE_OBJECT fdo;
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT lower;
  PCPFNSTARTDEVICE startDevice;
  ULONG maxObjects;
  IAdapterPowerManagement* power;  // referenced
  DEVICE_POWER_STATE powerState;
  bool started;
  bool removed;
  std::vector<Subdevice> subdevices;
  std::vector<PhysicalConnection> connections;
  // Every live port bound to this device (no references). A port bound but
  // never registered (its registration failed, or the driver gave up before
  // it) still holds its miniport, which as a rule holds the port: only the
  // device's removal breaks that cycle.
  std::vector<CPort*> boundPorts;
};

AdapterContext* GetAdapterContext(PDEVICE_OBJECT deviceObject);
Subdevice* FindSubdevice(AdapterContext* adapter, const std::u16string& name);
void RemoveSubdevice(AdapterContext* adapter, size_t index);
void BindPort(AdapterContext* adapter, CPort* port);
void UnbindPort(AdapterContext* adapter, CPort* port);

// Intrusive doubly linked lists (LIST_ENTRY) of the framework's own.
inline void ListInit(LIST_ENTRY* head) { head->Flink = head->Blink = head; }
inline bool ListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline void ListInsertTail(LIST_ENTRY* head, LIST_ENTRY* entry) {
  entry->Flink = head;
  entry->Blink = head->Blink;
  head->Blink->Flink = entry;
  head->Blink = entry;
}
inline void ListRemove(LIST_ENTRY* entry) {
  entry->Blink->Flink = entry->Flink;
  entry->Flink->Blink = entry->Blink;
  entry->Flink = entry->Blink = entry;
}

inline std::u16string FromWide(PCWSTR s) {
  std::u16string out;
  if (s)
    while (*s) out.push_back(*s++);
  return out;
}

constexpr ULONG kPoolTag = MakeTag("PcSt");
constexpr ULONG kEventTag = MakeTag("PcEv");

}  // namespace platform::portcls
