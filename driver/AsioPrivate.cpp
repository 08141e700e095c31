// The ASIO host's private interface on the device object: client records,
// the host's queries and settings, the shared blocks mapped into the host's
// process, and the start and stop of the ASIO stream clients on the
// engines. The data path itself is AsioBufferExchange.cpp.
//
// Ownership: one client at a time, the buffer owner, holds the blocks. A
// block lives from CreateBuffers to DisposeBuffers (which Close and the
// device object's end run too); its stream clients are registered from
// CreateBuffers until then or until the device's removal, and are stopped
// before a block goes, so no engine notification ever reaches a freed ring.
// A removal leaves the blocks mapped: the host's threads may still read
// them, and the host learns of the removal from its next request.
#include "driver/AsioPrivate.h"

#include "driver/SettingsStore.h"
#include "driver/common/PoolBuffer.h"
#include "driver/common/SpinLockScope.h"
#include "usb/usbdlib.h"

namespace {

// Devices whose firmware is told when ASIO streaming starts and stops.
struct AsioStreamingDevice {
  USHORT vendorId;
  USHORT productId;
};
constexpr AsioStreamingDevice kAsioStreamingDevices[] = {
    {0x0B05, 0x17A8}, {0x0B05, 0x17CD}, {0x0B05, 0x17F3}, {0x1043, 0x8592}, {0x1043, 0x8593},
};
constexpr UCHAR ASIO_STREAMING_REQUEST = 7;

constexpr KPRIORITY ASIO_EVENT_INCREMENT = 8;
constexpr ULONG ASIO_DSD_FRAMES_PER_MS_DIVISOR = 64000;
constexpr ULONG ASIO_DSD_SAMPLE_DIVISOR = 64;
constexpr UCHAR ASIO_DSD_SILENCE_AT_CREATE = 0x69;
constexpr UCHAR ASIO_DSD_SILENCE = 0x96;
constexpr ULONG ASIO_RATE_FAMILY_44 = 44100;
constexpr ULONG ASIO_RATE_FAMILY_48 = 48000;
constexpr ULONG ASIO_DSD_LOW_RATE_INPUT = 2816;
constexpr ULONG ASIO_DSD_LOW_RATE_OUTPUT = 5632;
// A ring larger than this (a format of absurd channel counts or rates) is
// refused rather than allocated.
constexpr ULONGLONG ASIO_MAX_RING_BYTES = 64ull << 20;

// What of a stream format the ASIO paths compare.
struct FormatView {
  GUID subtype;
  ULONG channels;
  ULONG rate;
  ULONG bits;
  ULONG validBits;
};

FormatView ViewFormat(const WAVEFORMATEXTENSIBLE& f) {
  FormatView v{};
  v.channels = f.Format.nChannels;
  v.rate = f.Format.nSamplesPerSec;
  v.bits = f.Format.wBitsPerSample;
  v.validBits = v.bits;
  if (f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.Format.cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
    v.subtype = f.SubFormat;
    v.validBits = f.Samples.wValidBitsPerSample;
  } else {
    v.subtype = KSDATAFORMAT_SUBTYPE_PCM;
    v.subtype.Data1 = f.Format.wFormatTag;
  }
  return v;
}

bool IsPcm(const FormatView& v) { return IsEqualGUIDAligned(v.subtype, KSDATAFORMAT_SUBTYPE_PCM); }
bool IsDsd(const FormatView& v) { return IsEqualGUIDAligned(v.subtype, KSDATAFORMAT_SUBTYPE_DSD); }

// The sample type a PCM format carries, or 0.
ULONG SampleTypeOf(const FormatView& v) {
  switch (v.bits) {
    case 16:
      return ASIO_SAMPLE_INT16;
    case 24:
      return ASIO_SAMPLE_INT24;
    case 32:
      return v.validBits == 16 ? ASIO_SAMPLE_INT32_16 : v.validBits == 24 ? ASIO_SAMPLE_INT32_24 : ASIO_SAMPLE_INT32;
    default:
      return 0;
  }
}

template <typename Visit>
void ForEachFormat(IStreamEngine* engine, Visit visit) {
  const ULONG count = engine->GetFormatCount();
  for (ULONG i = 0; i < count; ++i) {
    WAVEFORMATEXTENSIBLE format{};
    if (NT_SUCCESS(engine->GetFormat(i, &format))) visit(format, ViewFormat(format));
  }
}

// A DSD rate counts in multiples of its family's base rate, and in frames
// of that family per millisecond.
void DsdFamily(ULONG rate, ULONG* multiple, ULONG* framesPerMs) {
  const bool family48 = rate % ASIO_RATE_FAMILY_44 != 0;
  *multiple = rate / (family48 ? ASIO_RATE_FAMILY_48 : ASIO_RATE_FAMILY_44);
  *framesPerMs = family48 ? 48 : 44;
}

ICyclicControl* CyclicOf(IStreamEngine* engine) {
  PVOID object = nullptr;
  if (!engine || !NT_SUCCESS(engine->QueryInterface(IID_ICyclicControl, &object))) return nullptr;
  return static_cast<ICyclicControl*>(object);
}

void InsertClient(LIST_ENTRY* head, AsioClientRecord* client) {
  client->Links.Flink = head->Flink;
  client->Links.Blink = head;
  head->Flink->Blink = &client->Links;
  head->Flink = &client->Links;
}

void RemoveClient(AsioClientRecord* client) {
  client->Links.Blink->Flink = client->Links.Flink;
  client->Links.Flink->Blink = client->Links.Blink;
  client->Links.Flink = client->Links.Blink = &client->Links;
}

AsioClientRecord* ClientOf(LIST_ENTRY* links) { return CONTAINING_RECORD(links, AsioClientRecord, Links); }

void DereferenceEvent(PKEVENT* event) {
  if (*event) ObDereferenceObject(*event);
  *event = nullptr;
}

NTSTATUS ReferenceUserEvent(HANDLE handle, PKEVENT* event) {
  PVOID object = nullptr;
  NTSTATUS status =
      ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr);
  *event = NT_SUCCESS(status) ? static_cast<PKEVENT>(object) : nullptr;
  return status;
}

}  // namespace

// ============================================================================
// Shared tables
// ============================================================================

const AsioSampleType* FindAsioSampleType(ULONG code) {
  for (const AsioSampleType& t : AsioPcmSampleTypes)
    if (t.Code == code) return &t;
  return nullptr;
}

ULONG AsioBytesPerSample(ULONG code) {
  const AsioSampleType* type = FindAsioSampleType(code);
  return type ? type->ContainerBits / 8u : 0;
}

AsioUrbPlan AsioPlanUrbs(ULONG milliseconds) {
  const ULONG n = milliseconds < 2 ? 2 : milliseconds;
  if (n >= 20) return {5, n / 5 < 5 ? n / 5 : 5};
  if (n >= 16) return {4, n / 4};
  if (n >= 8) return {2, n / 2};
  return {1, n};
}

ULONG AsioBufferMilliseconds(ULONG bufferFrames, ULONG framesPerMs) {
  const ULONG n = bufferFrames / (framesPerMs ? framesPerMs : 1);
  return n < 2 ? 2 : n;
}

// ============================================================================
// Helpers
// ============================================================================

