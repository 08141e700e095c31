#include "sim/standin/StandinMiniports.h"

#include <algorithm>
#include <mutex>

#include "kernel/nt.h"
#include "portcls/forwardunknown.h"

namespace sim::standin {
namespace {

constexpr ULONG kTag = MakeTag("SIst");

// ---- Basic-support answers --------------------------------------------------------------------

// Graded by the buffer the caller offers: the access flags, the bare
// description, or the description with its stepped range for every channel.
NTSTATUS SteppedBasicSupport(PPCPROPERTY_REQUEST request, ULONG typeId, LONG minimum, LONG maximum, ULONG step) {
  const ULONG full = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
                     kChannels * sizeof(KSPROPERTY_STEPPING_LONG);
  const ULONG access = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
  if (request->ValueSize < sizeof(ULONG) || !request->Value) {
    request->ValueSize = full;
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (request->ValueSize < sizeof(KSPROPERTY_DESCRIPTION)) {
    *static_cast<PULONG>(request->Value) = access;
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  auto* d = static_cast<PKSPROPERTY_DESCRIPTION>(request->Value);
  *d = {};
  d->AccessFlags = access;
  d->DescriptionSize = full;
  d->PropTypeSet.Set = KSPROPTYPESETID_General;
  d->PropTypeSet.Id = typeId;
  d->MembersListCount = 1;
  if (request->ValueSize < full) {
    request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
    return STATUS_SUCCESS;
  }
  auto* header = reinterpret_cast<PKSPROPERTY_MEMBERSHEADER>(d + 1);
  header->MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES;
  header->MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
  header->MembersCount = kChannels;
  header->Flags = KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL;
  auto* ranges = reinterpret_cast<PKSPROPERTY_STEPPING_LONG>(header + 1);
  for (ULONG c = 0; c < kChannels; ++c) {
    ranges[c] = {};
    ranges[c].SteppingDelta = step;
    ranges[c].Bounds.SignedMinimum = minimum;
    ranges[c].Bounds.SignedMaximum = maximum;
  }
  request->ValueSize = full;
  return STATUS_SUCCESS;
}

// ---- Topology miniport ---------------------------------------------------------------------------

class CStandinTopology : public CUnknownBase, public IMiniportTopology, public ISubdeviceInfo {
 public:
  explicit CStandinTopology(PUNKNOWN outer) : CUnknownBase(outer) {}
  ~CStandinTopology() override {
    if (m_PortEvents) m_PortEvents->Release();
    if (m_Port) m_Port->Release();
  }
  STANDIN_FORWARD_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IMiniport) ||
        IsEqualGUIDAligned(iid, IID_IMiniportTopology))
      *object = static_cast<IMiniportTopology*>(this);
    else if (IsEqualGUIDAligned(iid, IID_ISubdeviceInfo))
      *object = static_cast<ISubdeviceInfo*>(this);
    else
      return STATUS_INVALID_PARAMETER;
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }

  NTSTATUS STDMETHODCALLTYPE GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    if (!description) return STATUS_INVALID_PARAMETER;
    *description = const_cast<PPCFILTER_DESCRIPTOR>(&kFilter);
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS STDMETHODCALLTYPE Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY port) override {
    if (!port) return STATUS_INVALID_PARAMETER;
    m_Port = port;
    m_Port->AddRef();
    PVOID events = nullptr;
    NTSTATUS status = port->QueryInterface(IID_IPortEvents, &events);
    if (NT_SUCCESS(status)) m_PortEvents = static_cast<PPORTEVENTS>(events);
    return status;
  }

