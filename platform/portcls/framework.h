// The port-class stand-in seen from outside the driver: what the system
// audio engine and the kernel-streaming layer do with the filters a driver
// registers. Tests and the host use it to list subdevices, open filters,
// send property requests, subscribe to events and stream through pins;
// filters opened through IRP_MJ_CREATE on the adapter device land here too.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "portcls/portcls.h"

namespace platform::portcls {

// ---- Configuration and records ----------------------------------------------------------

// The version IPortClsVersion reports (default kVersionWinVista).
void SetPortClsVersion(DWORD version);
DWORD PortClsVersion();

struct ContentForward {
  ULONG contentId;
  PDEVICE_OBJECT deviceObject;
  PFILE_OBJECT fileObject;
  PVOID context;
};
// Every PcForwardContentToDeviceObject call since the last reset.
std::vector<ContentForward> ForwardedContent();
void ResetForTest();

// ---- Adapters and subdevices ---------------------------------------------------------------

bool IsAdapterDevice(PDEVICE_OBJECT deviceObject);

struct SubdeviceInfo {
  std::u16string name;
  IPort* port;  // no reference added
  const PCFILTER_DESCRIPTOR* descriptor;
  bool waveCyclic;
};
std::vector<SubdeviceInfo> Subdevices(PDEVICE_OBJECT adapterDevice);

struct PhysicalConnectionInfo {
  std::u16string fromSubdevice;
  ULONG fromPin;
  std::u16string toSubdevice;
  ULONG toPin;
};
std::vector<PhysicalConnectionInfo> PhysicalConnections(PDEVICE_OBJECT adapterDevice);

// The device power state the framework last passed to the adapter.
DEVICE_POWER_STATE AdapterPowerState(PDEVICE_OBJECT adapterDevice);
// Whether PcRegisterAdapterPowerManagement was called for this adapter.
bool HasAdapterPowerManagement(PDEVICE_OBJECT adapterDevice);

// ---- Filters ---------------------------------------------------------------------------------

class Pin;

// An open instance of a registered subdevice. Closing it disables its event
// subscriptions; pins must be closed first.
class Filter {
 public:
  static NTSTATUS Open(PDEVICE_OBJECT adapterDevice, const std::u16string& name, Filter** filter);
  static void Close(Filter* filter);

  const std::u16string& Name() const { return m_Name; }
  const PCFILTER_DESCRIPTOR& Descriptor() const { return *m_Descriptor; }
  IPort* Port() const { return m_Port; }

  // A property of the filter (node ULONG(-1)) or of one of its nodes. The
  // instance is what follows the KSPROPERTY / KSNODEPROPERTY in the request
  // (a pin id for pin properties, a channel for channel properties).
  // `valueSize` is the buffer size in and the byte count answered out.
  NTSTATUS Property(const GUID& set, ULONG id, ULONG verb, ULONG node, const void* instance, ULONG instanceSize,
                    void* value, ULONG* valueSize, PIRP irp = nullptr);

  // Event subscriptions: KSEVENTF_EVENT_OBJECT data (a KEVENT to signal).
  NTSTATUS EnableEvent(const GUID& set, ULONG id, ULONG node, PKSEVENTDATA eventData, PIRP irp = nullptr);
  NTSTATUS DisableEvent(PKSEVENTDATA eventData);
  // Deliveries made to a subscription so far (0 when not subscribed).
  ULONG EventDeliveries(PKSEVENTDATA eventData) const;

  // Format negotiation for a pin, as the audio engine does before opening
  // it: the miniport's DataRangeIntersection over the pin's ranges.
  NTSTATUS DataIntersection(ULONG pinId, const KSDATARANGE* clientRange, ULONG clientRangeSize, void* result,
                            ULONG* resultSize);

  NTSTATUS CreatePin(ULONG pinId, const KSDATAFORMAT* format, Pin** pin);

 private:
  friend class Pin;
  Filter() = default;
  ~Filter();
  PCEVENT_ENTRY* FindEntry(PKSEVENTDATA eventData) const;
  NTSTATUS CallEventHandler(PCEVENT_ENTRY* entry, ULONG verb, PIRP irp);

  PDEVICE_OBJECT m_Adapter = nullptr;
  std::u16string m_Name;
  IPort* m_Port = nullptr;  // referenced
  const PCFILTER_DESCRIPTOR* m_Descriptor = nullptr;
  std::vector<PCEVENT_ENTRY*> m_Events;
  std::vector<ULONG> m_PinInstances;  // open pins per pin factory
};

// An open streaming pin of a wave-cyclic filter: the stream the miniport
// made, its cyclic buffer and its service group.
class Pin {
 public:
  static void Close(Pin* pin);

  ULONG Id() const { return m_PinId; }
  bool IsCapture() const { return m_Capture; }
  KSSTATE State() const { return m_State; }
  // Walks the stream through the states in between, one step at a time.
  NTSTATUS SetState(KSSTATE state);
  NTSTATUS SetFormat(const KSDATAFORMAT* format);
  NTSTATUS GetPosition(ULONG* position);
  ULONG BufferSize();
  ULONG FramingSize() const { return m_FramingSize; }
  // Copies between the caller and the cyclic buffer at `offset`, through the
  // DMA channel as the port does (at DISPATCH_LEVEL); the copy wraps.
  void Write(ULONG offset, const void* data, ULONG length);
  void Read(ULONG offset, void* data, ULONG length);
  NTSTATUS SetContentId(ULONG contentId, const DRMRIGHTS& rights);

  // Service requests the stream raised through IPortWaveCyclic::Notify.
  ULONG Notifications() const { return m_Notifications; }
  // Runs on the service thread (DISPATCH_LEVEL) after each notification.
  void SetServiceCallback(std::function<void()> callback);

  IMiniportWaveCyclicStream* Stream() const { return m_Stream; }
  IDmaChannel* DmaChannel() const { return m_Dma; }

 private:
  friend class Filter;
  class Sink;
  Pin() = default;
  ~Pin();
  void Serviced();
  static Sink* MakeSink(Pin* pin);
  static IServiceSink* SinkInterface(Sink* sink);

  Filter* m_Filter = nullptr;
  ULONG m_PinId = 0;
  bool m_Capture = false;
  KSSTATE m_State = KSSTATE_STOP;
  ULONG m_FramingSize = 0;
  IMiniportWaveCyclicStream* m_Stream = nullptr;
  IDmaChannel* m_Dma = nullptr;
  IServiceGroup* m_ServiceGroup = nullptr;
  Sink* m_Sink = nullptr;
  volatile LONG m_Notifications = 0;
  std::function<void()> m_Callback;
};

}  // namespace platform::portcls
