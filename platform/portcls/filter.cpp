// Open filters and pins: the property, event and streaming paths the
// kernel-streaming layer runs on behalf of the audio engine.
#include <algorithm>

#include "portcls/internal.h"

namespace platform::portcls {
namespace {

CPort* PortOf(IPort* port) { return PortFromUnknown(port); }

const PCAUTOMATION_TABLE* TableFor(const PCFILTER_DESCRIPTOR& d, ULONG node) {
  if (node == ULONG(-1)) return d.AutomationTable;
  if (node >= d.NodeCount || !d.Nodes) return nullptr;
  auto* n = reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d.Nodes) +
                                                         size_t(node) * (d.NodeSize ? d.NodeSize : sizeof(PCNODE_DESCRIPTOR)));
  return n->AutomationTable;
}

const PCPIN_DESCRIPTOR* PinAt(const PCFILTER_DESCRIPTOR& d, ULONG pin) {
  if (pin >= d.PinCount || !d.Pins) return nullptr;
  return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d.Pins) +
                                                   size_t(pin) * (d.PinSize ? d.PinSize : sizeof(PCPIN_DESCRIPTOR)));
}

template <typename Item>
const Item* FindItem(const Item* items, ULONG count, ULONG itemSize, const GUID& set, ULONG id) {
  if (!items) return nullptr;
  if (!itemSize) itemSize = sizeof(Item);
  for (ULONG i = 0; i < count; ++i) {
    auto* item = reinterpret_cast<const Item*>(reinterpret_cast<const UCHAR*>(items) + size_t(i) * itemSize);
    if (item->Set && *item->Set == set && item->Id == id) return item;
  }
  return nullptr;
}

// The framework's own check of a format against a range, for miniports that
// leave intersection to it: major, sub-format and specifier, and for audio
// ranges the channel, bit and rate bounds.
bool FormatFitsRange(const KSDATAFORMAT* format, const KSDATARANGE* range) {
  auto fits = [](const GUID& want, const GUID& have) { return have == GUID_NULL || want == have; };
  if (!fits(format->MajorFormat, range->MajorFormat) || !fits(format->SubFormat, range->SubFormat) ||
      !fits(format->Specifier, range->Specifier))
    return false;
  if (range->FormatSize >= sizeof(KSDATARANGE_AUDIO) && format->Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX &&
      format->FormatSize >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
    auto* audio = reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
    WAVEFORMATEX wfx;
    std::memcpy(&wfx, reinterpret_cast<const UCHAR*>(format) + sizeof(KSDATAFORMAT), sizeof(wfx));
    if (wfx.nChannels > audio->MaximumChannels) return false;
    if (wfx.wBitsPerSample < audio->MinimumBitsPerSample || wfx.wBitsPerSample > audio->MaximumBitsPerSample)
      return false;
    if (wfx.nSamplesPerSec < audio->MinimumSampleFrequency || wfx.nSamplesPerSec > audio->MaximumSampleFrequency)
      return false;
  }
  return true;
}

// A client range that stands for exactly one format: what the audio engine
// offers when it opens a pin with a format it already chose.
bool RangeFromFormat(const KSDATAFORMAT* format, KSDATARANGE_AUDIO* range) {
  *range = {};
  range->DataRange = *format;
  range->DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
  range->DataRange.Flags = 0;
  range->DataRange.SampleSize = 0;
  if (format->FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) return false;
  WAVEFORMATEX wfx;
  std::memcpy(&wfx, reinterpret_cast<const UCHAR*>(format) + sizeof(KSDATAFORMAT), sizeof(wfx));
  range->MaximumChannels = wfx.nChannels;
  range->MinimumBitsPerSample = range->MaximumBitsPerSample = wfx.wBitsPerSample;
  range->MinimumSampleFrequency = range->MaximumSampleFrequency = wfx.nSamplesPerSec;
  if (wfx.wFormatTag == WAVE_FORMAT_EXTENSIBLE && wfx.cbSize >= 22 &&
      format->FormatSize >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE)) {
    WAVEFORMATEXTENSIBLE ext;
    std::memcpy(&ext, reinterpret_cast<const UCHAR*>(format) + sizeof(KSDATAFORMAT), sizeof(ext));
    range->MinimumBitsPerSample = range->MaximumBitsPerSample = ext.Samples.wValidBitsPerSample;
  }
  return true;
}

}  // namespace