  NTSTATUS STDMETHODCALLTYPE GetConnectionId(PULONG id) override {
    // Terminal 1 is the stream input, terminal 3 the headphone output.
    if (!id) return STATUS_INVALID_PARAMETER;
    if (*id == 1) {
      *id = kStreamPin;
      return STATUS_SUCCESS;
    }
    if (*id == 3) {
      *id = kHeadphonePin;
      return STATUS_SUCCESS;
    }
    *id = 0;
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS STDMETHODCALLTYPE GetName(PWSTR* name) override {
    if (!name) return STATUS_INVALID_PARAMETER;
    *name = m_Name;
    return STATUS_SUCCESS;
  }

  NTSTATUS DeviceVolumeChange(ULONG channel, LONG level) {
    if (channel >= kChannels) return STATUS_INVALID_PARAMETER;
    {
      std::lock_guard<std::mutex> lock(m_Lock);
      m_Volume[channel] = level;
    }
    GUID set = KSEVENTSETID_AudioControlChange;
    if (m_PortEvents) m_PortEvents->GenerateEventList(&set, KSEVENT_CONTROL_CHANGE, FALSE, ULONG(-1), TRUE, kVolumeNode);
    return STATUS_SUCCESS;
  }

  static CStandinTopology* From(PPCPROPERTY_REQUEST r) {
    return static_cast<CStandinTopology*>(static_cast<IMiniportTopology*>(static_cast<IMiniport*>(r->MajorTarget)));
  }

  static NTSTATUS VolumeHandler(PPCPROPERTY_REQUEST r) {
    if (r->Verb & KSPROPERTY_TYPE_BASICSUPPORT)
      return SteppedBasicSupport(r, VT_I4, kVolumeMinimum, kVolumeMaximum, kVolumeStep);
    if (r->InstanceSize < sizeof(LONG) || r->ValueSize < sizeof(LONG) || !r->Value) return STATUS_INVALID_PARAMETER;
    ULONG channel = *static_cast<PULONG>(r->Instance);
    if (channel >= kChannels) return STATUS_INVALID_PARAMETER;
    CStandinTopology* self = From(r);
    std::lock_guard<std::mutex> lock(self->m_Lock);
    if (r->Verb & KSPROPERTY_TYPE_GET) {
      *static_cast<PLONG>(r->Value) = self->m_Volume[channel];
    } else {
      LONG level = std::clamp(*static_cast<PLONG>(r->Value), kVolumeMinimum, kVolumeMaximum);
      self->m_Volume[channel] = level - (level - kVolumeMinimum) % static_cast<LONG>(kVolumeStep);
    }
    r->ValueSize = sizeof(LONG);
    return STATUS_SUCCESS;
  }

  static NTSTATUS MuteHandler(PPCPROPERTY_REQUEST r) {
    if (r->Verb & KSPROPERTY_TYPE_BASICSUPPORT) return SteppedBasicSupport(r, VT_BOOL, 0, 1, 1);
    if (r->InstanceSize < sizeof(ULONG) || r->ValueSize < sizeof(ULONG) || !r->Value) return STATUS_INVALID_PARAMETER;
    ULONG channel = *static_cast<PULONG>(r->Instance);
    if (channel >= kChannels) return STATUS_INVALID_PARAMETER;
    CStandinTopology* self = From(r);
    std::lock_guard<std::mutex> lock(self->m_Lock);
    if (r->Verb & KSPROPERTY_TYPE_GET)
      *static_cast<PULONG>(r->Value) = self->m_Mute[channel] ? 1 : 0;
    else
      self->m_Mute[channel] = *static_cast<PULONG>(r->Value) != 0;
    r->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
  }

  static NTSTATUS JackHandler(PPCPROPERTY_REQUEST r) {
    if (r->InstanceSize < sizeof(ULONG) || *static_cast<PULONG>(r->Instance) != kHeadphonePin)
      return STATUS_INVALID_DEVICE_REQUEST;
    const ULONG needed = sizeof(KSMULTIPLE_ITEM) + sizeof(KSJACK_DESCRIPTION);
    if (r->ValueSize == 0) {
      r->ValueSize = needed;
      return STATUS_BUFFER_OVERFLOW;
    }
    if (r->ValueSize < needed || !r->Value) return STATUS_BUFFER_TOO_SMALL;
    auto* item = static_cast<PKSMULTIPLE_ITEM>(r->Value);
    item->Size = needed;
    item->Count = 1;
    auto* jack = reinterpret_cast<PKSJACK_DESCRIPTION>(item + 1);
    *jack = {};
    jack->ChannelMapping = KSAUDIO_SPEAKER_STEREO;
    jack->Color = 0x0000FF00;
    jack->ConnectionType = 1;  // 3.5 mm jack
    jack->GeoLocation = 2;     // front
    jack->IsConnected = TRUE;
    r->ValueSize = needed;
    return STATUS_SUCCESS;
  }

  static NTSTATUS EventHandler(PPCEVENT_REQUEST r) {
    CStandinTopology* self =
        static_cast<CStandinTopology*>(static_cast<IMiniportTopology*>(static_cast<IMiniport*>(r->MajorTarget)));
    if (r->Node >= kFilter.NodeCount) return STATUS_INVALID_PARAMETER;
    switch (r->Verb) {
      case PCEVENT_VERB_ADD:
        if (!r->EventEntry || !self->m_PortEvents) return STATUS_UNSUCCESSFUL;
        self->m_PortEvents->AddEventToEventList(&r->EventEntry->EventEntry);
        return STATUS_SUCCESS;
      case PCEVENT_VERB_REMOVE:
      case PCEVENT_VERB_SUPPORT:
        return STATUS_SUCCESS;
      default:
        return STATUS_INVALID_PARAMETER;
    }
  }

  static const PCFILTER_DESCRIPTOR kFilter;

 private:
  PPORTTOPOLOGY m_Port = nullptr;
  PPORTEVENTS m_PortEvents = nullptr;
  WCHAR m_Name[11] = u"GlobalTopo";
  std::mutex m_Lock;
  LONG m_Volume[kChannels] = {-12 * 65536, -12 * 65536};
  bool m_Mute[kChannels] = {false, false};
};

KSDATARANGE kAnalogRange = {{{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
                              KSDATAFORMAT_SPECIFIER_NONE}}};
PKSDATARANGE kAnalogRanges[] = {&kAnalogRange};

const PCEVENT_ITEM kControlChangeEvent[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE,
     PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT, CStandinTopology::EventHandler}};
