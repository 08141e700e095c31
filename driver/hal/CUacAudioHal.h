// What the Audio Class hardware models (1.0 and 2.0) share beyond CAudioHal:
// the unit objects the AudioControl parser creates (one reference each, in
// creation order), the walks that connect those units' nodes and attach the
// nodes of a stream's path to its engine, the software nodes a bare path
// gets, the output-type wiring, and the re-registration of wave subdevices.
//
// Both models answer the same four interfaces through one non-delegating
// IUnknown, in object order IUsbAudioHal, IAudioHal, IAdapterPowerManagement.
// Each supplies its own status thread, start and stop, power handling,
// capability records and descriptor parsers.
//
// Threads: parsing runs at PASSIVE_LEVEL inside Init; afterwards the unit
// list is only read. Registration changes of wave subdevices (status thread,
// output-type changes, power) are serialised by the subdevice mutex, which
// is recursive for its holder.
#pragma once

#include "driver/common/CKernelMutex.h"
#include "driver/hal/CAudioHal.h"
#include "usb/usbdlib.h"

class CUsbStreamEngine;
class CUacUnit;

// The graph walks queue node ids in a ring of this size.
constexpr ULONG UAC1_WALK_RING = 20;
// Render engines consider at most this many output pins.
constexpr ULONG UAC1_MAX_OUTPUT_PINS = 10;
// Units with more sources than this are not connected.
constexpr ULONG UAC1_MAX_CONNECTED_SOURCES = 9;
// The AudioControl interface's SELECT_INTERFACE request and the copy of
// its answer.
constexpr ULONG USBD_INTERFACE_COPY_TAG = MakeTag("URB ");