template <typename Wanted, typename Step>
NTSTATUS CAsioPrivate::AsioForEachStreamEngine(Wanted wanted, Step step) {
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; NT_SUCCESS(status) && i < m_AsioEngineCount; ++i) {
    if (!wanted(m_AsioEngines[i])) continue;
    IStreamEngine* engine = AsioEngine(i);
    ICyclicControl* cyclic = CyclicOf(engine);
    if (!cyclic) return STATUS_NOT_SUPPORTED;
    status = step(i, engine, cyclic);
    cyclic->Release();
  }
  return status;
}

template <typename Work>
NTSTATUS CAsioPrivate::AsioWithClient(PFILE_OBJECT fileObject, Work work) {
  PAGED_CODE();
  CKernelMutexScope lock(m_PowerMutex);
  AsioClientRecord* client = AsioFindClient(fileObject);
  return client ? work(client) : STATUS_INVALID_PARAMETER;
}

AsioClientRecord* CAsioPrivate::AsioFindClient(PFILE_OBJECT fileObject) {
  if (!fileObject) return nullptr;
  for (LIST_ENTRY* e = m_AsioClients.Flink; e != &m_AsioClients; e = e->Flink)
    if (ClientOf(e)->FileObject == fileObject) return ClientOf(e);
  return nullptr;
}

void CAsioPrivate::AsioSignalClients() {
  for (LIST_ENTRY* e = m_AsioClients.Flink; e != &m_AsioClients; e = e->Flink)
    if (ClientOf(e)->NotifyEvent) KeSetEvent(ClientOf(e)->NotifyEvent, ASIO_EVENT_INCREMENT, FALSE);
}

IStreamEngine* CAsioPrivate::AsioEngine(ULONG index) {
  if (index >= m_AsioEngineCount) return nullptr;
  DeviceCapsRecord caps{};
  if (!NT_SUCCESS(m_Device.GetStreamEngineCaps(index, &caps)) || !(caps.Flags & DEVICE_CAPS_FLAG_ASIO)) return nullptr;
  IStreamEngine* engine = nullptr;
  return NT_SUCCESS(m_Device.GetStreamEngine(index, &engine)) ? engine : nullptr;
}

ULONG CAsioPrivate::AsioMaxPcmChannels(IStreamEngine* engine) {
  ULONG channels = 0;
  ForEachFormat(engine, [&](const WAVEFORMATEXTENSIBLE&, const FormatView& v) {
    if (IsPcm(v) && v.channels > channels) channels = v.channels;
  });
  return channels;
}

ULONG CAsioPrivate::AsioMaxDsdChannels(IStreamEngine* engine) {
  ULONG channels = 0;
  ForEachFormat(engine, [&](const WAVEFORMATEXTENSIBLE&, const FormatView& v) {
    if (IsDsd(v) && v.channels > channels) channels = v.channels;
  });
  return channels;
}

BOOLEAN CAsioPrivate::AsioEngineHasRate(IStreamEngine* engine, ULONG rate, ULONG dsd) {
  bool found = false;
  ForEachFormat(engine, [&](const WAVEFORMATEXTENSIBLE&, const FormatView& v) {
    if (!dsd) {
      found |= IsPcm(v) && v.rate == rate;
    } else if (IsDsd(v) && v.bits) {
      // A DSD stream packs its bits into PCM-like frames; a mono format
      // counts as one pair rather than dividing by zero.
      const ULONG pairs = v.channels / 2 ? v.channels / 2 : 1;
      found |= rate / (v.bits == 16 ? 16 : v.bits) / pairs == v.rate;
    }
  });
  return found;
}

BOOLEAN CAsioPrivate::AsioEngineHasIoFormat(IStreamEngine* engine, ULONG dsd) {
  bool found = false;
  ForEachFormat(engine, [&](const WAVEFORMATEXTENSIBLE&, const FormatView& v) { found |= dsd ? IsDsd(v) : IsPcm(v); });
  return found;
}

NTSTATUS CAsioPrivate::AsioCheckRate(ULONG rate, ULONG dsd) {
  bool any = false;
  for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
    IStreamEngine* engine = AsioEngine(i);
    if (!engine) continue;
    any = true;
    if (!AsioEngineHasRate(engine, rate, dsd)) return STATUS_UNSUCCESSFUL;
  }
  return any ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS CAsioPrivate::AsioBuildFormat(IStreamEngine* engine, const AsioClientRecord* owner,
                                       PWAVEFORMATEXTENSIBLE format) {
  FormatView wanted{};
  wanted.channels = AsioChannels(engine, owner->DsdMode);
  if (owner->DsdMode) {
    wanted.subtype = KSDATAFORMAT_SUBTYPE_DSD;
    wanted.bits = wanted.validBits = 64;
    wanted.rate = owner->SampleRate / ASIO_DSD_SAMPLE_DIVISOR;
  } else {
    // The rings were sized with the active type, so the stream carries it.
    const AsioSampleType* type = FindAsioSampleType(m_AsioActiveSampleType);
    if (!type) return STATUS_NO_MATCH;
    wanted.subtype = KSDATAFORMAT_SUBTYPE_PCM;
    wanted.bits = type->ContainerBits;
    wanted.validBits = type->ValidBits;
    wanted.rate = owner->SampleRate;
  }
  bool found = false;
  ForEachFormat(engine, [&](const WAVEFORMATEXTENSIBLE& f, const FormatView& v) {
    if (found || !IsEqualGUIDAligned(v.subtype, wanted.subtype) || v.channels != wanted.channels ||
        v.rate != wanted.rate || v.bits != wanted.bits || v.validBits != wanted.validBits)
      return;
    *format = f;
    found = true;
  });
  if (!found) return STATUS_NO_MATCH;
  m_AsioBytesPerSample = wanted.bits / 8;
  return STATUS_SUCCESS;
}

void CAsioPrivate::AsioSendStreamingState(USHORT value) {
  bool listed = false;
  for (const AsioStreamingDevice& d : kAsioStreamingDevices)
    listed |= d.vendorId == m_Device.AsioVendorId() && d.productId == m_Device.AsioProductId();
  if (!listed) return;
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_OUT, 0, ASIO_STREAMING_REQUEST, value, 0, nullptr, nullptr, 0,
                        nullptr);
  m_Device.SubmitUrb(&urb);
}

// ============================================================================
// Stream clients
// ============================================================================

NTSTATUS CAsioPrivate::AsioOpenStreamClients(AsioClientRecord* owner) {
  // Clients a failed close left behind are settled before new ones take
  // their entries.
  NTSTATUS status = AsioCloseStreamClients();
  if (!NT_SUCCESS(status)) return status;
  const ULONG framesPerMs =
      owner->DsdMode ? owner->SampleRate / ASIO_DSD_FRAMES_PER_MS_DIVISOR : owner->SampleRate / 1000;
  AsioUrbPlan plan = AsioPlanUrbs(AsioBufferMilliseconds(m_AsioBufferFrames, framesPerMs));
  if (plan.Urbs > 2) plan.Urbs -= 1;
  status = AsioForEachStreamEngine(
      [](const AsioEngineEntry& e) { return e.Block && e.State.Selected; },
      [&](ULONG i, IStreamEngine* engine, ICyclicControl* cyclic) {
        WAVEFORMATEXTENSIBLE format{};
        StreamClientRecord* record = nullptr;
        NTSTATUS result = AsioBuildFormat(engine, owner, &format);
        if (NT_SUCCESS(result))
          result = cyclic->RegisterClient(CYCLIC_CLIENT_ASIO, &format, plan.MsPerUrb, plan.Urbs,
                                          &CAsioPrivate::AsioCyclicCallbackEntry, this, &record);
        if (NT_SUCCESS(result)) {
          CSpinLockScope lock(m_AsioRingLock);
          m_AsioEngines[i].Client = record;
          m_AsioEngines[i].ClientHandle = record->Handle;
          m_AsioEngines[i].ClientPrepared = 0;
        }
        return result;
      });
  if (!NT_SUCCESS(status)) AsioCloseStreamClients();
  return status;
}