const PCPROPERTY_ITEM kVolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     CStandinTopology::VolumeHandler}};
const PCPROPERTY_ITEM kMuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     CStandinTopology::MuteHandler}};
const PCPROPERTY_ITEM kTopologyFilterProperties[] = {
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, PCPROPERTY_ITEM_FLAG_GET, CStandinTopology::JackHandler}};

const PCAUTOMATION_TABLE kVolumeAutomation = {sizeof(PCPROPERTY_ITEM), 1, kVolumeProperties, sizeof(PCMETHOD_ITEM),
                                              0, nullptr, sizeof(PCEVENT_ITEM), 1, kControlChangeEvent, 0};
const PCAUTOMATION_TABLE kMuteAutomation = {sizeof(PCPROPERTY_ITEM), 1, kMuteProperties, sizeof(PCMETHOD_ITEM),
                                            0, nullptr, sizeof(PCEVENT_ITEM), 1, kControlChangeEvent, 0};
const PCAUTOMATION_TABLE kTopologyFilterAutomation = {
    sizeof(PCPROPERTY_ITEM), 1, kTopologyFilterProperties, sizeof(PCMETHOD_ITEM), 0, nullptr, sizeof(PCEVENT_ITEM),
    0, nullptr, 0};

PCPIN_DESCRIPTOR MakePin(KSPIN_DATAFLOW flow, const GUID* category, KSPIN_COMMUNICATION comm, ULONG rangeCount,
                         const PKSDATARANGE* ranges, ULONG maxInstances, const KSPIN_INTERFACE* interfaces) {
  PCPIN_DESCRIPTOR pin{};
  pin.MaxGlobalInstanceCount = maxInstances;
  pin.MaxFilterInstanceCount = maxInstances;
  pin.MinFilterInstanceCount = maxInstances ? 1 : 0;
  pin.KsPinDescriptor.InterfacesCount = interfaces ? 1 : 0;
  pin.KsPinDescriptor.Interfaces = interfaces;
  pin.KsPinDescriptor.DataRangesCount = rangeCount;
  pin.KsPinDescriptor.DataRanges = ranges;
  pin.KsPinDescriptor.DataFlow = flow;
  pin.KsPinDescriptor.Communication = comm;
  pin.KsPinDescriptor.Category = category;
  return pin;
}

const PCPIN_DESCRIPTOR kTopologyPins[] = {
    MakePin(KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO, KSPIN_COMMUNICATION_NONE, 1, kAnalogRanges, 0, nullptr),
    MakePin(KSPIN_DATAFLOW_OUT, &KSNODETYPE_HEADPHONES, KSPIN_COMMUNICATION_NONE, 1, kAnalogRanges, 0, nullptr),
};
const PCNODE_DESCRIPTOR kTopologyNodes[] = {
    {0, &kVolumeAutomation, &KSNODETYPE_VOLUME, nullptr},
    {0, &kMuteAutomation, &KSNODETYPE_MUTE, nullptr},
};
const PCCONNECTION_DESCRIPTOR kTopologyConnections[] = {
    {PCFILTER_NODE, kStreamPin, kVolumeNode, 1},
    {kVolumeNode, 0, kMuteNode, 1},
    {kMuteNode, 0, PCFILTER_NODE, kHeadphonePin},
};
const GUID kTopologyCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY};

}  // namespace

const PCFILTER_DESCRIPTOR CStandinTopology::kFilter = {
    0,          &kTopologyFilterAutomation, sizeof(PCPIN_DESCRIPTOR), 2, kTopologyPins, sizeof(PCNODE_DESCRIPTOR), 2,
    kTopologyNodes, 3, kTopologyConnections, 2, kTopologyCategories};

