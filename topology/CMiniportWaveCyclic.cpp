// The wave filter's miniport: its description built from the engine's
// formats, format intersection and checks, and the one stream at a time.
#include "topology/CMiniportWaveCyclic.h"

#include <algorithm>

#include "driver/common/PoolBuffer.h"
#include "topology/CWaveCyclicStream.h"
#include "topology/MiniportCommon.h"
#include "topology/PrivatePropertySets.h"
#include "topology/TopologyTable.h"

namespace {

constexpr WCHAR kNameSuffix[] = u"Wave";

// A sub-format some devices list that the wave path never streams.
inline constexpr GUID kUnstreamedSubFormat =
    DEFINE_GUID_VALUE(0x00006B3E, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);

constexpr ULONG kResultSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
static_assert(kResultSize == 104);
// The smallest data format that holds a wave format.
constexpr ULONG kSmallestWaveDataFormat = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);

inline constexpr PCPROPERTY_ITEM WaveFilterProperties[] = {
    {&PROPSETID_DevicePrivate, DEVICEPRIVATE_STREAM_CAPS, PCPROPERTY_ITEM_FLAG_GET, CMiniportWaveCyclic::GetEngineCaps},
};
inline constexpr PCAUTOMATION_TABLE WaveFilterAutomation = topology_table::Automation(WaveFilterProperties);

inline constexpr KSPIN_INTERFACE StreamingInterface = {
    {{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}}};

inline constexpr GUID RenderCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, EnumPrivateInterfaceClass};
inline constexpr GUID CaptureCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE, EnumPrivateInterfaceClass};

constexpr ULONG kStreamingPin = 0;
constexpr ULONG kBridgePin = 1;

template <typename T>
T* AllocateZeroed(SIZE_T count = 1) {
  return miniport_common::AllocateZeroed<T>(WAVE_MINIPORT_TAG, count);
}
using miniport_common::FreeAndClear;

void Widen(KSDATARANGE_AUDIO& range, const WAVEFORMATEXTENSIBLE& format) {
  const ULONG bits = format.Samples.wValidBitsPerSample;
  const ULONG rate = format.Format.nSamplesPerSec;
  range.MaximumSampleFrequency = std::max(range.MaximumSampleFrequency, rate);
  range.MinimumSampleFrequency = std::min(range.MinimumSampleFrequency, rate);
  range.MaximumBitsPerSample = std::max(range.MaximumBitsPerSample, bits);
  range.MinimumBitsPerSample = std::min(range.MinimumBitsPerSample, bits);
  range.MaximumChannels = std::max<ULONG>(range.MaximumChannels, format.Format.nChannels);
}

}  // namespace

// ---- Factory and object --------------------------------------------------------------------

NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* unknown, REFCLSID, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                  ULONG engineIndex) {
  PAGED_CODE();
  if (!unknown) return STATUS_INVALID_PARAMETER;
  *unknown = nullptr;
  auto* miniport = new (poolType, WAVE_MINIPORT_TAG) CMiniportWaveCyclic(outerUnknown, engineIndex);
  if (!miniport) return STATUS_INSUFFICIENT_RESOURCES;
  miniport->NonDelegatingAddRef();
  *unknown = miniport->GetInnerUnknown();
  return STATUS_SUCCESS;
}

CMiniportWaveCyclic::CMiniportWaveCyclic(PUNKNOWN outerUnknown, ULONG engineIndex)
    : CUnknownBase(outerUnknown), m_EngineIndex(engineIndex) {
  KeInitializeEvent(&m_NoStreamEvent, NotificationEvent, TRUE);
}

CMiniportWaveCyclic::~CMiniportWaveCyclic() {
  PAGED_CODE();
  // A failed Init left nothing behind.
  if (!m_AudioHal) return;
  // Two wave filters of one device go one after the other, each only once
  // its last stream is gone.
  PRKMUTEX mutex = nullptr;
  if (PDEVICE_OBJECT device = m_AudioHal->GetDeviceObject(); device && device->DeviceExtension)
    mutex = &GetDeviceExtension(device)->Mutex;
  if (mutex) KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&m_NoStreamEvent, Executive, KernelMode, FALSE, nullptr);
  if (m_Port) m_Port->Release();
  m_Port = nullptr;
  FreeTables();
  if (m_Engine) m_Engine->Release();
  m_Engine = nullptr;
  m_AudioHal->Release();
  m_AudioHal = nullptr;
  FreeAndClear(m_Name);
  if (mutex) KeReleaseMutex(mutex, FALSE);
}