NTSTATUS CAsioPrivate::AsioUnprepareClient(ULONG index, ICyclicControl* cyclic) {
  const NTSTATUS status = cyclic->UnprepareClient(m_AsioEngines[index].ClientHandle);
  // STATUS_INVALID_PARAMETER: the engine holds nothing prepared by that
  // handle, so nothing is owed either.
  if (!NT_SUCCESS(status) && status != STATUS_INVALID_PARAMETER) return status;
  m_AsioEngines[index].ClientPrepared = 0;
  return STATUS_SUCCESS;
}

NTSTATUS CAsioPrivate::AsioCloseStreamClients() {
  NTSTATUS result = STATUS_SUCCESS;
  for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
    const PVOID handle = m_AsioEngines[i].ClientHandle;
    if (!handle) continue;
    ICyclicControl* cyclic = CyclicOf(AsioEngine(i));
    // A client still prepared stays ours until the engine lets it go: its
    // registration names this object.
    const NTSTATUS status =
        cyclic && m_AsioEngines[i].ClientPrepared ? AsioUnprepareClient(i, cyclic) : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) {
      DbgPrint("ASIO client of engine %lu kept: unprepare 0x%08X\n", static_cast<unsigned long>(i),
               static_cast<unsigned>(status));
      if (NT_SUCCESS(result)) result = status;
      cyclic->Release();
      continue;
    }
    {
      // Its callback no longer finds an entry from here on.
      CSpinLockScope lock(m_AsioRingLock);
      m_AsioEngines[i].Client = nullptr;
      m_AsioEngines[i].ClientHandle = nullptr;
      m_AsioEngines[i].ClientPrepared = 0;
    }
    if (!cyclic) continue;
    // A handle the engine no longer knows (it let the client go itself) is
    // refused, which leaves nothing to do.
    cyclic->UnregisterClient(handle);
    cyclic->Release();
  }
  return result;
}

NTSTATUS CAsioPrivate::AsioStopStreamClients() {
  NTSTATUS result = STATUS_SUCCESS;
  // Every engine gets its stop, whatever another answered. After StopClient
  // the client is off the running list whatever it returned; an unprepare
  // the engine refuses stays owed.
  AsioForEachStreamEngine([](const AsioEngineEntry& e) { return e.ClientHandle != nullptr; },
                          [&](ULONG i, IStreamEngine*, ICyclicControl* cyclic) {
                            cyclic->StopClient(m_AsioEngines[i].ClientHandle, nullptr);
                            const NTSTATUS status =
                                m_AsioEngines[i].ClientPrepared ? AsioUnprepareClient(i, cyclic) : STATUS_SUCCESS;
                            if (NT_SUCCESS(result)) result = status;
                            return STATUS_SUCCESS;
                          });
  m_AsioStreamsRunning = 0;
  return result;
}

NTSTATUS CAsioPrivate::AsioStartStreams() {
  PAGED_CODE();
  AsioClientRecord* owner = m_AsioOwner;
  if (!owner) return STATUS_INVALID_PARAMETER;
  ULONG lastFrame = 0;
  NTSTATUS status = AsioForEachStreamEngine(
      [](const AsioEngineEntry& e) { return e.ClientHandle != nullptr; },
      [&](ULONG i, IStreamEngine* engine, ICyclicControl* cyclic) {
        WAVEFORMATEXTENSIBLE format{};
        ULONG msPerUrb = 0, frame = 0;
        // Only a registered client prepares: an unprepare owed from the
        // last stop comes first.
        NTSTATUS result = m_AsioEngines[i].ClientPrepared ? AsioUnprepareClient(i, cyclic) : STATUS_SUCCESS;
        if (NT_SUCCESS(result)) result = AsioBuildFormat(engine, owner, &format);
        if (NT_SUCCESS(result)) result = cyclic->PrepareClient(m_AsioEngines[i].ClientHandle, &msPerUrb, &frame);
        if (NT_SUCCESS(result)) m_AsioEngines[i].ClientPrepared = 1;
        if (frame) lastFrame = frame;
        return result;
      });
  if (NT_SUCCESS(status) && !lastFrame) m_Device.QueryBusTime(&lastFrame);
  // Inputs first, so that the first capture is there when the first render
  // transfer completes.
  const ULONG startFrame = lastFrame + 5;
  for (ULONG capture : {1u, 0u}) {
    if (!NT_SUCCESS(status)) break;
    status = AsioForEachStreamEngine(
        [capture](const AsioEngineEntry& e) { return e.ClientHandle && e.State.IsInput == capture; },
        [&](ULONG i, IStreamEngine*, ICyclicControl* cyclic) {
          ULONG msPerUrb = 0;
          return cyclic->StartClient(m_AsioEngines[i].ClientHandle, startFrame, &msPerUrb, nullptr);
        });
  }
  if (!NT_SUCCESS(status)) {
    // Half-started streams would carry on without an owner who knows it.
    AsioStopStreamClients();
    return status;
  }
  m_AsioStreamsRunning = 1;
  AsioSendStreamingState(1);
  return STATUS_SUCCESS;
}

void CAsioPrivate::AsioStopStreams() {
  PAGED_CODE();
  AsioStopStreamClients();
  AsioSendStreamingState(0);
}

// ============================================================================
// Blocks, Stop and disposal
// ============================================================================

void CAsioPrivate::AsioFreeBlocks() {
  PAGED_CODE();
  for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
    AsioEngineEntry taken{};
    {
      CSpinLockScope lock(m_AsioRingLock);
      taken = m_AsioEngines[i];
      m_AsioEngines[i].Block = nullptr;
      m_AsioEngines[i].Mdl = nullptr;
      m_AsioEngines[i].UserAddress = nullptr;
      m_AsioEngines[i].Process = nullptr;
      m_AsioEngines[i].BlockBytes = 0;
      m_AsioEngines[i].State = {};
    }
    if (!taken.Block) continue;
    if (taken.UserAddress) {
      // A mapping is undone in the process that holds it, whichever thread
      // disposes of it (a removal runs on a system thread).
      const bool attach = PsGetCurrentProcess() != taken.Process;
      KAPC_STATE apc{};
      if (attach) KeStackAttachProcess(taken.Process, &apc);
      MmUnmapLockedPages(taken.UserAddress, taken.Mdl);
      if (attach) KeUnstackDetachProcess(&apc);
    }
    if (taken.Process) ObDereferenceObject(taken.Process);
    if (taken.Mdl) IoFreeMdl(taken.Mdl);
    ExFreePool(taken.Block);
  }
}