namespace {

// ---- Wave miniport and stream --------------------------------------------------------------------

constexpr ULONG kRateMin = 44100;
constexpr ULONG kRateMax = 48000;
constexpr ULONG kBits = 16;

KSDATARANGE_AUDIO kPcmRange = {{{{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO,
                                  KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX}}},
                               kChannels,
                               kBits,
                               kBits,
                               kRateMin,
                               kRateMax};
PKSDATARANGE kPcmRanges[] = {&kPcmRange.DataRange};
const KSPIN_INTERFACE kStandardStreaming = {{{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}}};

const PCPIN_DESCRIPTOR kWavePins[] = {
    MakePin(KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO, KSPIN_COMMUNICATION_SINK, 1, kPcmRanges, 1, &kStandardStreaming),
    MakePin(KSPIN_DATAFLOW_OUT, &KSCATEGORY_AUDIO, KSPIN_COMMUNICATION_NONE, 1, kAnalogRanges, 0, nullptr),
};
const PCNODE_DESCRIPTOR kWaveNodes[] = {{0, nullptr, &KSNODETYPE_DAC, nullptr}};
const PCCONNECTION_DESCRIPTOR kWaveConnections[] = {{PCFILTER_NODE, 0, 0, 1}, {0, 0, PCFILTER_NODE, 1}};
const GUID kWaveCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
const PCFILTER_DESCRIPTOR kWaveFilter = {0, nullptr, sizeof(PCPIN_DESCRIPTOR), 2, kWavePins,
                                         sizeof(PCNODE_DESCRIPTOR), 1, kWaveNodes, 2, kWaveConnections,
                                         2, kWaveCategories};

bool WaveFormatOf(const KSDATAFORMAT* format, WAVEFORMATEX* wfx) {
  if (!format || format->FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) return false;
  if (!(format->MajorFormat == KSDATAFORMAT_TYPE_AUDIO) || !(format->Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
    return false;
  std::memcpy(wfx, reinterpret_cast<const UCHAR*>(format) + sizeof(KSDATAFORMAT), sizeof(*wfx));
  if (wfx->wFormatTag != WAVE_FORMAT_PCM && wfx->wFormatTag != WAVE_FORMAT_EXTENSIBLE) return false;
  return wfx->nChannels >= 1 && wfx->nChannels <= kChannels && wfx->wBitsPerSample == kBits &&
         wfx->nSamplesPerSec >= kRateMin && wfx->nSamplesPerSec <= kRateMax &&
         wfx->nBlockAlign == wfx->nChannels * kBits / 8 && wfx->nAvgBytesPerSec == wfx->nBlockAlign * wfx->nSamplesPerSec;
}

}  // namespace

bool StreamTerminalNodeId(IStreamEngine* engine, ULONG* nodeId) {
  if (!engine || !nodeId) return false;
  bool found = false;
  ULONG direction = engine->IsCapture();
  for (ULONG i = 0; i < engine->GetAttachedNodeCount(); ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(engine->GetAttachedNode(i, &node)) || node->GetType() != direction) continue;
    PVOID terminal = nullptr;
    if (!NT_SUCCESS(node->QueryInterface(IID_ITerminal, &terminal))) continue;
    PinCategory category = 1;
    static_cast<ITerminal*>(terminal)->GetCategory(&category);
    static_cast<ITerminal*>(terminal)->Release();
    if (category == PIN_CATEGORY_STREAM) {
      *nodeId = node->GetId();
      found = true;
    }
  }
  return found;
}

namespace {

class CStandinWave;

class CStandinStream : public CUnknownBase,
                       public IMiniportWaveCyclicStream,
                       public IDmaChannel,
                       public IDrmAudioStream {
 public:
  CStandinStream(CStandinWave* miniport, PPORTWAVECYCLIC port, bool capture, const WAVEFORMATEX& format);
  ~CStandinStream() override;
  STANDIN_FORWARD_UNKNOWN

  NTSTATUS Init(PSERVICEGROUP* serviceGroup) {
    NTSTATUS status = PcNewServiceGroup(&m_ServiceGroup, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = AllocateBuffer(m_Format.nAvgBytesPerSec / 20, nullptr);
    if (!NT_SUCCESS(status)) return status;
    m_ServiceGroup->AddRef();
    *serviceGroup = m_ServiceGroup;
    return STATUS_SUCCESS;
  }

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IMiniportWaveCyclicStream))
      *object = static_cast<IMiniportWaveCyclicStream*>(this);
    else if (IsEqualGUIDAligned(iid, IID_IDmaChannel))
      *object = static_cast<IDmaChannel*>(this);
    else if (IsEqualGUIDAligned(iid, IID_IDrmAudioStream))
      *object = static_cast<IDrmAudioStream*>(this);
    else
      return STATUS_INVALID_PARAMETER;
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }

