#include "tests/streaming/support/StreamBench.h"

#include "portcls/framework.h"

namespace streamtest {

namespace {

constexpr ULONG kBenchTag = MakeTag("SBen");
UCHAR g_ConfigurationHandle;
UCHAR g_PipeHandles[8];

void Put(std::vector<UCHAR>& out, std::initializer_list<UCHAR> bytes) { out.insert(out.end(), bytes); }

}  // namespace

WAVEFORMATEXTENSIBLE Pcm(WORD channels, DWORD rate, WORD bits, DWORD channelMask) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * rate;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = bits;
  f.dwChannelMask = channelMask != kDefaultChannelMask ? channelMask : (channels == 2 ? 3 : 4);
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

const WAVEFORMATEXTENSIBLE StreamBench::kWave48 = Pcm(2, 48000, 16);
const WAVEFORMATEXTENSIBLE StreamBench::kAsio44 = Pcm(2, 44100, 16);

// ---- FakeOwner ---------------------------------------------------------------------------------

FakeOwner::FakeOwner(UCHAR alternates, UCHAR bInterval, BOOLEAN highSpeed)
    : CUnknownBase(nullptr), m_Alternates(alternates), m_HighSpeed(highSpeed) {
  m_Driver = platform::io::CreateDriverObject(u"\\Driver\\StreamBench");
  m_Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
  IoCreateDevice(m_Driver, sizeof(FakeOwner*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &m_Lower);
  *static_cast<FakeOwner**>(m_Lower->DeviceExtension) = this;
  m_Lower->Flags &= ~DO_DEVICE_INITIALIZING;
  IoCreateDevice(m_Driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &m_Fdo);
  m_Fdo->Flags &= ~DO_DEVICE_INITIALIZING;

  std::vector<UCHAR> bytes;
  Put(bytes, {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 2, 1, 0, 0x80, 50});
  Put(bytes, {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0, 1, 1, 0, 0});  // AudioControl
  Put(bytes, {9, USB_INTERFACE_DESCRIPTOR_TYPE, kEngineId, 0, 0, 1, 2, 0, 0});
  for (UCHAR alternate = 1; alternate <= alternates; ++alternate) {
    Put(bytes, {9, USB_INTERFACE_DESCRIPTOR_TYPE, kEngineId, alternate, 2, 1, 2, 0, 0});
    // A feedback-usage endpoint first: only the data endpoint counts.
    Put(bytes, {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, 0x11, 4, 0, 1});
    Put(bytes, {7, USB_ENDPOINT_DESCRIPTOR_TYPE, kDataEndpoint, 0x09, 200, 0, bInterval});
  }
  bytes[2] = static_cast<UCHAR>(bytes.size());
  bytes[3] = static_cast<UCHAR>(bytes.size() >> 8);
  m_Configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
      ExAllocatePoolWithTag(NonPagedPool, bytes.size(), kBenchTag));
  RtlCopyMemory(m_Configuration, bytes.data(), bytes.size());
}

FakeOwner::~FakeOwner() {
  CompleteAll(STATUS_CANCELLED);
  ExFreePool(m_Configuration);
  IoDeleteDevice(m_Fdo);
  IoDeleteDevice(m_Lower);
  platform::io::DeleteDriverObject(m_Driver);
}

NTSTATUS FakeOwner::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IAudioHal)) {
    *object = static_cast<IAudioHal*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IUsbDevice)) {
    *object = static_cast<IUsbDevice*>(this);
  } else {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

USBD_CONFIGURATION_HANDLE FakeOwner::GetConfigurationHandle() {
  return reinterpret_cast<USBD_CONFIGURATION_HANDLE>(&g_ConfigurationHandle);
}

USBD_PIPE_HANDLE FakeOwner::PipeHandle(UCHAR alternateSetting) {
  return reinterpret_cast<USBD_PIPE_HANDLE>(&g_PipeHandles[alternateSetting & 7]);
}

NTSTATUS FakeOwner::SubmitUrb(PURB urb) {
  std::lock_guard<std::mutex> lock(logLock);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_INTERFACE: {
      USBD_INTERFACE_INFORMATION& info = urb->UrbSelectInterface.Interface;
      selects.push_back(info.AlternateSetting);
      if (failSelectOf == info.AlternateSetting) return selectFailure;
      if (info.InterfaceNumber != kEngineId || info.AlternateSetting > m_Alternates) return STATUS_INVALID_PARAMETER;
      const ULONG pipes = info.AlternateSetting == 0 ? 0 : 2;
      if (info.Length < GET_USBD_INTERFACE_SIZE(pipes)) return STATUS_BUFFER_TOO_SMALL;
      info.NumberOfPipes = pipes;
      info.InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(&g_ConfigurationHandle);
      if (pipes) {
        info.Pipes[0] = {4, 0x81, 1, UsbdPipeTypeIsochronous, PipeHandle(7), 4, 0};
        info.Pipes[1] = {200, kDataEndpoint, 1, UsbdPipeTypeIsochronous, PipeHandle(info.AlternateSetting), 200, 0};
      }
      return STATUS_SUCCESS;
    }
    case URB_FUNCTION_CLASS_ENDPOINT: {
      auto& request = urb->UrbControlVendorClassRequest;
      auto* data = static_cast<const UCHAR*>(request.TransferBuffer);
      if (request.Request == 0x01 && request.Value == 0x0100 && request.TransferBufferLength == 3)
        sampleRates.push_back(data[0] | (data[1] << 8) | (data[2] << 16));
      return STATUS_SUCCESS;
    }
    case URB_FUNCTION_ABORT_PIPE:
      aborts.push_back(urb->UrbPipeRequest.PipeHandle);
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS FakeOwner::QueryBusTime(PULONG currentFrame) {
  *currentFrame = frame;
  return STATUS_SUCCESS;
}

PIRP FakeOwner::AllocateIrp() {
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(m_Lower->StackSize + 1), FALSE);
  if (irp) ++irpsAllocated;
  return irp;
}

NTSTATUS FakeOwner::FreeIrp(PIRP irp) {
  ++irpsFreed;
  IoFreeIrp(irp);
  return STATUS_SUCCESS;
}

NTSTATUS FakeOwner::DispatchInternal(PDEVICE_OBJECT device, PIRP irp) {
  auto* self = *static_cast<FakeOwner**>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
  bool fail = false;
  bool inlineSuccess = false;
  {
    std::lock_guard<std::mutex> lock(self->m_Lock);
    const auto& iso = urb->UrbIsochronousTransfer;
    self->m_Sent.push_back({iso.Hdr.Length, iso.Hdr.Function, iso.TransferFlags, iso.StartFrame,
                            iso.NumberOfPackets, iso.TransferBufferLength, iso.PipeHandle});
    ++self->m_Sends;
    if (self->failSendAt != 0 && self->m_Sends == self->failSendAt) {
      fail = true;
    } else if (self->completeInline > 0) {
      --self->completeInline;
      inlineSuccess = true;
    } else {
      IoMarkIrpPending(irp);
      self->m_Held.push_back(irp);
      if (self->m_Held.size() > self->maxPending) self->maxPending = self->m_Held.size();
    }
  }
  if (fail || inlineSuccess) {
    const NTSTATUS status = fail ? self->failSendStatus : STATUS_SUCCESS;
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  return STATUS_PENDING;
}

size_t FakeOwner::Pending() {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_Held.size();
}

bool FakeOwner::CompleteOldest(NTSTATUS status, USBD_STATUS usbdStatus) {
  PIRP irp = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_Held.empty()) return false;
    irp = m_Held.front();
    m_Held.pop_front();
  }
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  urb->UrbHeader.Status = usbdStatus;
  irp->IoStatus.Status = status;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
  return true;
}

