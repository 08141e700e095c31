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

class CUsbStreamEngine;
class CUacUnit;

// The graph walks queue node ids in a ring of this size.
constexpr ULONG UAC1_WALK_RING = 20;
// Render engines consider at most this many output pins.
constexpr ULONG UAC1_MAX_OUTPUT_PINS = 10;
// Units with more sources than this are not connected.
constexpr ULONG UAC1_MAX_CONNECTED_SOURCES = 9;

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

  // ---- IAudioHal
  // The engine's direction and pin category, answered by GetChannelCaps.
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
  // Every unit with one to nine sources gets, on its first node, the output
  // nodes of the units its descriptor names. A source id that names no unit
  // (or one without nodes) is left out, so that every source id in the
  // graph is a node id.
  void ConnectUnits();
  // Attaches the nodes of the engine's path: for capture everything upstream
  // of the terminal node; for render the path of every output pin whose
  // upstream reaches the terminal node.
  NTSTATUS AttachEngineNodes(CUsbStreamEngine* engine, ULONG terminalNodeId);
  // Breadth-first over source ids from `startNodeId`; a sum node and a node
  // without sources end a branch, a node already attached is not followed.
  NTSTATUS AttachPathNodes(CUsbStreamEngine* engine, ULONG startNodeId);
  // Software nodes where a path has no controls: a mute between two bare
  // terminals, and before Windows Vista a pass-through selector in front of
  // a capture engine's output pin.
  NTSTATUS FixUpStreamGraph(CUsbStreamEngine* engine);
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

  USHORT m_VendorId;
  USHORT m_ProductId;
  const ULONG m_ModelTag;
  CPointerList* m_Units = nullptr;  // ITopoNode* of IUacUnit, one reference each
  UCHAR m_ControlInterfaceNumber = 0;
  CKernelMutex m_SubdeviceMutex;
};