// ---- Filter --------------------------------------------------------------------------------------

NTSTATUS Filter::Open(PDEVICE_OBJECT adapterDevice, const std::u16string& name, Filter** filter) {
  PAGED_CODE();
  if (!filter) return STATUS_INVALID_PARAMETER;
  *filter = nullptr;
  AdapterContext* adapter = GetAdapterContext(adapterDevice);
  if (!adapter) return STATUS_INVALID_PARAMETER;
  Subdevice* sub = FindSubdevice(adapter, name);
  if (!sub) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto* f = new Filter();
  f->m_Adapter = adapterDevice;
  f->m_Name = sub->name;
  f->m_Port = sub->port->AsPort();
  f->m_Port->AddRef();
  sub->port->FilterOpened();
  f->m_Descriptor = sub->port->Descriptor();
  f->m_PinInstances.assign(f->m_Descriptor->PinCount, 0);
  *filter = f;
  return STATUS_SUCCESS;
}

void Filter::Close(Filter* filter) {
  if (!filter) return;
  KERNEL_RULE(std::all_of(filter->m_PinInstances.begin(), filter->m_PinInstances.end(), [](ULONG n) { return n == 0; }),
              "filter closed with pins still open");
  delete filter;
}

Filter::~Filter() {
  while (!m_Events.empty()) DisableEvent(m_Events.back()->EventEntry.EventData);
  PortOf(m_Port)->FilterClosed();
  m_Port->Release();
}

NTSTATUS Filter::Property(const GUID& set, ULONG id, ULONG verb, ULONG node, const void* instance, ULONG instanceSize,
                          void* value, ULONG* valueSize, PIRP irp) {
  PAGED_CODE();
  if (!valueSize) return STATUS_INVALID_PARAMETER;
  ULONG size = *valueSize;
  *valueSize = 0;
  if (verb != KSPROPERTY_TYPE_GET && verb != KSPROPERTY_TYPE_SET && verb != KSPROPERTY_TYPE_BASICSUPPORT)
    return STATUS_INVALID_PARAMETER;
  if (node != ULONG(-1) && node >= m_Descriptor->NodeCount) return STATUS_INVALID_PARAMETER;
  const PCAUTOMATION_TABLE* table = TableFor(*m_Descriptor, node);
  const PCPROPERTY_ITEM* item =
      table ? FindItem(table->Properties, table->PropertyCount, table->PropertyItemSize, set, id) : nullptr;
  if (!item) return STATUS_NOT_FOUND;

  if (!(item->Flags & verb) || !item->Handler) {
    if (verb != KSPROPERTY_TYPE_BASICSUPPORT) return STATUS_INVALID_DEVICE_REQUEST;
    // The framework answers basic support itself for an item that does not:
    // its access flags, or the bare description.
    ULONG access = (item->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET)) | KSPROPERTY_TYPE_BASICSUPPORT;
    if (size >= sizeof(KSPROPERTY_DESCRIPTION) && value) {
      KSPROPERTY_DESCRIPTION d{};
      d.AccessFlags = access;
      d.DescriptionSize = sizeof(d);
      d.PropTypeSet.Set = KSPROPTYPESETID_General;
      std::memcpy(value, &d, sizeof(d));
      *valueSize = sizeof(d);
      return STATUS_SUCCESS;
    }
    if (size >= sizeof(ULONG) && value) {
      std::memcpy(value, &access, sizeof(access));
      *valueSize = sizeof(ULONG);
      return STATUS_SUCCESS;
    }
    *valueSize = sizeof(KSPROPERTY_DESCRIPTION);
    return size ? STATUS_BUFFER_TOO_SMALL : STATUS_BUFFER_OVERFLOW;
  }

  PCPROPERTY_REQUEST request{};
  request.MajorTarget = PortOf(m_Port)->Miniport();
  request.MinorTarget = nullptr;
  request.Node = node;
  request.PropertyItem = item;
  request.Verb = verb;
  request.InstanceSize = instance ? instanceSize : 0;
  request.Instance = const_cast<void*>(instance);
  request.ValueSize = size;
  request.Value = size ? value : nullptr;
  request.Irp = irp;
  NTSTATUS status = item->Handler(&request);
  // A handler may not claim more than it was given, except to tell the size
  // it needs.
  bool sizeAnswer = status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL;
  KERNEL_RULE(sizeAnswer || !NT_SUCCESS(status) || request.ValueSize <= size,
              "property handler answered more bytes than the buffer holds");
  *valueSize = request.ValueSize;
  return status;
}