void FakeOwner::CompleteAll(NTSTATUS status, USBD_STATUS usbdStatus) {
  for (size_t n = Pending(); n > 0 && CompleteOldest(status, usbdStatus); --n) {
  }
}

std::vector<SentUrb> FakeOwner::Sent() {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_Sent;
}

// ---- BenchEngine -------------------------------------------------------------------------------

NTSTATUS BenchEngine::OpenForFormat(StreamClientRecord* client, PULONG currentFrame) {
  ++opens;
  if (openFailure != STATUS_SUCCESS) {
    NTSTATUS failure = openFailure;
    openFailure = STATUS_SUCCESS;
    return failure;
  }
  UCHAR alternate = 0;
  NTSTATUS status = FindAlternateSetting(&client->Format, &alternate);
  if (!NT_SUCCESS(status)) return status;
  m_MsPerUrb = client->MsPerUrb;
  m_UrbCount = client->UrbCount;
  m_PacketsPerMs = GetPacketsPerFrame(alternate);
  if (InterlockedExchange(StreamStateWord(), STREAM_STATE_OPEN) != STREAM_STATE_CLOSED)
    return STATUS_INSUFFICIENT_RESOURCES;
  const ULONG packets = m_PacketsPerMs * m_MsPerUrb;
  const ULONG bytesPerPacket = client->Format.Format.nAvgBytesPerSec / (1000 * m_PacketsPerMs) + 8;
  status = BuildPacketPool(UsbStreamUrbBytes(packets), packets * bytesPerPacket);
  if (NT_SUCCESS(status)) status = SelectAlternateSetting(alternate, client);
  if (!NT_SUCCESS(status)) {
    FreePackets();
    DeleteLookasideLists();
    InterlockedExchange(StreamStateWord(), STREAM_STATE_CLOSED);
    return status;
  }
  m_OutstandingUrbs = 0;
  if (currentFrame) *currentFrame = GetCurrentFrameNumber();
  return STATUS_SUCCESS;
}

