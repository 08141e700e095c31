// The wave-cyclic miniport of one wave filter, one per stream engine. It
// describes a two-pin filter (the streaming pin and a bridge pin joined
// through one DAC or ADC node), offers its engine's formats as data ranges,
// answers format intersection and creates the one stream the filter allows
// at a time. Through ISubdeviceInfo it gives its engine the subdevice name
// and the id of the Stream terminal its bridge pin stands for.
//
// Init, NewStream, the intersection, the property handler and the
// destructor run at PASSIVE_LEVEL. The stream count changes by interlocked
// operations; the stream holds a plain pointer to its miniport, and the
// destructor waits until no stream is left before it tears anything down.
#pragma once

#include "driver/common/PrivateInterfaces.h"
#include "topology/CWaveCyclicStream.h"

constexpr ULONG WAVE_MINIPORT_TAG = MakeTag("WAVC");
// The subdevice name holds at most this many characters and a terminator.
constexpr ULONG WAVE_NAME_CHARS = 50;

// The wave miniport factory each stream engine installs its filter with.
NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                  ULONG engineIndex);

class CMiniportWaveCyclic : public IMiniportWaveCyclic,
                            public ISubdeviceInfo,
                            public IPowerNotify,
                            public IWaveCyclicStreamOwner,
                            public CUnknownBase {
 public:
  CMiniportWaveCyclic(PUNKNOWN outerUnknown, ULONG engineIndex);
  ~CMiniportWaveCyclic() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IMiniport / IMiniportWaveCyclic
  NTSTATUS STDMETHODCALLTYPE GetDescription(PPCFILTER_DESCRIPTOR* description) override;
  NTSTATUS STDMETHODCALLTYPE DataRangeIntersection(ULONG pinId, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                                   ULONG outputBufferLength, PVOID resultantFormat,
                                                   PULONG resultantFormatLength) override;
  NTSTATUS STDMETHODCALLTYPE Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVECYCLIC port) override;
  NTSTATUS STDMETHODCALLTYPE NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                       ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                                       PSERVICEGROUP* serviceGroup) override;

  // ---- ISubdeviceInfo
  NTSTATUS STDMETHODCALLTYPE GetConnectionId(PULONG id) override;
  NTSTATUS STDMETHODCALLTYPE GetName(PWSTR* name) override;

  // ---- IPowerNotify
  void STDMETHODCALLTYPE PowerChangeNotify(POWER_STATE powerState) override;

  // The filter's one property: the capability record of the engine.
  static NTSTATUS GetEngineCaps(PPCPROPERTY_REQUEST request);

  // ---- IWaveCyclicStreamOwner
  NTSTATUS ValidateFormat(PKSDATAFORMAT dataFormat, PWAVEFORMATEX* waveFormat) override;
  void StreamCreated() override;
  void StreamDeleted() override;
  void SetStreamBusy(ULONG busy) override { m_StreamBusy = busy; }
  IPortWaveCyclic* GetPort() const override { return m_Port; }

  DEVICE_POWER_STATE GetDevicePowerState() const { return static_cast<DEVICE_POWER_STATE>(m_DevicePowerState); }
  ULONG GetStreamCount() const { return static_cast<ULONG>(m_StreamCount); }

 private:
  NTSTATUS BuildDataRanges();
  NTSTATUS BuildFilterDescriptor();
  void FreeTables();
  bool IsSubFormatSupported(const GUID& subFormat);
  // Replaces the wave format of `result` with the first engine format of
  // the same channels, rate, valid bits and sub-format.
  NTSTATUS FindExactFormat(WAVEFORMATEXTENSIBLE* result);

  PPCFILTER_DESCRIPTOR m_FilterDescriptor = nullptr;
  PPCPIN_DESCRIPTOR m_PinDescriptors = nullptr;
  PPCNODE_DESCRIPTOR m_NodeDescriptor = nullptr;
  PPCCONNECTION_DESCRIPTOR m_Connections = nullptr;
  IPortWaveCyclic* m_Port = nullptr;  // referenced
  PWSTR m_Name = nullptr;             // WAVE_NAME_CHARS + 1, paged
  IAudioHal* m_AudioHal = nullptr;    // referenced
  IStreamEngine* m_Engine = nullptr;  // referenced
  ULONG m_EngineIndex;
  volatile ULONG m_StreamBusy = 0;
  ULONG m_DevicePowerState = PowerDeviceUnspecified;
  KEVENT m_NoStreamEvent;
  volatile LONG m_StreamCount = 0;
  PKSDATARANGE_AUDIO m_DataRanges = nullptr;
  PKSDATARANGE* m_DataRangePointers = nullptr;
  ULONG m_DataRangeCount = 0;
};