void CAsioPrivate::AsioStopOwner(AsioClientRecord* owner) {
  PAGED_CODE();
  PKEVENT event = AsioTakeSwitchEvent(owner);
  if (event) {
    KeClearEvent(event);
    ObDereferenceObject(event);
  }
  if (m_AsioStoppedByPower)
    m_AsioStoppedByPower = 0;
  else
    AsioStopStreams();
  const UCHAR silence = m_AsioDsd ? ASIO_DSD_SILENCE : 0;
  CSpinLockScope lock(m_AsioRingLock);
  for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
    const AsioEngineEntry& e = m_AsioEngines[i];
    if (e.Block && e.State.Selected) RtlFillMemory(e.Block + ASIO_BLOCK_HEADER_BYTES, e.State.Size, silence);
  }
}

void CAsioPrivate::AsioDispose(AsioClientRecord* owner) {
  PAGED_CODE();
  // Streams still running are stopped first: their engines would go on
  // filling and draining the rings freed below.
  if (owner->SwitchEvent) AsioStopOwner(owner);
  AsioCloseStreamClients();
  AsioFreeBlocks();
  owner->Prepared = 0;
  m_AsioBuffersCreated = 0;
  m_AsioOwner = nullptr;
}

void CAsioPrivate::AsioClearStartEvent() {
  CSpinLockScope lock(m_AsioRingLock);
  if (m_AsioOwner && m_AsioOwner->SwitchEvent) KeClearEvent(m_AsioOwner->SwitchEvent);
}

PKEVENT CAsioPrivate::AsioOwnerSwitchEvent() {
  CSpinLockScope lock(m_AsioRingLock);
  return m_AsioOwner ? m_AsioOwner->SwitchEvent : nullptr;
}

void CAsioPrivate::AsioShutdown(NTSTATUS heldStopStatus) {
  PAGED_CODE();
  PFILE_OBJECT file = nullptr;
  if (PIRP held = AsioTakeHeldStop(&file)) {
    held->IoStatus.Information = 0;
    PcCompleteIrp(m_Device.AsioDeviceObject(), held, heldStopStatus);
  }
  CKernelMutexScope lock(m_PowerMutex);
  m_AsioDeviceGone = 1;
  AsioClientRecord* owner = m_AsioOwner;
  if (!owner) return;
  // The streams end with the device, but the blocks stay mapped until the
  // owner disposes of them or closes: its thread may be in the rings now.
  if (owner->SwitchEvent) AsioStopOwner(owner);
  AsioCloseStreamClients();
  AsioSignalClients();
}

void CAsioPrivate::AsioFreeClients() {
  CKernelMutexScope lock(m_PowerMutex);
  if (m_AsioOwner) AsioDispose(m_AsioOwner);
  while (m_AsioClients.Flink != &m_AsioClients) {
    AsioClientRecord* client = ClientOf(m_AsioClients.Flink);
    RemoveClient(client);
    DereferenceEvent(&client->SwitchEvent);
    DereferenceEvent(&client->NotifyEvent);
    ExFreePool(client);
  }
}

// ---- The held Stop --------------------------------------------------------------------------

NTSTATUS CAsioPrivate::AsioHoldStop(PFILE_OBJECT fileObject, PIRP irp) {
  bool cancelled = false;
  {
    CSpinLockScope lock(m_AsioStopLock);
    if (m_AsioPendingStop) return STATUS_INVALID_PARAMETER;
    // Pending before it is stored: from then on another thread may
    // complete it.
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = this;
    m_AsioPendingStop = irp;
    m_AsioPendingStopFile = fileObject;
    // A host that goes away leaves nothing waiting for the next D0.
    IoSetCancelRoutine(irp, &CAsioPrivate::AsioStopCancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
      cancelled = true;
      m_AsioPendingStop = nullptr;
      m_AsioPendingStopFile = nullptr;
    }
  }
  if (cancelled) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return STATUS_PENDING;
}

PIRP CAsioPrivate::AsioTakeHeldStop(PFILE_OBJECT* fileObject, PFILE_OBJECT onlyFor) {
  CSpinLockScope lock(m_AsioStopLock);
  PIRP irp = m_AsioPendingStop;
  if (!irp || (onlyFor && m_AsioPendingStopFile != onlyFor)) return nullptr;
  // No routine left: the cancel routine runs and completes it.
  if (!IoSetCancelRoutine(irp, nullptr)) return nullptr;
  *fileObject = m_AsioPendingStopFile;
  m_AsioPendingStop = nullptr;
  m_AsioPendingStopFile = nullptr;
  return irp;
}

void CAsioPrivate::AsioStopCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  auto* self = static_cast<CAsioPrivate*>(irp->Tail.Overlay.DriverContext[0]);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  bool mine = false;
  {
    CSpinLockScope lock(self->m_AsioStopLock);
    if (self->m_AsioPendingStop == irp) {
      mine = true;
      self->m_AsioPendingStop = nullptr;
      self->m_AsioPendingStopFile = nullptr;
    }
  }
  if (!mine) return;
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ============================================================================
// IAsioPrivate
// ============================================================================

NTSTATUS CAsioPrivate::Open(PFILE_OBJECT fileObject) {
  PAGED_CODE();
  CKernelMutexScope lock(m_PowerMutex);
  auto* client = static_cast<AsioClientRecord*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(AsioClientRecord), USB_DEVICE_DATA_TAG));
  if (!client) return STATUS_UNSUCCESSFUL;
  std::memset(static_cast<void*>(client), 0, sizeof(*client));
  client->FileObject = fileObject;
  client->SampleType = m_AsioActiveSampleType;
  client->LatencyIndex = m_AsioLatencyIndex;
  client->SampleRate = m_AsioSampleRate;
  InsertClient(&m_AsioClients, client);
  return STATUS_SUCCESS;
}

NTSTATUS CAsioPrivate::Reserved() { return STATUS_UNSUCCESSFUL; }

NTSTATUS CAsioPrivate::Close(PFILE_OBJECT fileObject) {
  PAGED_CODE();
  // A Stop this file left waiting cannot outlive the file.
  PFILE_OBJECT heldFile = nullptr;
  if (PIRP held = AsioTakeHeldStop(&heldFile, fileObject)) {
    held->IoStatus.Status = STATUS_CANCELLED;
    held->IoStatus.Information = 0;
    IoCompleteRequest(held, IO_NO_INCREMENT);
  }
  CKernelMutexScope lock(m_PowerMutex);
  AsioClientRecord* client = AsioFindClient(fileObject);
  if (!client) return STATUS_UNSUCCESSFUL;
  if (client->Prepared) AsioDispose(client);
  DereferenceEvent(&client->SwitchEvent);
  if (client == m_AsioOwner) {
    m_AsioOwner = nullptr;
    m_AsioBuffersCreated = 0;
  }
  if (!m_AsioBuffersCreated) {
    ULONG selected = m_AsioSelectedSampleType;
    AccessSetting(m_Device.AsioDeviceObject(), SETTINGS_WRITE, &selected, sizeof(selected), u"ASIOMLDataBitDepth");
    m_AsioActiveSampleType = selected;
  }
  DereferenceEvent(&client->NotifyEvent);
  RemoveClient(client);
  ExFreePool(client);
  return STATUS_SUCCESS;
}