NTSTATUS CMiniportWaveCyclic::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IMiniport) ||
      IsEqualGUIDAligned(iid, IID_IMiniportWaveCyclic)) {
    *object = static_cast<IMiniportWaveCyclic*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_ISubdeviceInfo)) {
    *object = static_cast<ISubdeviceInfo*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IPowerNotify)) {
    *object = static_cast<IPowerNotify*>(this);
  } else {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::GetDescription(PPCFILTER_DESCRIPTOR* description) {
  if (!description) return STATUS_INVALID_PARAMETER;
  *description = m_FilterDescriptor;
  return m_FilterDescriptor ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

void CMiniportWaveCyclic::PowerChangeNotify(POWER_STATE powerState) {
  m_DevicePowerState = miniport_common::NextDevicePowerState(m_DevicePowerState, powerState);
}

// ---- ISubdeviceInfo ------------------------------------------------------------------------

NTSTATUS CMiniportWaveCyclic::GetConnectionId(PULONG id) {
  PAGED_CODE();
  if (!id) return STATUS_INVALID_PARAMETER;
  if (!m_Engine) return STATUS_SUCCESS;
  // The bridge pin stands for the engine's Stream terminal: an input
  // terminal for render, an output terminal for capture.
  const ULONG wanted = m_Engine->IsCapture() ? NODE_TYPE_OUTPUT_PIN : NODE_TYPE_INPUT_PIN;
  const ULONG count = m_Engine->GetAttachedNodeCount();
  for (ULONG i = 0; i < count; ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(m_Engine->GetAttachedNode(i, &node)) || !node || node->GetType() != wanted) continue;
    PVOID object = nullptr;
    if (!NT_SUCCESS(node->QueryInterface(IID_ITerminal, &object))) continue;
    auto* terminal = static_cast<ITerminal*>(object);
    PinCategory category = PIN_CATEGORY_COUNT;
    if (NT_SUCCESS(terminal->GetCategory(&category)) && category == PIN_CATEGORY_STREAM) *id = node->GetId();
    terminal->Release();
  }
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::GetName(PWSTR* name) {
  PAGED_CODE();
  if (!name) return STATUS_INVALID_PARAMETER;
  *name = m_Name;
  return STATUS_SUCCESS;
}

// ---- Init ----------------------------------------------------------------------------------

NTSTATUS CMiniportWaveCyclic::Init(PUNKNOWN unknownAdapter, PRESOURCELIST, PPORTWAVECYCLIC port) {
  PAGED_CODE();
  if (!port) return STATUS_INVALID_PARAMETER;
  // The description is built once.
  if (m_Port || m_AudioHal) return STATUS_INVALID_DEVICE_STATE;
  m_Port = port;
  m_Port->AddRef();
  m_DevicePowerState = PowerDeviceD0;

  NTSTATUS status = STATUS_INVALID_PARAMETER;
  PVOID object = nullptr;
  if (unknownAdapter) status = unknownAdapter->QueryInterface(IID_IAudioHal, &object);
  if (NT_SUCCESS(status)) {
    m_AudioHal = static_cast<IAudioHal*>(object);
    status = m_AudioHal->GetStreamEngine(m_EngineIndex, &m_Engine);
    if (NT_SUCCESS(status) && !m_Engine) status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status))
      m_Engine->AddRef();
    else
      m_Engine = nullptr;
  }
  if (NT_SUCCESS(status)) status = BuildDataRanges();
  if (NT_SUCCESS(status)) status = BuildFilterDescriptor();
  CPoolBuffer engineName;
  if (NT_SUCCESS(status)) {
    m_Name = AllocateZeroed<WCHAR>(WAVE_NAME_CHARS + 1);
    engineName.Allocate(PagedPool, (WAVE_NAME_CHARS + 1) * sizeof(WCHAR), WAVE_MINIPORT_TAG);
    status = m_Name && engineName ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  }
  static_assert(WAVE_NAME_CHARS + 1 >= STREAM_ENGINE_NAME_CHARS);
  if (NT_SUCCESS(status)) {
    RtlZeroMemory(engineName.Get(), engineName.Bytes());
    status = m_Engine->GetName(engineName.As<WCHAR>());
  }
  if (NT_SUCCESS(status)) {
    // A name cut to the buffer is still the name.
    NTSTATUS format = RtlStringCchPrintfW(m_Name, WAVE_NAME_CHARS + 1, u"%s%s", engineName.As<WCHAR>(), kNameSuffix);
    if (!NT_SUCCESS(format) && format != STATUS_BUFFER_OVERFLOW) status = format;
  }
  engineName.Free();

  if (!NT_SUCCESS(status)) {
    DbgPrint("%s failed 0x%08X\n", "CMiniportWaveCyclic::Init", status);
    FreeTables();
    if (m_Engine) m_Engine->Release();
    m_Engine = nullptr;
    if (m_AudioHal) m_AudioHal->Release();
    m_AudioHal = nullptr;
    m_Port->Release();
    m_Port = nullptr;
    FreeAndClear(m_Name);
  }
  return status;
}