PCEVENT_ENTRY* Filter::FindEntry(PKSEVENTDATA eventData) const {
  for (PCEVENT_ENTRY* e : m_Events)
    if (e->EventEntry.EventData == eventData) return e;
  return nullptr;
}

NTSTATUS Filter::CallEventHandler(PCEVENT_ENTRY* entry, ULONG verb, PIRP irp) {
  PCEVENT_REQUEST request{};
  request.MajorTarget = PortOf(m_Port)->Miniport();
  request.MinorTarget = nullptr;
  request.Node = entry->NodeId;
  request.EventItem = entry->EventItem;
  request.EventEntry = entry;
  request.Verb = verb;
  request.Irp = irp;
  return entry->EventItem->Handler(&request);
}

NTSTATUS Filter::EnableEvent(const GUID& set, ULONG id, ULONG node, PKSEVENTDATA eventData, PIRP irp) {
  PAGED_CODE();
  if (!eventData || eventData->NotificationType != KSEVENTF_EVENT_OBJECT || !eventData->EventObject.Event)
    return STATUS_INVALID_PARAMETER;
  if (FindEntry(eventData)) return STATUS_OBJECT_NAME_COLLISION;
  if (node != ULONG(-1) && node >= m_Descriptor->NodeCount) return STATUS_INVALID_PARAMETER;
  const PCAUTOMATION_TABLE* table = TableFor(*m_Descriptor, node);
  const PCEVENT_ITEM* item = table ? FindItem(table->Events, table->EventCount, table->EventItemSize, set, id) : nullptr;
  if (!item || !item->Handler) return STATUS_NOT_FOUND;
  if (!(item->Flags & PCEVENT_ITEM_FLAG_ENABLE)) return STATUS_INVALID_DEVICE_REQUEST;

  auto* entry = static_cast<PCEVENT_ENTRY*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PCEVENT_ENTRY), kEventTag));
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(entry, 0, sizeof(*entry));
  ListInit(&entry->EventEntry.ListEntry);
  entry->EventEntry.EventData = eventData;
  entry->EventEntry.NotificationType = eventData->NotificationType;
  entry->EventEntry.EventSet = item->Set;
  entry->EventEntry.EventId = id;
  entry->EventItem = item;
  entry->PinId = ULONG(-1);
  entry->NodeId = node;
  entry->Owner = this;
  NTSTATUS status = CallEventHandler(entry, PCEVENT_VERB_ADD, irp);
  if (!NT_SUCCESS(status)) {
    PortOf(m_Port)->RemoveEventEntry(entry);
    ExFreePool(entry);
    return status;
  }
  m_Events.push_back(entry);
  return STATUS_SUCCESS;
}

NTSTATUS Filter::DisableEvent(PKSEVENTDATA eventData) {
  PAGED_CODE();
  PCEVENT_ENTRY* entry = FindEntry(eventData);
  if (!entry) return STATUS_NOT_FOUND;
  PortOf(m_Port)->RemoveEventEntry(entry);
  CallEventHandler(entry, PCEVENT_VERB_REMOVE, nullptr);
  m_Events.erase(std::find(m_Events.begin(), m_Events.end(), entry));
  ExFreePool(entry);
  return STATUS_SUCCESS;
}

ULONG Filter::EventDeliveries(PKSEVENTDATA eventData) const {
  PCEVENT_ENTRY* entry = FindEntry(eventData);
  return entry ? entry->Delivered : 0;
}