class CUacAudioHal : public IUsbAudioHal, public CAudioHal {
 public:
  // `modelTag`: the pool tag of the model's unit list and of the software
  // nodes it adds.
  CUacAudioHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId, ULONG modelTag);
  ~CUacAudioHal() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IUsbAudioHal
  NTSTATUS STDMETHODCALLTYPE GetCallbackObject(PCALLBACK_OBJECT* callbackObject) override;
  NTSTATUS STDMETHODCALLTYPE GetRefusal(ModelRefusal* refusal) override;

  // ---- IAudioHal
  // The engine's direction and pin category, answered by GetChannelCaps;
  // an index past the last engine gives STATUS_INVALID_PARAMETER.
  NTSTATUS STDMETHODCALLTYPE GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) override;
  // The unit list first, then the base's lists, configuration and topology.
  NTSTATUS STDMETHODCALLTYPE Init(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                                  PDEVICE_OBJECT lowerDeviceObject, PDEVICE_OBJECT physicalDeviceObject) override;

  // ---- Units
  // The last unit with that id (no reference added).
  NTSTATUS FindUnitById(ULONG unitId, ITopoNode** unit);
  NTSTATUS AddUnit(ITopoNode* unit);
  void ReleaseUnits();
  ULONG GetUnitCount() const;
  // No reference is added.
  NTSTATUS GetUnit(ULONG index, ITopoNode** unit);

  // ---- Parsing: finds the first AudioControl (AudioStreaming) interface of
  // the configuration and hands it to the model's IUsbAudioHal parser.
  NTSTATUS UsbParseAudioControlInterface();
  NTSTATUS UsbParseAudioStreamInterface();
  using IUsbAudioHal::UsbParseAudioControlInterface;
  using IUsbAudioHal::UsbParseAudioStreamInterface;

  // ---- Graph operations of the parsers
  // Connects the first node of every unit with one to nine sources to its
  // sources' output nodes, in the descriptor's order. A source id that
  // names no unit (or a unit without nodes) becomes MISSING_SOURCE_ID in
  // its place, or refuses the device with STATUS_UNSUCCESSFUL where
  // UnknownSourceFailsParse says so. A link that does not fit the unit is
  // left out; one the pool could not hold fails.
  NTSTATUS ConnectUnits();
  virtual bool UnknownSourceFailsParse() const { return false; }
  // Attaches the nodes of the engine's path: for capture everything upstream
  // of the terminal node; for render the path of every output pin whose
  // upstream reaches the terminal node.
  NTSTATUS AttachEngineNodes(CUsbStreamEngine* engine, ULONG terminalNodeId);
  // Breadth-first over source ids from `startNodeId`; a node without
  // sources ends a branch, and a sum node's branch goes on only through the
  // inputs whose upstream reaches the engine's terminal node (so that a
  // render engine gets its streaming input pin through a mixer). A node
  // already attached and an id that names no node are not followed.
  NTSTATUS AttachPathNodes(CUsbStreamEngine* engine, ULONG startNodeId);
  // Software nodes where a path has no controls: a mute between two bare
  // terminals, and before Windows Vista a pass-through selector in front of
  // a capture engine's output pin.
  NTSTATUS FixUpStreamGraph(CUsbStreamEngine* engine);
  // `parse(interface, end, &stop)` on every AudioStreaming interface from
  // `first` on, each found after the place where the walk of the one before
  // it stopped; then the output-type wiring. The first failure is returned.
  template <typename Parse>
  NTSTATUS ParseStreamingInterfaces(PUSB_CONFIGURATION_DESCRIPTOR configuration, PUSB_INTERFACE_DESCRIPTOR first,
                                    ULONG bytesToEnd, Parse parse) {
    const auto* end = reinterpret_cast<const UCHAR*>(first) + bytesToEnd;
    const auto* current = reinterpret_cast<const UCHAR*>(first);
    while (current && current < end) {
      const UCHAR* stop = end;
      NTSTATUS status = parse(current, end, &stop);
      if (!NT_SUCCESS(status)) return status;
      if (stop >= end) break;
      const UCHAR* next = reinterpret_cast<const UCHAR*>(
          USBD_ParseConfigurationDescriptorEx(configuration, const_cast<UCHAR*>(stop), -1, -1, 1, 2, -1));
      // Every step moves forward, so the walk ends.
      current = next && next >= stop ? next : nullptr;
    }
    WireOutputTypes();
    return STATUS_SUCCESS;
  }
  // Every output-type node tells the single-source nodes upstream of it
  // which terminal type is in use and keeps them as listeners. A walk that
  // meets a node it has met ends there.
  void WireOutputTypes();

  USHORT GetVendorId() const { return m_VendorId; }
  USHORT GetProductId() const { return m_ProductId; }
  UCHAR GetControlInterfaceNumber() const { return m_ControlInterfaceNumber; }

 protected:
  IUsbDevice* QueryUsbDevice();
  // The first audio interface of `subclass` in the configuration and the
  // bytes from it to the configuration's end; *found null when none.
  NTSTATUS FindAudioInterface(LONG subclass, PUSB_CONFIGURATION_DESCRIPTOR* configuration,
                              PUSB_INTERFACE_DESCRIPTOR* found, PULONG bytesToEnd);
  // A unit whose output node is `nodeId` and whose type code is `unitType`.
  CUacUnit* FindUnitByOutputNode(ULONG unitType, ULONG nodeId);
  NTSTATUS InsertSoftwareMute(CUsbStreamEngine* engine);
  NTSTATUS CreateSoftwareMuteNode(CUsbStreamEngine* engine, ULONG sourceId, ULONG* muteNodeId);
  NTSTATUS CreatePassThroughSelector(CUsbStreamEngine* engine, ULONG sourceId, ULONG* selectorNodeId);
  // Searches upstream of `pinId` for `terminalNodeId`; *reached tells.
  NTSTATUS SearchUpstream(ULONG pinId, ULONG terminalNodeId, bool* reached);
  // The engine's pending output-type change, acknowledged.
  BOOLEAN TakeOutputTypeChange(IStreamEngine* engine);
  // "<prefix>Out<nn>" / "<prefix>In<nn>" for the engine's category: the
  // number the name counters give, unless another engine carries that name.
  NTSTATUS NameEngine(IStreamEngine* engine, PWSTR name, size_t chars);
  // Re-registers every engine's wave subdevice after a terminal changed.
  NTSTATUS UpdateAllSubdevices();

  // ---- The status threads' shared steps
  // Selects setting 0 of the AudioControl interface and keeps a copy
  // (nonpaged, "URB ") of the pipe information the stack returned, bounded
  // by what the request had room for; *pipes is how many pipes it really
  // holds. Success with *information null when the interface has no
  // endpoint.
  NTSTATUS SelectControlInterface(PUSBD_INTERFACE_INFORMATION* information, PULONG pipes);
  // A system thread running `routine` with the model as its context, at
  // `priority`; *thread gets a reference to it.
  NTSTATUS StartModelThread(PKSTART_ROUTINE routine, KPRIORITY priority, PKTHREAD* thread);
  // Tells a model thread to stop, waits until it has signalled `ended` and
  // left its routine, and drops the reference.
  void EndModelThread(PKEVENT stop, PKEVENT ended, PKTHREAD* thread);

  // Notes why the configuration refused the device (the first reason of a
  // configuration wins; a configuration starts by emptying the record).
  // `reason`'s "%u" stand for the values after the status, in order.
  void Refuse(const char* step, const char* reason, NTSTATUS status, ULONG first = 0, ULONG second = 0,
              ULONG third = 0);

  USHORT m_VendorId;
  USHORT m_ProductId;
  const ULONG m_ModelTag;
  CPointerList* m_Units = nullptr;  // ITopoNode* of IUacUnit, one reference each
  UCHAR m_ControlInterfaceNumber = 0;
  CKernelMutex m_SubdeviceMutex;
  ModelRefusal m_Refusal;
};
