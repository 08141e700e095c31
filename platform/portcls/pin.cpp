// A streaming pin: the miniport's stream, its cyclic buffer and the service
// requests that tell the audio engine to move on.
#include "portcls/internal.h"

namespace platform::portcls {

// The pin's member of the stream's service group. The group calls it from
// its DPC; the pin may be closing at the same time, so the link to the pin
// is guarded and cut before the pin goes.
class Pin::Sink : public CUnknownBase, public IServiceSink {
 public:
  explicit Sink(Pin* pin) : CUnknownBase(nullptr), m_Pin(pin) { KeInitializeSpinLock(&m_Lock); }
  STANDIN_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(iid, IID_IServiceSink) || IsEqualGUIDAligned(iid, IID_IUnknown)) {
      *object = static_cast<IServiceSink*>(this);
      NonDelegatingAddRef();
      return STATUS_SUCCESS;
    }
    return CUnknownBase::NonDelegatingQueryInterface(iid, object);
  }
  void STDMETHODCALLTYPE RequestService() override {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    Pin* pin = m_Pin;
    if (pin) pin->Serviced();
    KeReleaseSpinLock(&m_Lock, irql);
  }
  void Detach() {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_Pin = nullptr;
    KeReleaseSpinLock(&m_Lock, irql);
  }

 private:
  KSPIN_LOCK m_Lock;
  Pin* m_Pin;
};

Pin::Sink* Pin::MakeSink(Pin* pin) {
  auto* sink = new (NonPagedPool, kPoolTag) Sink(pin);
  if (sink) sink->NonDelegatingAddRef();
  return sink;
}

IServiceSink* Pin::SinkInterface(Sink* sink) { return static_cast<IServiceSink*>(sink); }

void Pin::Serviced() {
  InterlockedIncrement(&m_Notifications);
  if (m_Callback) m_Callback();
}

void Pin::SetServiceCallback(std::function<void()> callback) { m_Callback = std::move(callback); }

NTSTATUS Pin::SetState(KSSTATE state) {
  PAGED_CODE();
  if (state > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  while (m_State != state) {
    auto next = static_cast<KSSTATE>(m_State < state ? m_State + 1 : m_State - 1);
    NTSTATUS status = m_Stream->SetState(next);
    if (!NT_SUCCESS(status)) return status;
    m_State = next;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Pin::SetFormat(const KSDATAFORMAT* format) {
  PAGED_CODE();
  if (!format) return STATUS_INVALID_PARAMETER;
  return m_Stream->SetFormat(const_cast<PKSDATAFORMAT>(format));
}

NTSTATUS Pin::GetPosition(ULONG* position) {
  if (!position) return STATUS_INVALID_PARAMETER;
  return m_Stream->GetPosition(position);
}

ULONG Pin::BufferSize() { return m_Dma->BufferSize(); }

void Pin::Write(ULONG offset, const void* data, ULONG length) {
  platform::IrqlScope dispatch(DISPATCH_LEVEL);
  auto* buffer = static_cast<PUCHAR>(m_Dma->SystemAddress());
  ULONG size = m_Dma->BufferSize();
  if (!buffer || !size) return;
  auto* src = static_cast<const UCHAR*>(data);
  offset %= size;
  while (length) {
    ULONG chunk = std::min(length, size - offset);
    m_Dma->CopyTo(buffer + offset, const_cast<PUCHAR>(src), chunk);
    src += chunk;
    length -= chunk;
    offset = (offset + chunk) % size;
  }
}

void Pin::Read(ULONG offset, void* data, ULONG length) {
  platform::IrqlScope dispatch(DISPATCH_LEVEL);
  auto* buffer = static_cast<PUCHAR>(m_Dma->SystemAddress());
  ULONG size = m_Dma->BufferSize();
  if (!buffer || !size) return;
  auto* dst = static_cast<UCHAR*>(data);
  offset %= size;
  while (length) {
    ULONG chunk = std::min(length, size - offset);
    m_Dma->CopyFrom(dst, buffer + offset, chunk);
    dst += chunk;
    length -= chunk;
    offset = (offset + chunk) % size;
  }
}

NTSTATUS Pin::SetContentId(ULONG contentId, const DRMRIGHTS& rights) {
  PAGED_CODE();
  PVOID object = nullptr;
  NTSTATUS status = m_Stream->QueryInterface(IID_IDrmAudioStream, &object);
  if (!NT_SUCCESS(status)) return status;
  auto* drm = static_cast<IDrmAudioStream*>(object);
  status = drm->SetContentId(contentId, &rights);
  drm->Release();
  return status;
}

void Pin::Close(Pin* pin) { delete pin; }

Pin::~Pin() {
  if (m_Stream) SetState(KSSTATE_STOP);
  if (m_Sink) {
    m_Sink->Detach();
    if (m_ServiceGroup) m_ServiceGroup->RemoveMember(SinkInterface(m_Sink));
    m_Sink->NonDelegatingRelease();
  }
  if (m_Stream) m_Stream->Release();
  if (m_Dma) m_Dma->Release();
  if (m_ServiceGroup) m_ServiceGroup->Release();
  if (m_Filter && m_Filter->m_PinInstances[m_PinId]) --m_Filter->m_PinInstances[m_PinId];
}

}  // namespace platform::portcls