NTSTATUS CAsioPrivate::GetDriverName(PFILE_OBJECT fileObject, PCHAR buffer, PULONG length) {
  if (!length) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord*) { return AsioDriverName(buffer, length); });
}

NTSTATUS CAsioPrivate::AsioDriverName(PCHAR buffer, PULONG length) {
  const ULONG room = *length;
  WCHAR text[ASIO_DRIVER_NAME_MAX_CHARS + 1];
  ULONG chars = 0;
  if (NT_SUCCESS(m_Device.AsioProductName(text, &chars, ASIO_DRIVER_NAME_MAX_CHARS))) {
    if (room == 0) {
      *length = chars + 1;
      return STATUS_BUFFER_OVERFLOW;
    }
    if (room < chars + 1 || !buffer) {
      *length = 0;
      return STATUS_BUFFER_TOO_SMALL;
    }
    // Characters beyond Latin-1 have no ANSI form.
    for (ULONG i = 0; i < chars; ++i) buffer[i] = static_cast<CHAR>(text[i] <= 0xFF ? text[i] : '?');
    buffer[chars] = 0;
    *length = chars + 1;
    return STATUS_SUCCESS;
  }
  const ULONG needed = sizeof(ASIO_DEFAULT_DRIVER_NAME);
  if (room == 0) {
    *length = needed;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (!buffer) return STATUS_INVALID_PARAMETER;
  // The default name is cut to fit; what is reported is what was copied.
  const ULONG copied = room < needed ? room : needed;
  std::memcpy(buffer, ASIO_DEFAULT_DRIVER_NAME, copied - 1);
  buffer[copied - 1] = 0;
  *length = copied;
  return STATUS_SUCCESS;
}

NTSTATUS CAsioPrivate::GetChannels(PFILE_OBJECT fileObject, PVOID record, ULONG length) {
  if (!record || length < sizeof(AsioChannelsRecord)) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord*) {
    AsioChannelsRecord channels{};
    for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
      IStreamEngine* engine = AsioEngine(i);
      if (!engine) continue;
      ++channels.Engines;
      (engine->IsCapture() ? channels.InputChannels : channels.OutputChannels) += AsioChannels(engine, m_AsioDsd);
    }
    std::memcpy(record, &channels, sizeof(channels));
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::GetChannelInfo(PFILE_OBJECT fileObject, PVOID record, ULONG length) {
  if (!record || length < sizeof(AsioChannelInfoRecord)) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) { return AsioChannelInfo(client, record); });
}

NTSTATUS CAsioPrivate::AsioChannelInfo(const AsioClientRecord* client, PVOID record) {
  AsioChannelInfoRecord info;
  std::memcpy(&info, record, sizeof(info));
  const ULONG direction = info.IsInput ? STREAM_DIRECTION_CAPTURE : STREAM_DIRECTION_RENDER;
  CPoolBuffer name(PagedPool, STREAM_ENGINE_NAME_CHARS * sizeof(WCHAR), USB_DEVICE_DATA_TAG);
  if (!name) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG first = 0;
  for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
    IStreamEngine* engine = AsioEngine(i);
    if (!engine || engine->IsCapture() != direction) continue;
    const ULONG channels = AsioChannels(engine, client->DsdMode);
    if (info.Channel - first >= channels) {
      first += channels;
      continue;
    }
    PWSTR wide = name.As<WCHAR>();
    wide[0] = 0;
    engine->GetName(wide);
    wide[STREAM_ENGINE_NAME_CHARS - 1] = 0;
    CHAR ansi[STREAM_ENGINE_NAME_CHARS];
    ULONG n = 0;
    for (; n + 1 < STREAM_ENGINE_NAME_CHARS && wide[n]; ++n) ansi[n] = static_cast<CHAR>(wide[n] <= 0xFF ? wide[n] : '?');
    ansi[n] = 0;
    info.IsActive = m_AsioOwner != nullptr;
    info.Group = 0;
    info.SampleType = client->DsdMode ? ASIO_DSD_SAMPLE_TYPE : m_AsioActiveSampleType;
    std::memset(info.Name, 0, sizeof(info.Name));
    RtlStringCchPrintfA(info.Name, sizeof(info.Name), "%s_%02d ch", ansi, static_cast<int>(info.Channel - first));
    std::memcpy(record, &info, sizeof(info));
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS CAsioPrivate::SetNotifyEvent(PFILE_OBJECT fileObject, PHANDLE eventHandle) {
  if (!eventHandle) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    return client->NotifyEvent ? STATUS_INVALID_PARAMETER : ReferenceUserEvent(*eventHandle, &client->NotifyEvent);
  });
}

NTSTATUS CAsioPrivate::ReleaseNotifyEvent(PFILE_OBJECT fileObject) {
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    if (!client->NotifyEvent) return STATUS_INVALID_PARAMETER;
    DereferenceEvent(&client->NotifyEvent);
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::GetBuffersCreated(PFILE_OBJECT fileObject, PULONG created) {
  if (!created) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord*) {
    *created = m_AsioBuffersCreated;
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::GetSampleTypes(PFILE_OBJECT fileObject, PVOID record, PULONG length) {
  if (!length) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) { return AsioSampleTypes(client, record, length); });
}