  // IMiniportWaveCyclicStream
  NTSTATUS STDMETHODCALLTYPE SetFormat(PKSDATAFORMAT dataFormat) override {
    WAVEFORMATEX wfx;
    if (m_State == KSSTATE_RUN) return STATUS_UNSUCCESSFUL;
    if (!WaveFormatOf(dataFormat, &wfx)) return STATUS_INVALID_PARAMETER;
    if (wfx.nAvgBytesPerSec != m_Format.nAvgBytesPerSec) {
      NTSTATUS status = AllocateBuffer(wfx.nAvgBytesPerSec / 20, nullptr);
      if (!NT_SUCCESS(status)) return status;
    }
    m_Format = wfx;
    return STATUS_SUCCESS;
  }
  ULONG STDMETHODCALLTYPE SetNotificationFreq(ULONG, PULONG framingSize) override {
    if (framingSize) *framingSize = m_Format.nBlockAlign * (m_Format.nSamplesPerSec / 100);
    return 10;
  }
  NTSTATUS STDMETHODCALLTYPE SetState(KSSTATE state) override {
    PAGED_CODE();
    if (state == m_State) return STATUS_SUCCESS;
    if (state == KSSTATE_RUN) {
      if (!m_Buffer) return STATUS_UNSUCCESSFUL;
      LARGE_INTEGER due;
      due.QuadPart = -10 * 10000;
      KeSetTimerEx(&m_Timer, due, 10, &m_Dpc);
    } else if (m_State == KSSTATE_RUN) {
      KeCancelTimer(&m_Timer);
      KeRemoveQueueDpc(&m_Dpc);
      KeFlushQueuedDpcs();
    }
    if (state == KSSTATE_STOP || state == KSSTATE_ACQUIRE) {
      KIRQL irql;
      KeAcquireSpinLock(&m_Lock, &irql);
      m_Position = 0;
      KeReleaseSpinLock(&m_Lock, irql);
    }
    m_State = state;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetPosition(PULONG position) override {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    *position = m_Position;
    KeReleaseSpinLock(&m_Lock, irql);
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE NormalizePhysicalPosition(PLONGLONG physicalPosition) override {
    *physicalPosition = 10000000LL * *physicalPosition / m_Format.nAvgBytesPerSec;
    return STATUS_SUCCESS;
  }
  void STDMETHODCALLTYPE Silence(PVOID buffer, ULONG byteCount) override { std::memset(buffer, 0, byteCount); }

  // IDmaChannel
  NTSTATUS STDMETHODCALLTYPE AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS) override {
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolCacheAligned, bufferSize, kTag));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(buffer, 0, bufferSize);
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    PUCHAR old = m_Buffer;
    m_Buffer = buffer;
    m_Size = bufferSize;
    m_Position = 0;
    KeReleaseSpinLock(&m_Lock, irql);
    if (old) ExFreePool(old);
    return STATUS_SUCCESS;
  }
  void STDMETHODCALLTYPE FreeBuffer() override {
    if (m_Buffer) ExFreePool(m_Buffer);
    m_Buffer = nullptr;
    m_Size = 0;
  }
  ULONG STDMETHODCALLTYPE TransferCount() override { return m_Size; }
  ULONG STDMETHODCALLTYPE MaximumBufferSize() override { return m_Size; }
  ULONG STDMETHODCALLTYPE AllocatedBufferSize() override { return m_Size; }
  ULONG STDMETHODCALLTYPE BufferSize() override { return m_Size; }
  void STDMETHODCALLTYPE SetBufferSize(ULONG) override {}
  PVOID STDMETHODCALLTYPE SystemAddress() override { return m_Buffer; }
  PHYSICAL_ADDRESS STDMETHODCALLTYPE PhysicalAddress() override { return PHYSICAL_ADDRESS{}; }
  PADAPTER_OBJECT STDMETHODCALLTYPE GetAdapterObject() override { return nullptr; }
  void STDMETHODCALLTYPE CopyTo(PVOID destination, PVOID source, ULONG count) override {
    if (Inside(destination, count)) std::memcpy(destination, source, count);
  }
  void STDMETHODCALLTYPE CopyFrom(PVOID destination, PVOID source, ULONG count) override {
    if (Inside(source, count)) std::memcpy(destination, source, count);
  }

  // IDrmAudioStream
  NTSTATUS STDMETHODCALLTYPE SetContentId(ULONG contentId, PCDRMRIGHTS) override {
    m_ContentId = contentId;
    return STATUS_SUCCESS;
  }

 private:
  bool Inside(PVOID p, ULONG count) const {
    auto* at = static_cast<PUCHAR>(p);
    return m_Buffer && at >= m_Buffer && at + count <= m_Buffer + m_Size;
  }
  static void Tick(PKDPC, PVOID context, PVOID, PVOID);

  CStandinWave* m_Miniport;
  PPORTWAVECYCLIC m_Port;
  PSERVICEGROUP m_ServiceGroup = nullptr;
  bool m_Capture;
  WAVEFORMATEX m_Format;
  KSSTATE m_State = KSSTATE_STOP;
  KSPIN_LOCK m_Lock;
  KTIMER m_Timer;
  KDPC m_Dpc;
  PUCHAR m_Buffer = nullptr;
  ULONG m_Size = 0;
  ULONG m_Position = 0;
  ULONG m_ContentId = 0;
  ULONG m_Phase = 0;
};