NTSTATUS Filter::DataIntersection(ULONG pinId, const KSDATARANGE* clientRange, ULONG clientRangeSize, void* result,
                                  ULONG* resultSize) {
  PAGED_CODE();
  if (!clientRange || !resultSize || clientRangeSize < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
  const PCPIN_DESCRIPTOR* pin = PinAt(*m_Descriptor, pinId);
  if (!pin) return STATUS_INVALID_PARAMETER;
  ULONG outLength = *resultSize;
  NTSTATUS last = STATUS_NO_MATCH;
  for (ULONG i = 0; i < pin->KsPinDescriptor.DataRangesCount; ++i) {
    PKSDATARANGE own = pin->KsPinDescriptor.DataRanges[i];
    if (!(clientRange->MajorFormat == own->MajorFormat) && !(clientRange->MajorFormat == GUID_NULL)) continue;
    ULONG length = 0;
    NTSTATUS status = PortOf(m_Port)->Miniport()->DataRangeIntersection(
        pinId, const_cast<PKSDATARANGE>(clientRange), own, outLength, outLength ? result : nullptr, &length);
    if (status == STATUS_NO_MATCH || status == STATUS_NOT_IMPLEMENTED) {
      if (status == STATUS_NOT_IMPLEMENTED) last = STATUS_NO_MATCH;
      continue;
    }
    *resultSize = length;
    return status;
  }
  *resultSize = 0;
  return last;
}

NTSTATUS Filter::CreatePin(ULONG pinId, const KSDATAFORMAT* format, Pin** out) {
  PAGED_CODE();
  if (!out || !format) return STATUS_INVALID_PARAMETER;
  *out = nullptr;
  CPort* port = PortOf(m_Port);
  const PCPIN_DESCRIPTOR* pin = PinAt(*m_Descriptor, pinId);
  if (!pin) return STATUS_INVALID_PARAMETER;
  KSPIN_COMMUNICATION comm = pin->KsPinDescriptor.Communication;
  if (!port->IsWaveCyclic() || (comm != KSPIN_COMMUNICATION_SINK && comm != KSPIN_COMMUNICATION_BOTH))
    return STATUS_INVALID_DEVICE_REQUEST;
  if (m_PinInstances[pinId] >= pin->MaxFilterInstanceCount) return STATUS_INSUFFICIENT_RESOURCES;

  // The requested format must fit one of the pin's ranges; the miniport's
  // intersection decides, the framework's own check stands in where the
  // miniport leaves it to the framework.
  bool accepted = false;
  KSDATARANGE_AUDIO client;
  bool haveClient = RangeFromFormat(format, &client);
  for (ULONG i = 0; i < pin->KsPinDescriptor.DataRangesCount && !accepted; ++i) {
    PKSDATARANGE own = pin->KsPinDescriptor.DataRanges[i];
    if (!FormatFitsRange(format, own)) continue;
    if (!haveClient) continue;
    UCHAR result[sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE) + 64];
    ULONG length = 0;
    NTSTATUS status = port->Miniport()->DataRangeIntersection(pinId, &client.DataRange, own, sizeof(result), result,
                                                              &length);
    accepted = NT_SUCCESS(status) || status == STATUS_NOT_IMPLEMENTED;
  }
  if (!accepted) return STATUS_NO_MATCH;

  auto* p = new Pin();
  p->m_Filter = this;
  p->m_PinId = pinId;
  p->m_Capture = pin->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;
  NTSTATUS status = port->WaveMiniport()->NewStream(&p->m_Stream, nullptr, NonPagedPool, pinId, p->m_Capture,
                                                    const_cast<PKSDATAFORMAT>(format), &p->m_Dma, &p->m_ServiceGroup);
  if (NT_SUCCESS(status) && (!p->m_Stream || !p->m_Dma || !p->m_ServiceGroup)) status = STATUS_INVALID_DEVICE_STATE;
  if (NT_SUCCESS(status)) {
    p->m_Stream->SetNotificationFreq(10, &p->m_FramingSize);
    p->m_Sink = Pin::MakeSink(p);
    status = p->m_Sink ? p->m_ServiceGroup->AddMember(Pin::SinkInterface(p->m_Sink)) : STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    delete p;
    return status;
  }
  ++m_PinInstances[pinId];
  *out = p;
  return STATUS_SUCCESS;
}

}  // namespace platform::portcls