NTSTATUS CAsioPrivate::AsioSampleTypes(AsioClientRecord* client, PVOID record, PULONG length) {
  // A bit per type of the table, kept while every engine carries it.
  constexpr ULONG kTypes = sizeof(AsioPcmSampleTypes) / sizeof(AsioPcmSampleTypes[0]);
  ULONG common = 0;
  bool any = false;
  for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
    IStreamEngine* engine = AsioEngine(i);
    if (!engine) continue;
    ULONG carried = 0;
    ForEachFormat(engine, [&](const WAVEFORMATEXTENSIBLE&, const FormatView& v) {
      const ULONG code = IsPcm(v) ? SampleTypeOf(v) : 0;
      for (ULONG t = 0; t < kTypes; ++t)
        if (AsioPcmSampleTypes[t].Code == code) carried |= 1u << t;
    });
    common = any ? common & carried : carried;
    any = true;
  }
  ULONG count = 0;
  for (ULONG t = 0; t < kTypes; ++t) count += (common >> t) & 1;
  const ULONG needed = sizeof(AsioSampleTypesHeader) + count * sizeof(ULONG);
  if (!record && *length == 0) {
    *length = needed;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (!record || *length < needed) {
    *length = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  auto* out = static_cast<PUCHAR>(record);
  const AsioSampleTypesHeader header{m_AsioSelectedSampleType, count};
  std::memcpy(out, &header, sizeof(header));
  ULONG at = sizeof(header);
  for (ULONG t = 0; t < kTypes; ++t) {
    if (!((common >> t) & 1)) continue;
    std::memcpy(out + at, &AsioPcmSampleTypes[t].Code, sizeof(ULONG));
    at += sizeof(ULONG);
  }
  client->SampleType = m_AsioSelectedSampleType;
  *length = needed;
  return STATUS_SUCCESS;
}

NTSTATUS CAsioPrivate::GetLatencyTable(PFILE_OBJECT fileObject, PVOID record, PULONG length) {
  if (!length) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    client->LatencyIndex = m_AsioLatencyIndex;
    if (!record && *length == 0) {
      *length = sizeof(AsioLatencyTableRecord);
      return STATUS_BUFFER_OVERFLOW;
    }
    if (!record || *length < sizeof(AsioLatencyTableRecord)) {
      *length = 0;
      return STATUS_BUFFER_TOO_SMALL;
    }
    AsioLatencyTableRecord table{m_AsioLatencyIndex, ASIO_LATENCY_COUNT, {}};
    for (ULONG i = 0; i < ASIO_LATENCY_COUNT; ++i) table.Milliseconds[i] = AsioLatencyTable[i];
    std::memcpy(record, &table, sizeof(table));
    *length = sizeof(table);
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::SetSampleType(PFILE_OBJECT fileObject, ULONG sampleType) {
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    // Only a type the rings can be sized for: it becomes the active one,
    // and is stored, when a client closes.
    if (!FindAsioSampleType(sampleType)) return STATUS_INVALID_PARAMETER;
    client->SampleType = sampleType;
    m_AsioSelectedSampleType = sampleType;
    AsioSignalClients();
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::SetLatencyIndex(PFILE_OBJECT fileObject, ULONG index) {
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    // An index past the table would be read, and stored, as one.
    if (index > ASIO_MAX_LATENCY_INDEX) return STATUS_INVALID_PARAMETER;
    client->LatencyIndex = index;
    m_AsioLatencyIndex = index;
    AccessSetting(m_Device.AsioDeviceObject(), SETTINGS_WRITE, &index, sizeof(index), u"ASIOMLDataLatency");
    AsioSignalClients();
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::GetLatencies(PFILE_OBJECT fileObject, PVOID record) {
  if (!record) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    client->LatencyIndex = m_AsioLatencyIndex;
    const ULONG ms = AsioLatencyTable[client->LatencyIndex];
    const ULONG r = client->SampleRate;
    AsioLatenciesRecord latencies{};
    if (!client->DsdMode) {
      latencies.Input = r / 1000 * ms;
      latencies.Output = latencies.Input * 2;
    } else if (r < ASIO_DSD_MIN_RATE) {
      latencies.Input = ms * ASIO_DSD_LOW_RATE_INPUT;
      latencies.Output = ms * ASIO_DSD_LOW_RATE_OUTPUT;
    } else {
      ULONG k = 0, perMs = 0;
      DsdFamily(r, &k, &perMs);
      latencies.Input = k * ms * perMs;
      latencies.Output = k * ms * perMs * 2;
    }
    std::memcpy(record, &latencies, sizeof(latencies));
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::GetSampleRate(PFILE_OBJECT fileObject, PULONG rate) {
  if (!rate) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord*) {
    *rate = m_AsioSampleRate;
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::CanSampleRate(PFILE_OBJECT fileObject, PULONG rate) {
  if (!rate) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject,
                        [&](AsioClientRecord* client) { return AsioCheckRate(*rate, client->DsdMode); });
}

NTSTATUS CAsioPrivate::SetSampleRate(PFILE_OBJECT fileObject, PULONG rate) {
  if (!rate) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    ULONG value = *rate;
    if (client->DsdMode ? value < ASIO_DSD_MIN_RATE : value >= ASIO_DSD_MIN_RATE) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = AsioCheckRate(value, client->DsdMode);
    if (!NT_SUCCESS(status)) return status;
    if (!client->Prepared) client->SampleRate = value;
    m_AsioSampleRate = value;
    AccessSetting(m_Device.AsioDeviceObject(), SETTINGS_WRITE, &value, sizeof(value), u"ASIOMLSampleRate");
    if (client->Prepared) AsioSignalClients();
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::GetBufferSize(PFILE_OBJECT fileObject, PVOID record) {
  if (!record) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    client->LatencyIndex = m_AsioLatencyIndex;
    const ULONG i = client->LatencyIndex;
    const ULONG r = client->SampleRate;
    AsioBufferSizeRecord sizes{};
    if (!client->DsdMode) {
      sizes.Minimum = r / 1000 * AsioLatencyTable[0];
      sizes.Maximum = r / 1000 * AsioLatencyTable[ASIO_MAX_LATENCY_INDEX];
      sizes.Preferred = r / 1000 * AsioLatencyTable[i];
      sizes.Granularity = 1;
    } else {
      if (r < ASIO_DSD_MIN_RATE || (r % ASIO_RATE_FAMILY_44 != 0 && r % ASIO_RATE_FAMILY_48 != 0))
        return STATUS_INVALID_PARAMETER;
      ULONG k = 0, perMs = 0;
      DsdFamily(r, &k, &perMs);
      sizes.Minimum = k * AsioLatencyTable[1] * perMs;
      sizes.Maximum = k * AsioLatencyTable[ASIO_MAX_LATENCY_INDEX] * perMs;
      sizes.Preferred = k * AsioLatencyTable[i < 1 ? 1 : i] * perMs;
      sizes.Granularity = k;
    }
    std::memcpy(record, &sizes, sizeof(sizes));
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::CreateBuffers(PFILE_OBJECT fileObject, PVOID request, PVOID addresses, PULONG length) {
  PAGED_CODE();
  if (m_Device.IsDeviceRemoved()) return STATUS_INVALID_PARAMETER;
  CKernelMutexScope lock(m_PowerMutex);
  AsioClientRecord* client = AsioFindClient(fileObject);
  if (!request || !addresses || !length || !client) return STATUS_INVALID_PARAMETER;
  // Buffers that exist stay the only ones: new blocks over them would leak
  // the old with their mappings and stream clients.
  if (client->Prepared) return STATUS_INVALID_PARAMETER;
  if (m_AsioDeviceGone) return STATUS_DEVICE_NOT_CONNECTED;
  if (!m_AsioOwner) m_AsioOwner = client;
  if (client != m_AsioOwner) return STATUS_INVALID_PARAMETER;

  // Everything the request says is read before the answer overwrites it
  // (one system buffer carries both).
  AsioCreateBuffersHeader header;
  std::memcpy(&header, request, sizeof(header));
  const auto* channels = static_cast<const UCHAR*>(request) + sizeof(header);

  const ULONG dsd = client->DsdMode;
  const ULONG rate = client->SampleRate;
  NTSTATUS status = STATUS_SUCCESS;
  // A rate the engines do not carry, or one too low to give a frame per
  // millisecond, would size rings and URBs of nothing.
  if ((dsd ? rate < ASIO_DSD_MIN_RATE : rate >= ASIO_DSD_MIN_RATE || rate < 1000) ||
      !NT_SUCCESS(AsioCheckRate(rate, dsd)))
    status = STATUS_INVALID_PARAMETER;

  const ULONG bytesPerSample = dsd ? ASIO_DSD_BYTES_PER_SAMPLE : AsioBytesPerSample(m_AsioActiveSampleType);
  if (NT_SUCCESS(status) && !bytesPerSample) status = STATUS_INVALID_PARAMETER;
  ULONG engines = 0;
  ULONG firstChannel[2] = {0, 0};
  for (ULONG i = 0; NT_SUCCESS(status) && i < m_AsioEngineCount; ++i) {
    IStreamEngine* engine = AsioEngine(i);
    if (!engine) continue;
    ++engines;
    const ULONG c = AsioChannels(engine, dsd);
    if (c == 0) {
      status = STATUS_UNSUCCESSFUL;
      break;
    }
    const ULONGLONG frameBytes = ULONGLONG{c} * bytesPerSample;
    const ULONGLONG framesPerSecond = dsd ? rate / ASIO_DSD_SAMPLE_DIVISOR : rate;
    const ULONGLONG ring = frameBytes * framesPerSecond * ASIO_RING_MILLISECONDS / 1000 / frameBytes * frameBytes;
    if (ring == 0 || ring > ASIO_MAX_RING_BYTES) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    // Whole pages: the host's mapping shows the block and nothing else.
    const ULONG blockBytes = static_cast<ULONG>(ROUND_TO_PAGES(ASIO_BLOCK_HEADER_BYTES + ring));
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, blockBytes, USB_DEVICE_DATA_TAG));
    PMDL mdl = block ? IoAllocateMdl(block, blockBytes, FALSE, TRUE, nullptr) : nullptr;
    PVOID user = nullptr;
    if (mdl) {
      std::memset(block, 0, blockBytes);
      if (dsd) RtlFillMemory(block + ASIO_BLOCK_HEADER_BYTES, static_cast<SIZE_T>(ring), ASIO_DSD_SILENCE_AT_CREATE);
      MmBuildMdlForNonPagedPool(mdl);
      user = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
    }
    if (!user) {
      if (mdl) IoFreeMdl(mdl);
      if (block) ExFreePool(block);
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    const ULONG direction = engine->IsCapture() ? 1 : 0;
    CSpinLockScope ringLock(m_AsioRingLock);
    AsioEngineEntry& e = m_AsioEngines[i];
    e.Block = block;
    e.BlockBytes = blockBytes;
    e.Mdl = mdl;
    e.UserAddress = user;
    // The process is attached to for the unmapping, maybe after its last
    // handle went: it stays while the mapping does.
    e.Process = PsGetCurrentProcess();
    ObReferenceObject(e.Process);
    e.State = {};
    e.State.IsInput = direction;
    e.State.Channels = c;
    e.State.FirstChannel = firstChannel[direction];
    e.State.Size = static_cast<ULONG>(ring);
    firstChannel[direction] += c;
  }
  if (NT_SUCCESS(status) && engines == 0) status = STATUS_INVALID_PARAMETER;

  if (NT_SUCCESS(status)) {
    m_AsioBufferFrames = header.BufferFrames;
    CSpinLockScope ringLock(m_AsioRingLock);
    for (ULONG n = 0; n < header.Count; ++n) {
      AsioBufferRequest wanted;
      std::memcpy(&wanted, channels + n * sizeof(wanted), sizeof(wanted));
      for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
        AsioChannelBlockHeader& s = m_AsioEngines[i].State;
        if (m_AsioEngines[i].Block && s.IsInput == (wanted.IsInput ? 1u : 0u) &&
            wanted.Channel - s.FirstChannel < s.Channels)
          s.Selected = 1;
      }
    }
  }
  if (NT_SUCCESS(status) && *length != engines * sizeof(ULONGLONG)) status = STATUS_INVALID_PARAMETER;

  if (NT_SUCCESS(status)) {
    // The switch source: the last selected input, else the last selected
    // engine.
    LONG source = -1;
    for (ULONG pass = 0; pass < 2 && source < 0; ++pass)
      for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
        const AsioChannelBlockHeader& s = m_AsioEngines[i].State;
        if (m_AsioEngines[i].Block && s.Selected && (pass == 1 || s.IsInput)) source = static_cast<LONG>(i);
      }
    CSpinLockScope ringLock(m_AsioRingLock);
    if (source >= 0) m_AsioEngines[source].State.SwitchSource = 1;
    auto* out = static_cast<PUCHAR>(addresses);
    ULONG at = 0;
    for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
      if (!m_AsioEngines[i].Block) continue;
      AsioPublish(i);
      const auto address = static_cast<ULONGLONG>(reinterpret_cast<ULONG_PTR>(m_AsioEngines[i].UserAddress));
      std::memcpy(out + at, &address, sizeof(address));
      at += sizeof(address);
    }
  }
  if (NT_SUCCESS(status)) status = AsioOpenStreamClients(client);
  if (!NT_SUCCESS(status)) {
    AsioFreeBlocks();
    if (client == m_AsioOwner) m_AsioBuffersCreated = 0;
    return status;
  }
  // Set here rather than with the owner: an owner whose earlier attempt
  // failed has buffers only now.
  client->Prepared = 1;
  m_AsioBuffersCreated = 1;
  *length = engines * sizeof(ULONGLONG);
  return STATUS_SUCCESS;
}

NTSTATUS CAsioPrivate::DisposeBuffers(PFILE_OBJECT fileObject) {
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    if (client != m_AsioOwner) return STATUS_INVALID_PARAMETER;
    AsioDispose(client);
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::Start(PFILE_OBJECT fileObject, PHANDLE eventHandle) {
  if (!eventHandle) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    if (client != m_AsioOwner || !client->Prepared || client->SwitchEvent) return STATUS_INVALID_PARAMETER;
    if (m_AsioDeviceGone) return STATUS_DEVICE_NOT_CONNECTED;
    PKEVENT event = nullptr;
    NTSTATUS status = ReferenceUserEvent(*eventHandle, &event);
    if (!NT_SUCCESS(status)) return status;
    status = AsioStartStreams();
    if (!NT_SUCCESS(status)) {
      // Nothing runs, so nothing may keep the event.
      ObDereferenceObject(event);
      return status;
    }
    AsioResetRings(event);
    return STATUS_SUCCESS;
  });
}

NTSTATUS CAsioPrivate::Stop(PFILE_OBJECT fileObject, PIRP irp) {
  PAGED_CODE();
  CKernelMutexScope lock(m_PowerMutex);
  AsioClientRecord* client = AsioFindClient(fileObject);
  if (!client || client != m_AsioOwner) return STATUS_INVALID_PARAMETER;
  // The removal stopped the streams: the host learns why.
  if (!client->SwitchEvent) return m_AsioDeviceGone && client->Prepared ? STATUS_DEVICE_NOT_CONNECTED : STATUS_INVALID_PARAMETER;
  // A suspended device keeps the request until it is back in D0, when the
  // power path stops the streams it restarted. A request that could only
  // fail is answered at once rather than held for a D0 that may never come.
  if (m_Device.AsioPowerState() != PowerDeviceD0 && irp) return AsioHoldStop(fileObject, irp);
  AsioStopOwner(client);
  return STATUS_SUCCESS;
}

NTSTATUS CAsioPrivate::AsioCheckIoFormat(ULONG mode) {
  if (mode > 1) return STATUS_INVALID_PARAMETER;
  bool any = false;
  for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
    IStreamEngine* engine = AsioEngine(i);
    if (!engine) continue;
    any = true;
    if (!AsioEngineHasIoFormat(engine, mode)) return STATUS_UNSUCCESSFUL;
  }
  return any ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CAsioPrivate::CanIoFormat(PFILE_OBJECT fileObject, PULONG mode) {
  if (!mode) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord*) { return AsioCheckIoFormat(*mode); });
}