class CStandinWave : public CUnknownBase, public IMiniportWaveCyclic, public ISubdeviceInfo {
 public:
  CStandinWave(PUNKNOWN outer, ULONG engineIndex) : CUnknownBase(outer), m_EngineIndex(engineIndex) {}
  CStandinWave(PUNKNOWN outer, const std::u16string& engineName) : CUnknownBase(outer) {
    SetName(engineName.substr(0, STREAM_ENGINE_NAME_CHARS - 1).c_str());
  }
  ~CStandinWave() override {
    if (m_Port) m_Port->Release();
  }
  STANDIN_FORWARD_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IMiniport) ||
        IsEqualGUIDAligned(iid, IID_IMiniportWaveCyclic))
      *object = static_cast<IMiniportWaveCyclic*>(this);
    else if (IsEqualGUIDAligned(iid, IID_ISubdeviceInfo))
      *object = static_cast<ISubdeviceInfo*>(this);
    else
      return STATUS_INVALID_PARAMETER;
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }

  NTSTATUS STDMETHODCALLTYPE GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    if (!description) return STATUS_INVALID_PARAMETER;
    *description = const_cast<PPCFILTER_DESCRIPTOR>(&kWaveFilter);
    return STATUS_SUCCESS;
  }

  NTSTATUS STDMETHODCALLTYPE DataRangeIntersection(ULONG pinId, PKSDATARANGE client, PKSDATARANGE, ULONG outLength,
                                                   PVOID result, PULONG resultLength) override {
    if (pinId != 0 || !client || !resultLength) return STATUS_NO_MATCH;
    auto wild = [](const GUID& g, const GUID& want) { return g == GUID_NULL || g == want; };
    if (!wild(client->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) || !wild(client->SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
      return STATUS_NO_MATCH;
    ULONG channels = kChannels, rate = kRateMax;
    if (client->FormatSize >= sizeof(KSDATARANGE_AUDIO) && client->Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) {
      auto* audio = reinterpret_cast<PKSDATARANGE_AUDIO>(client);
      if (audio->MinimumSampleFrequency > kRateMax || audio->MaximumSampleFrequency < kRateMin ||
          audio->MinimumBitsPerSample > kBits || audio->MaximumBitsPerSample < kBits || audio->MaximumChannels == 0)
        return STATUS_NO_MATCH;
      channels = std::min(channels, audio->MaximumChannels);
      rate = std::min(rate, audio->MaximumSampleFrequency);
    }
    const ULONG size = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
    *resultLength = size;
    if (outLength == 0) return STATUS_BUFFER_OVERFLOW;
    if (outLength < size || !result) return STATUS_BUFFER_TOO_SMALL;
    auto* out = static_cast<KSDATAFORMAT_WAVEFORMATEXTENSIBLE*>(result);
    out->DataFormat = kPcmRange.DataRange;
    out->DataFormat.FormatSize = size;
    WAVEFORMATEXTENSIBLE& w = out->WaveFormatExt;
    w = {};
    w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.Format.nChannels = static_cast<WORD>(channels);
    w.Format.nSamplesPerSec = rate;
    w.Format.wBitsPerSample = kBits;
    w.Format.nBlockAlign = static_cast<WORD>(channels * kBits / 8);
    w.Format.nAvgBytesPerSec = rate * w.Format.nBlockAlign;
    w.Format.cbSize = 22;
    w.Samples.wValidBitsPerSample = kBits;
    w.dwChannelMask = channels == 1 ? KSAUDIO_SPEAKER_MONO : KSAUDIO_SPEAKER_STEREO;
    w.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    out->DataFormat.SampleSize = w.Format.nBlockAlign;
    return STATUS_SUCCESS;
  }

  NTSTATUS STDMETHODCALLTYPE Init(PUNKNOWN adapter, PRESOURCELIST, PPORTWAVECYCLIC port) override {
    if (!port) return STATUS_INVALID_PARAMETER;
    if (!m_Name[0]) {
      NTSTATUS status = NameAfterEngine(adapter);
      if (!NT_SUCCESS(status)) return status;
    }
    m_Port = port;
    m_Port->AddRef();
    return STATUS_SUCCESS;
  }

  NTSTATUS STDMETHODCALLTYPE NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outer, POOL_TYPE, ULONG pin,
                                       BOOLEAN capture, PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                                       PSERVICEGROUP* serviceGroup) override {
    WAVEFORMATEX wfx;
    if (pin != 0 || capture || !stream || !dmaChannel || !serviceGroup) return STATUS_INVALID_PARAMETER;
    if (m_StreamBusy) return STATUS_INSUFFICIENT_RESOURCES;
    if (!WaveFormatOf(dataFormat, &wfx)) return STATUS_INVALID_PARAMETER;
    auto* s = new (NonPagedPool, kTag) CStandinStream(this, m_Port, capture, wfx);
    if (!s) return STATUS_INSUFFICIENT_RESOURCES;
    (void)outer;
    s->NonDelegatingAddRef();
    NTSTATUS status = s->Init(serviceGroup);
    if (NT_SUCCESS(status)) {
      *stream = static_cast<IMiniportWaveCyclicStream*>(s);
      s->NonDelegatingAddRef();
      *dmaChannel = static_cast<IDmaChannel*>(s);
      s->NonDelegatingAddRef();
    }
    s->NonDelegatingRelease();
    return status;
  }

  NTSTATUS STDMETHODCALLTYPE GetConnectionId(PULONG id) override {
    if (!id) return STATUS_INVALID_PARAMETER;
    *id = m_ConnectionId;
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetName(PWSTR* name) override {
    if (!name) return STATUS_INVALID_PARAMETER;
    *name = m_Name;
    return STATUS_SUCCESS;
  }

  void Rendered(const UCHAR* data, ULONG length) {
    std::lock_guard<std::mutex> lock(m_RenderedLock);
    m_Rendered.insert(m_Rendered.end(), data, data + length);
  }
  std::vector<UCHAR> RenderedBytes() {
    std::lock_guard<std::mutex> lock(m_RenderedLock);
    return m_Rendered;
  }

  bool m_StreamBusy = false;

 private:
  void SetName(PCWSTR engineName) { RtlStringCchPrintfW(m_Name, ARRAYSIZE(m_Name), u"%sWave", engineName); }

  NTSTATUS NameAfterEngine(PUNKNOWN adapter) {
    PVOID object = nullptr;
    NTSTATUS status = adapter ? adapter->QueryInterface(IID_IAudioHal, &object) : STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status)) return status;
    auto* hal = static_cast<IAudioHal*>(object);
    IStreamEngine* engine = nullptr;
    status = hal->GetStreamEngine(m_EngineIndex, &engine);
    if (NT_SUCCESS(status)) {
      WCHAR engineName[STREAM_ENGINE_NAME_CHARS] = {};
      status = engine->GetName(engineName);
      if (NT_SUCCESS(status) && !engineName[0]) status = STATUS_UNSUCCESSFUL;
      if (NT_SUCCESS(status)) SetName(engineName);
      // Behind the driver's own topology filter the wave filter connects to
      // its engine's streaming terminal.
      ULONG terminal = 0;
      if (NT_SUCCESS(status) && m_BesideDriverTopology && StreamTerminalNodeId(engine, &terminal))
        m_ConnectionId = terminal;
    }
    hal->Release();
    return status;
  }

  PPORTWAVECYCLIC m_Port = nullptr;
  ULONG m_ConnectionId = 1;  // the stream input terminal of the stand-in topology

 public:
  bool m_BesideDriverTopology = false;
  ULONG m_EngineIndex = 0;
  WCHAR m_Name[STREAM_ENGINE_NAME_CHARS + 4] = {};
  std::mutex m_RenderedLock;
  std::vector<UCHAR> m_Rendered;
};