NTSTATUS CMiniportWaveCyclic::BuildDataRanges() {
  PAGED_CODE();
  const ULONG formats = m_Engine->GetFormatCount();
  if (formats == 0) return STATUS_INSUFFICIENT_RESOURCES;
  m_DataRanges = AllocateZeroed<KSDATARANGE_AUDIO>(formats);
  if (!m_DataRanges) return STATUS_INSUFFICIENT_RESOURCES;

  ULONG count = 0;
  for (ULONG i = 0; i < formats; ++i) {
    WAVEFORMATEXTENSIBLE format{};
    NTSTATUS status = m_Engine->GetFormat(i, &format);
    if (!NT_SUCCESS(status)) return status;
    if (IsEqualGUIDAligned(format.SubFormat, kUnstreamedSubFormat)) continue;
    ULONG r = 0;
    while (r < count && !IsEqualGUIDAligned(m_DataRanges[r].DataRange.SubFormat, format.SubFormat)) ++r;
    if (r < count) {
      Widen(m_DataRanges[r], format);
      continue;
    }
    KSDATARANGE_AUDIO& range = m_DataRanges[count++];
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = format.SubFormat;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = format.Format.nChannels;
    range.MinimumBitsPerSample = range.MaximumBitsPerSample = format.Samples.wValidBitsPerSample;
    range.MinimumSampleFrequency = range.MaximumSampleFrequency = format.Format.nSamplesPerSec;
  }

  // PCM always comes first: clients that look at the first range only
  // find the formats every system plays.
  ULONG pcm = 0;
  while (pcm < count && !IsEqualGUIDAligned(m_DataRanges[pcm].DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) ++pcm;
  if (pcm == count) return STATUS_INSUFFICIENT_RESOURCES;
  if (pcm != 0) std::swap(m_DataRanges[0], m_DataRanges[pcm]);

  m_DataRangePointers = AllocateZeroed<PKSDATARANGE>(count);
  if (!m_DataRangePointers) return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG r = 0; r < count; ++r) m_DataRangePointers[r] = &m_DataRanges[r].DataRange;
  m_DataRangeCount = count;
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::BuildFilterDescriptor() {
  PAGED_CODE();
  m_FilterDescriptor = AllocateZeroed<PCFILTER_DESCRIPTOR>();
  m_PinDescriptors = AllocateZeroed<PCPIN_DESCRIPTOR>(2);
  m_NodeDescriptor = AllocateZeroed<PCNODE_DESCRIPTOR>();
  m_Connections = AllocateZeroed<PCCONNECTION_DESCRIPTOR>(2);
  if (!m_FilterDescriptor || !m_PinDescriptors || !m_NodeDescriptor || !m_Connections)
    return STATUS_INSUFFICIENT_RESOURCES;
  const bool capture = m_Engine->IsCapture() != 0;

  PCPIN_DESCRIPTOR& streaming = m_PinDescriptors[kStreamingPin];
  streaming.MaxGlobalInstanceCount = 1;
  streaming.MaxFilterInstanceCount = 1;
  streaming.MinFilterInstanceCount = 1;
  streaming.KsPinDescriptor.InterfacesCount = 1;
  streaming.KsPinDescriptor.Interfaces = &StreamingInterface;
  streaming.KsPinDescriptor.DataRangesCount = m_DataRangeCount;
  streaming.KsPinDescriptor.DataRanges = m_DataRangePointers;
  streaming.KsPinDescriptor.DataFlow = capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
  streaming.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
  streaming.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

  PCPIN_DESCRIPTOR& bridge = m_PinDescriptors[kBridgePin];
  bridge.KsPinDescriptor.DataRangesCount = 1;
  bridge.KsPinDescriptor.DataRanges = topology_table::PinDataRanges;
  bridge.KsPinDescriptor.DataFlow = capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
  bridge.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
  bridge.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

  m_NodeDescriptor->Type = capture ? &KSNODETYPE_ADC : &KSNODETYPE_DAC;

  if (capture) {
    m_Connections[0] = {PCFILTER_NODE, kBridgePin, 0, 1};
    m_Connections[1] = {0, 0, PCFILTER_NODE, kStreamingPin};
  } else {
    m_Connections[0] = {PCFILTER_NODE, kStreamingPin, 0, 1};
    m_Connections[1] = {0, 0, PCFILTER_NODE, kBridgePin};
  }

  PCFILTER_DESCRIPTOR& d = *m_FilterDescriptor;
  d.AutomationTable = &WaveFilterAutomation;
  d.PinSize = sizeof(PCPIN_DESCRIPTOR);
  d.PinCount = 2;
  d.Pins = m_PinDescriptors;
  d.NodeSize = sizeof(PCNODE_DESCRIPTOR);
  d.NodeCount = 1;
  d.Nodes = m_NodeDescriptor;
  d.ConnectionCount = 2;
  d.Connections = m_Connections;
  d.CategoryCount = 3;
  d.Categories = capture ? CaptureCategories : RenderCategories;
  return STATUS_SUCCESS;
}

void CMiniportWaveCyclic::FreeTables() {
  FreeAndClear(m_FilterDescriptor);
  FreeAndClear(m_PinDescriptors);
  FreeAndClear(m_NodeDescriptor);
  FreeAndClear(m_Connections);
  FreeAndClear(m_DataRanges);
  FreeAndClear(m_DataRangePointers);
  m_DataRangeCount = 0;
}

// ---- Formats -------------------------------------------------------------------------------

bool CMiniportWaveCyclic::IsSubFormatSupported(const GUID& subFormat) {
  if (!m_Engine) return false;
  const ULONG count = m_Engine->GetFormatCount();
  for (ULONG i = 0; i < count; ++i) {
    WAVEFORMATEXTENSIBLE format{};
    if (NT_SUCCESS(m_Engine->GetFormat(i, &format)) && IsEqualGUIDAligned(format.SubFormat, subFormat)) return true;
  }
  return false;
}

NTSTATUS CMiniportWaveCyclic::FindExactFormat(WAVEFORMATEXTENSIBLE* result) {
  const ULONG count = m_Engine->GetFormatCount();
  for (ULONG i = 0; i < count; ++i) {
    WAVEFORMATEXTENSIBLE format{};
    if (!NT_SUCCESS(m_Engine->GetFormat(i, &format))) continue;
    if (format.Format.nChannels == result->Format.nChannels &&
        format.Format.nSamplesPerSec == result->Format.nSamplesPerSec &&
        format.Samples.wValidBitsPerSample == result->Samples.wValidBitsPerSample &&
        IsEqualGUIDAligned(format.SubFormat, result->SubFormat)) {
      *result = format;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_NO_MATCH;
}

NTSTATUS CMiniportWaveCyclic::DataRangeIntersection(ULONG, PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                                                    ULONG outputBufferLength, PVOID resultantFormat,
                                                    PULONG resultantFormatLength) {
  PAGED_CODE();
  if (!dataRange || !matchingDataRange || !resultantFormatLength || dataRange->FormatSize < sizeof(KSDATARANGE))
    return STATUS_INVALID_PARAMETER;
  if (!m_Engine) return STATUS_NO_MATCH;
  // Only an audio range of the pin's own has the limits read below (the
  // bridge pin's range is a bare one).
  if (matchingDataRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) return STATUS_NO_MATCH;
  if (!IsEqualGUIDAligned(dataRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
      !IsSubFormatSupported(dataRange->SubFormat))
    return STATUS_NO_MATCH;
  if (IsEqualGUIDAligned(dataRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) return STATUS_NOT_SUPPORTED;

  const bool wildcard = IsEqualGUIDAligned(dataRange->Specifier, KSDATAFORMAT_SPECIFIER_WILDCARD);
  if (outputBufferLength == 0) {
    *resultantFormatLength = kResultSize;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (outputBufferLength < kResultSize) return STATUS_BUFFER_TOO_SMALL;

  const auto* own = reinterpret_cast<const KSDATARANGE_AUDIO*>(matchingDataRange);
  auto* result = static_cast<KSDATAFORMAT_WAVEFORMATEXTENSIBLE*>(resultantFormat);
  WAVEFORMATEXTENSIBLE wave{};
  ULONG sampleSize = 0;
  if (wildcard) {
    if (!result) return STATUS_INVALID_PARAMETER;
    result->DataFormat = *matchingDataRange;
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = static_cast<WORD>(own->MaximumChannels);
    wave.Format.nSamplesPerSec = own->MaximumSampleFrequency;
    wave.Format.wBitsPerSample = static_cast<WORD>(own->MaximumBitsPerSample);
    wave.Samples.wValidBitsPerSample = wave.Format.wBitsPerSample;
    wave.Format.nBlockAlign = static_cast<WORD>(wave.Format.nChannels * wave.Format.wBitsPerSample / 8);
    wave.Format.nAvgBytesPerSec = wave.Format.nBlockAlign * wave.Format.nSamplesPerSec;
    wave.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  } else {
    if (dataRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) return STATUS_INVALID_PARAMETER;
    const auto* client = reinterpret_cast<const KSDATARANGE_AUDIO*>(dataRange);
    if (client->MinimumSampleFrequency > own->MaximumSampleFrequency ||
        client->MaximumSampleFrequency < own->MinimumSampleFrequency ||
        client->MinimumBitsPerSample > own->MaximumBitsPerSample ||
        client->MaximumBitsPerSample < own->MinimumBitsPerSample)
      return STATUS_NO_MATCH;
    if (!result) return STATUS_INVALID_PARAMETER;
    // The client's range may lie in the result buffer's place: take what is
    // needed before the header is written.
    const KSDATARANGE_AUDIO request = *client;
    result->DataFormat = request.DataRange;
    result->DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = static_cast<WORD>(std::min(request.MaximumChannels, own->MaximumChannels));
    wave.Format.nSamplesPerSec = std::min(request.MaximumSampleFrequency, own->MaximumSampleFrequency);
    wave.Samples.wValidBitsPerSample =
        static_cast<WORD>(std::min(request.MaximumBitsPerSample, own->MaximumBitsPerSample));
    wave.SubFormat = request.DataRange.SubFormat;
  }
  NTSTATUS status = FindExactFormat(&wave);
  if (!NT_SUCCESS(status)) return status;
  if (!wildcard) sampleSize = wave.Format.nBlockAlign;
  result->WaveFormatExt = wave;
  result->DataFormat.FormatSize = kResultSize;
  result->DataFormat.SampleSize = sampleSize;
  *resultantFormatLength = kResultSize;
  return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::ValidateFormat(PKSDATAFORMAT dataFormat, PWAVEFORMATEX* waveFormat) {
  PAGED_CODE();
  if (!dataFormat || dataFormat->FormatSize < kSmallestWaveDataFormat ||
      !IsEqualGUIDAligned(dataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO))
    return STATUS_INVALID_PARAMETER;
  // The sizes a wave data format comes in: the wave format follows the
  // header, or a DirectSound buffer description before it; an attribute
  // list may follow.
  const bool attributes = (dataFormat->Flags & KSDATAFORMAT_ATTRIBUTES) != 0;
  ULONG offset = 0;
  switch (dataFormat->FormatSize) {
    case 82:
      offset = attributes ? 0 : 64;
      break;
    case 88:
      offset = attributes ? 64 : 0;
      break;
    case 90:
      offset = attributes ? 0 : 72;
      break;
    case 96:
      offset = attributes ? 72 : 0;
      break;
    case 104:
      offset = 64;
      break;
    default:
      break;
  }
  if (offset == 0) return STATUS_INVALID_PARAMETER;
  auto* wave = reinterpret_cast<PWAVEFORMATEX>(reinterpret_cast<PUCHAR>(dataFormat) + offset);
  // A wave format that claims more bytes than the data format holds would
  // be read past its end.
  if (offset + sizeof(WAVEFORMATEX) + wave->cbSize > dataFormat->FormatSize) return STATUS_INVALID_PARAMETER;
  if (!m_Engine) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = m_Engine->FindFormat(wave);
  if (!NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;
  if (waveFormat) *waveFormat = wave;
  return status;
}

// ---- Streams -------------------------------------------------------------------------------

void CMiniportWaveCyclic::StreamCreated() {
  if (InterlockedIncrement(&m_StreamCount) == 1) KeClearEvent(&m_NoStreamEvent);
}

void CMiniportWaveCyclic::StreamDeleted() {
  if (InterlockedDecrement(&m_StreamCount) == 0) KeSetEvent(&m_NoStreamEvent, 0, FALSE);
}

NTSTATUS CMiniportWaveCyclic::NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE, ULONG pin,
                                        BOOLEAN capture, PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                                        PSERVICEGROUP* serviceGroup) {
  PAGED_CODE();
  if (!stream || !dmaChannel || !serviceGroup) return STATUS_INVALID_PARAMETER;
  *stream = nullptr;
  *dmaChannel = nullptr;
  *serviceGroup = nullptr;
  if (m_StreamBusy) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = ValidateFormat(dataFormat, nullptr);
  if (!NT_SUCCESS(status)) return status;

  // The stream is touched at DISPATCH_LEVEL whatever pool the framework asks for.
  auto* created = new (NonPagedPool, WAVE_MINIPORT_TAG) CWaveCyclicStream(outerUnknown);
  if (!created) return STATUS_INSUFFICIENT_RESOURCES;
  created->NonDelegatingAddRef();
  status = created->Init(this, pin, capture, dataFormat, m_Engine, serviceGroup);
  if (NT_SUCCESS(status)) {
    PVOID object = nullptr;
    created->NonDelegatingQueryInterface(IID_IMiniportWaveCyclicStream, &object);
    *stream = static_cast<PMINIPORTWAVECYCLICSTREAM>(object);
    object = nullptr;
    created->NonDelegatingQueryInterface(IID_IDmaChannel, &object);
    *dmaChannel = static_cast<PDMACHANNEL>(object);
  }
  created->NonDelegatingRelease();
  return status;
}

// ---- Property ------------------------------------------------------------------------------

NTSTATUS CMiniportWaveCyclic::GetEngineCaps(PPCPROPERTY_REQUEST request) {
  PAGED_CODE();
  if (!request || !request->MajorTarget || !request->PropertyItem || !request->PropertyItem->Set ||
      !IsEqualGUIDAligned(*request->PropertyItem->Set, PROPSETID_DevicePrivate) ||
      request->PropertyItem->Id != DEVICEPRIVATE_STREAM_CAPS || request->ValueSize < sizeof(DeviceCapsRecord) ||
      !request->Value)
    return STATUS_INVALID_DEVICE_REQUEST;
  auto* miniport = static_cast<CMiniportWaveCyclic*>(static_cast<IMiniportWaveCyclic*>(request->MajorTarget));
  if (!miniport->m_AudioHal) return STATUS_INVALID_DEVICE_REQUEST;
  return miniport->m_AudioHal->GetStreamEngineCaps(miniport->m_EngineIndex,
                                                   static_cast<DeviceCapsRecord*>(request->Value));
}