NTSTATUS BenchEngine::OnUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp, StreamPacket* packet) {
  if (!resubmitInline) return CUsbStreamEngine::OnUrbComplete(deviceObject, irp, packet);
  const bool failed = !NT_SUCCESS(irp->IoStatus.Status) || USBD_ERROR(packet->Urb->UrbHeader.Status);
  ReleasePacket(packet);
  if (m_StreamState == STREAM_STATE_RUNNING) {
    if (failed)
      ReportTransferError();
    else if (MayResubmit())
      SendStreamUrb();
  }
  DropOutstandingUrb();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS BenchEngine::SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord* client) {
  return SelectStreamingInterface(alternateSetting, client, FALSE);
}

NTSTATUS BenchEngine::SendStreamUrb() {
  const ULONG packets = m_PacketsPerMs * m_MsPerUrb;
  return SendOneUrb(packets, 0, [&](StreamPacket* packet) {
    const ULONG stride = m_CurrentWaveFormat.Format.nAvgBytesPerSec / (1000 * m_PacketsPerMs);
    for (ULONG i = 0; i < packets; ++i) {
      packet->Urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * stride;
      packet->Urb->UrbIsochronousTransfer.IsoPacket[i].Length = stride;
    }
    packet->Urb->UrbIsochronousTransfer.TransferBufferLength = packets * stride;
  });
}

// ---- StreamBench -------------------------------------------------------------------------------

StreamBench::StreamBench(UCHAR alternates, UCHAR bInterval, BOOLEAN highSpeed) {
  platform::portcls::ResetForTest();
  m_Owner = new (NonPagedPool, kBenchTag) FakeOwner(alternates, bInterval, highSpeed);
  m_Owner->NonDelegatingAddRef();
  m_Engine = new (NonPagedPool, kBenchTag) BenchEngine(nullptr, kEngineId);
  m_Engine->NonDelegatingAddRef();
  m_Engine->Init(STREAM_DIRECTION_RENDER, m_Owner->Hal());
  m_Engine->AddFormat(&kWave48, 1);
  if (alternates >= 2) m_Engine->AddFormat(&kAsio44, 2);
}

StreamBench::~StreamBench() {
  m_Engine->NonDelegatingRelease();
  m_Owner->NonDelegatingRelease();
}

NTSTATUS StreamBench::Register(ULONG kind, const WAVEFORMATEXTENSIBLE& format, ULONG msPerUrb, ULONG urbCount,
                               StreamClientRecord** record) {
  Receiver* receiver;
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Receivers.push_back({this, m_Receivers.size()});
    receiver = &m_Receivers.back();
  }
  return m_Engine->RegisterClient(kind, &format, msPerUrb, urbCount, OnNotify, receiver, record);
}

void StreamBench::OnNotify(PVOID context, PVOID argument1, PVOID) {
  auto* receiver = static_cast<Receiver*>(context);
  std::lock_guard<std::mutex> lock(receiver->bench->m_Lock);
  receiver->bench->m_Notes.emplace_back(receiver->index, *static_cast<CyclicControlNotify*>(argument1));
}

std::vector<CyclicControlNotify> StreamBench::Notes(size_t client) {
  std::lock_guard<std::mutex> lock(m_Lock);
  std::vector<CyclicControlNotify> notes;
  for (const auto& [index, note] : m_Notes)
    if (index == client) notes.push_back(note);
  return notes;
}

void StreamBench::ClearNotes() {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_Notes.clear();
}

void StreamBench::Settle() { platform::clock::Advance(0); }

}  // namespace streamtest