CStandinStream::CStandinStream(CStandinWave* miniport, PPORTWAVECYCLIC port, bool capture, const WAVEFORMATEX& format)
    : CUnknownBase(nullptr), m_Miniport(miniport), m_Port(port), m_Capture(capture), m_Format(format) {
  KeInitializeSpinLock(&m_Lock);
  KeInitializeTimerEx(&m_Timer, NotificationTimer);
  KeInitializeDpc(&m_Dpc, &CStandinStream::Tick, this);
  m_Miniport->NonDelegatingAddRef();
  m_Miniport->m_StreamBusy = true;
}

CStandinStream::~CStandinStream() {
  KeCancelTimer(&m_Timer);
  KeRemoveQueueDpc(&m_Dpc);
  KeFlushQueuedDpcs();
  FreeBuffer();
  if (m_ServiceGroup) m_ServiceGroup->Release();
  m_Miniport->m_StreamBusy = false;
  m_Miniport->NonDelegatingRelease();
}

// Every 10 ms the "device" takes (render) or delivers (capture) 10 ms of
// audio at the play position and tells the port.
void CStandinStream::Tick(PKDPC, PVOID context, PVOID, PVOID) {
  auto* self = static_cast<CStandinStream*>(context);
  KeAcquireSpinLockAtDpcLevel(&self->m_Lock);
  if (self->m_Buffer && self->m_Size) {
    ULONG bytes = self->m_Format.nBlockAlign * (self->m_Format.nSamplesPerSec / 100);
    for (ULONG done = 0; done < bytes;) {
      ULONG chunk = std::min(bytes - done, self->m_Size - self->m_Position);
      if (self->m_Capture) {
        for (ULONG i = 0; i < chunk; ++i) self->m_Buffer[self->m_Position + i] = static_cast<UCHAR>(self->m_Phase++);
      } else {
        self->m_Miniport->Rendered(self->m_Buffer + self->m_Position, chunk);
      }
      self->m_Position = (self->m_Position + chunk) % self->m_Size;
      done += chunk;
    }
    self->m_Port->Notify(self->m_ServiceGroup);
  }
  KeReleaseSpinLockFromDpcLevel(&self->m_Lock);
}

}  // namespace