NTSTATUS CAsioPrivate::SetIoFormat(PFILE_OBJECT fileObject, PULONG mode) {
  if (!mode) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    NTSTATUS status = AsioCheckIoFormat(*mode);
    if (NT_SUCCESS(status)) client->DsdMode = *mode;
    return status;
  });
}

NTSTATUS CAsioPrivate::GetIoFormat(PFILE_OBJECT fileObject, PULONG mode) {
  if (!mode) return STATUS_INVALID_PARAMETER;
  return AsioWithClient(fileObject, [&](AsioClientRecord* client) {
    *mode = client->DsdMode;
    return STATUS_SUCCESS;
  });
}

// ============================================================================
// The device's side
// ============================================================================

namespace {

struct AsioDefaultSampleType {
  USHORT vendorId;
  USHORT productId;
  ULONG sampleType;
};
constexpr AsioDefaultSampleType kAsioDefaultSampleTypes[] = {
    {0x0B05, 0x17F3, 17}, {0x0B05, 0x17A8, 27}, {0x0B05, 0x17CD, 27}, {0x1043, 0x8592, 27}, {0x1043, 0x8593, 27},
};

}  // namespace

CAsioPrivate::CAsioPrivate(PUNKNOWN owner, IAsioDeviceLink& device, CKernelMutex& powerMutex)
    : m_Owner(owner), m_Device(device), m_PowerMutex(powerMutex) {
  KeInitializeSpinLock(&m_AsioRingLock);
  KeInitializeSpinLock(&m_AsioStopLock);
  m_AsioClients.Flink = m_AsioClients.Blink = &m_AsioClients;
}