NTSTATUS CreateStandinTopology(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outer, POOL_TYPE poolType) {
  if (!unknown) return STATUS_INVALID_PARAMETER;
  auto* m = new (poolType, kTag) CStandinTopology(outer);
  if (!m) return STATUS_INSUFFICIENT_RESOURCES;
  m->NonDelegatingAddRef();
  *unknown = static_cast<IMiniportTopology*>(m);
  return STATUS_SUCCESS;
}

namespace {
template <typename Identity>
NTSTATUS NewStandinWave(PUNKNOWN* unknown, PUNKNOWN outer, POOL_TYPE poolType, const Identity& identity) {
  if (!unknown) return STATUS_INVALID_PARAMETER;
  *unknown = nullptr;
  auto* m = new (poolType, kTag) CStandinWave(outer, identity);
  if (!m) return STATUS_INSUFFICIENT_RESOURCES;
  m->NonDelegatingAddRef();
  *unknown = static_cast<IMiniportWaveCyclic*>(m);
  return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS CreateStandinWave(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outer, POOL_TYPE poolType, ULONG engineIndex) {
  return NewStandinWave(unknown, outer, poolType, engineIndex);
}

NTSTATUS CreateStandinWaveBesideDriverTopology(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outer, POOL_TYPE poolType,
                                                ULONG engineIndex) {
  NTSTATUS status = NewStandinWave(unknown, outer, poolType, engineIndex);
  if (NT_SUCCESS(status)) static_cast<CStandinWave*>(static_cast<IMiniportWaveCyclic*>(*unknown))->m_BesideDriverTopology = true;
  return status;
}

NTSTATUS CreateNamedStandinWave(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outer, POOL_TYPE poolType,
                                const std::u16string& engineName) {
  return NewStandinWave(unknown, outer, poolType, engineName);
}

NTSTATUS StandinDeviceVolumeChange(PUNKNOWN topologyMiniport, ULONG channel, LONG level) {
  PVOID object = nullptr;
  if (!topologyMiniport || !NT_SUCCESS(topologyMiniport->QueryInterface(IID_IMiniportTopology, &object)))
    return STATUS_INVALID_PARAMETER;
  auto* m = static_cast<CStandinTopology*>(static_cast<IMiniportTopology*>(object));
  NTSTATUS status = m->DeviceVolumeChange(channel, level);
  m->Release();
  return status;
}

std::vector<UCHAR> StandinRenderedBytes(PUNKNOWN waveMiniport) {
  PVOID object = nullptr;
  if (!waveMiniport || !NT_SUCCESS(waveMiniport->QueryInterface(IID_IMiniportWaveCyclic, &object))) return {};
  auto* m = static_cast<CStandinWave*>(static_cast<IMiniportWaveCyclic*>(object));
  std::vector<UCHAR> bytes = m->RenderedBytes();
  m->Release();
  return bytes;
}

}  // namespace sim::standin