CAsioPrivate::~CAsioPrivate() {
  if (m_AsioEngines) ExFreePool(m_AsioEngines);
  m_AsioEngines = nullptr;
  m_AsioEngineCount = 0;
}

NTSTATUS CAsioPrivate::ConfigureEngines() {
  ULONG engines = m_Device.GetStreamEngineCount();
  if (engines) {
    m_AsioEngines = static_cast<AsioEngineEntry*>(
        ExAllocatePoolWithTag(NonPagedPool, SIZE_T(engines) * sizeof(AsioEngineEntry), USB_DEVICE_DATA_TAG));
    if (!m_AsioEngines) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(static_cast<void*>(m_AsioEngines), 0, SIZE_T(engines) * sizeof(AsioEngineEntry));
    m_AsioEngineCount = engines;
  }
  LoadAsioSettings();
  return STATUS_SUCCESS;
}

void CAsioPrivate::LoadAsioSettings() {
  PDEVICE_OBJECT deviceObject = m_Device.AsioDeviceObject();
  m_AsioActiveSampleType = ASIO_DEFAULT_SAMPLE_TYPE;
  m_AsioSelectedSampleType = ASIO_DEFAULT_SAMPLE_TYPE;
  m_AsioLatencyIndex = ASIO_DEFAULT_LATENCY_INDEX;
  m_AsioSampleRate = ASIO_DEFAULT_SAMPLE_RATE;
  AccessSetting(deviceObject, SETTINGS_READ, &m_AsioActiveSampleType, sizeof(ULONG), u"ASIOMLDataBitDepth");
  AccessSetting(deviceObject, SETTINGS_READ, &m_AsioSelectedSampleType, sizeof(ULONG), u"ASIOMLDataBitDepth");
  AccessSetting(deviceObject, SETTINGS_READ, &m_AsioLatencyIndex, sizeof(ULONG), u"ASIOMLDataLatency");
  AccessSetting(deviceObject, SETTINGS_READ, &m_AsioSampleRate, sizeof(ULONG), u"ASIOMLSampleRate");
  // Stored values index tables, size rings and divide rates later: a
  // sample type a host never could have chosen falls back to the start
  // value, an index past the table stops at its end.
  if (!FindAsioSampleType(m_AsioActiveSampleType)) m_AsioActiveSampleType = ASIO_DEFAULT_SAMPLE_TYPE;
  if (!FindAsioSampleType(m_AsioSelectedSampleType)) m_AsioSelectedSampleType = ASIO_DEFAULT_SAMPLE_TYPE;
  if (m_AsioLatencyIndex > ASIO_MAX_LATENCY_INDEX) m_AsioLatencyIndex = ASIO_MAX_LATENCY_INDEX;
  // A rate is held to what SetSampleRate would take, in the mode its
  // range names (a device without ASIO engines has none to hold it to).
  if (m_AsioSampleRate == 0 ||
      AsioCheckRate(m_AsioSampleRate, m_AsioSampleRate >= ASIO_DSD_MIN_RATE) == STATUS_UNSUCCESSFUL) {
    DbgPrint("stored ASIOMLSampleRate %lu ignored: no ASIO engine carries it\n",
             static_cast<unsigned long>(m_AsioSampleRate));
    m_AsioSampleRate = ASIO_DEFAULT_SAMPLE_RATE;
  }

  // A device whose first ASIO-capable engine finds no stored sample type
  // gets its vendor's.
  ULONG engines = m_Device.GetStreamEngineCount();
  for (ULONG i = 0; i < engines; ++i) {
    DeviceCapsRecord caps{};
    if (!NT_SUCCESS(m_Device.GetStreamEngineCaps(i, &caps)) || !(caps.Flags & DEVICE_CAPS_FLAG_ASIO)) continue;
    ULONG stored = 0;
    NTSTATUS status = AccessSetting(deviceObject, SETTINGS_READ, &stored, sizeof(stored), u"ASIOMLDataBitDepth");
    if (status != STATUS_OBJECT_NAME_NOT_FOUND) continue;
    ULONG sampleType = ASIO_DEFAULT_SAMPLE_TYPE;
    bool known = false;
    for (const AsioDefaultSampleType& d : kAsioDefaultSampleTypes)
      if (d.vendorId == m_Device.AsioVendorId() && d.productId == m_Device.AsioProductId()) {
        sampleType = d.sampleType;
        known = true;
      }
    m_AsioActiveSampleType = sampleType;
    m_AsioSelectedSampleType = sampleType;
    if (known) AccessSetting(deviceObject, SETTINGS_WRITE, &sampleType, sizeof(sampleType), u"ASIOMLDataBitDepth");
    break;
  }
}

void CAsioPrivate::PowerUp() {
  if (m_AsioStoppedByPower) {
    AsioStartStreams();
    AsioResetRings(AsioOwnerSwitchEvent());
    m_AsioStoppedByPower = 0;
  }
}

void CAsioPrivate::PowerDown() {
  if (m_AsioStreamsRunning) {
    AsioStopStreams();
    AsioClearStartEvent();
    m_AsioStoppedByPower = 1;
  }
}

void CAsioPrivate::CompleteHeldStop() {
  PFILE_OBJECT file = nullptr;
  PIRP irp = AsioTakeHeldStop(&file);
  if (irp) {
    NTSTATUS status = Stop(file, irp);
    irp->IoStatus.Information = 0;
    PcCompleteIrp(m_Device.AsioDeviceObject(), irp, status);
  }
}
