#include "sim/host/Host.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "ks/ksguid.h"

namespace sim::host {
namespace {

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Lets time move: in manual mode the clock steps; in real time we wait.
void Tick(bool realtime) {
  if (realtime)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  else
    platform::clock::AdvanceMs(1);
}

// Lets time move while `more()` holds, calling `advance(position)` with the
// pin's position after each new notification. Fails with the position's
// status when the stream reports a failure, and with STATUS_IO_TIMEOUT when
// a second of ticks passed without a notification: the stream made no
// progress.
NTSTATUS FollowPosition(platform::portcls::Pin* pin, bool realtime, const std::function<bool()>& more,
                        const std::function<void(ULONG)>& advance) {
  ULONG lastNotifications = 0;
  int idle = 0;
  while (more()) {
    if (idle == 1000) return STATUS_IO_TIMEOUT;
    Tick(realtime);
    const ULONG notifications = pin->Notifications();
    if (notifications == lastNotifications) {
      ++idle;
      continue;
    }
    idle = 0;
    lastNotifications = notifications;
    ULONG position = 0;
    const NTSTATUS status = pin->GetPosition(&position);
    if (!NT_SUCCESS(status)) return status;
    advance(position);
  }
  return STATUS_SUCCESS;
}

// The pin's format for `wav`: what the miniport's intersection makes of a
// range at the WAV's rate and sample size, with as many channels as the
// pin's own range allows (the audio engine mixes into the device's layout).
bool IntersectFormat(FilterHandle* filter, ULONG pinId, const WavData& wav, KSDATAFORMAT_WAVEFORMATEXTENSIBLE* out) {
  const PCFILTER_DESCRIPTOR& d = filter->Descriptor();
  if (pinId >= d.PinCount) return false;
  const KSPIN_DESCRIPTOR& pin = d.Pins[pinId].KsPinDescriptor;
  for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
    const KSDATARANGE* own = pin.DataRanges[i];
    if (!own || own->FormatSize < sizeof(KSDATARANGE_AUDIO) || !(own->MajorFormat == KSDATAFORMAT_TYPE_AUDIO))
      continue;
    KSDATARANGE_AUDIO client{};
    std::memcpy(&client, own, sizeof client);
    client.DataRange.FormatSize = sizeof client;
    client.DataRange.SubFormat = wav.formatTag == 3 ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    client.MinimumSampleFrequency = client.MaximumSampleFrequency = wav.sampleRate;
    client.MinimumBitsPerSample = client.MaximumBitsPerSample = wav.bitsPerSample;
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE result{};
    ULONG size = sizeof result;
    if (NT_SUCCESS(filter->Filter()->DataIntersection(pinId, &client.DataRange, sizeof client, &result, &size)) &&
        size >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) && result.WaveFormatExt.Format.nChannels) {
      *out = result;
      return true;
    }
  }
  return false;
}

// `wav` in another channel count: mono goes to the first two channels,
// otherwise channels map in order and the rest are silent.
WavData WithChannels(const WavData& wav, uint16_t channels) {
  WavData out = wav;
  out.channels = channels;
  const uint32_t bytes = wav.bitsPerSample / 8u, frames = wav.Frames();
  out.samples.assign(static_cast<size_t>(frames) * out.BlockAlign(), 0);
  for (uint32_t f = 0; f < frames; ++f) {
    for (uint16_t c = 0; c < channels; ++c) {
      const uint16_t from = wav.channels == 1 ? (c < 2 ? 0 : wav.channels) : c;
      if (from >= wav.channels) continue;
      std::memcpy(&out.samples[(static_cast<size_t>(f) * channels + c) * bytes],
                  &wav.samples[(static_cast<size_t>(f) * wav.channels + from) * bytes], bytes);
    }
  }
  return out;
}

std::string Hex(ULONG v) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%X", v);
  return text;
}

}  // namespace

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::u16string Widen(const std::string& s) {
  std::u16string out;
  for (char c : s) out.push_back(static_cast<unsigned char>(c));
  return out;
}

namespace {

// Sends `irp` (allocated for at least `top`'s stack) to `top`, built as
// the I/O manager would, waits for it and frees it.
IrpResult SendAllocatedIrp(PIRP irp, PDEVICE_OBJECT top, const IrpRequest& r) {
  irp->IoStatus.Status = r.major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  irp->UserBuffer = r.output;
  irp->RequestorMode = UserMode;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = r.major;
  next->MinorFunction = r.minor;
  next->FileObject = r.file;
  if (r.major == IRP_MJ_DEVICE_CONTROL) {
    next->Parameters.DeviceIoControl.IoControlCode = r.ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = r.inputLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = r.outputLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = r.input;
  } else if (r.major == IRP_MJ_POWER) {
    next->Parameters.Power.Type = r.powerType;
    next->Parameters.Power.State = r.powerState;
  } else if (r.major == IRP_MJ_PNP && r.minor == IRP_MN_QUERY_CAPABILITIES) {
    next->Parameters.DeviceCapabilities.Capabilities = r.capabilities;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  IrpResult result{irp->IoStatus.Status, irp->IoStatus.Information};
  IoFreeIrp(irp);
  return result;
}

}  // namespace

IrpResult SendIrp(PDEVICE_OBJECT device, const IrpRequest& r) {
  // As the I/O manager does, the top device is held for the whole request:
  // a removal that deletes it midway leaves it in memory until the IRP is
  // done with it.
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  IrpResult result{STATUS_INSUFFICIENT_RESOURCES, 0};
  if (irp) result = SendAllocatedIrp(irp, top, r);
  ObDereferenceObject(top);
  return result;
}

// ---- FilterHandle ------------------------------------------------------------------------------

FilterHandle::~FilterHandle() {
  if (!m_File) return;
  IrpRequest close;
  close.major = IRP_MJ_CLOSE;
  close.file = m_File;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(m_Device);
  // The close uses the IRP kept for it since the open, as the I/O manager's
  // close cannot fail for want of memory: a close that never reached the
  // driver would leave its filter open for good.
  if (m_CloseIrp && m_CloseIrp->StackCount >= top->StackSize) {
    SendAllocatedIrp(m_CloseIrp, top, close);
  } else {
    if (m_CloseIrp) IoFreeIrp(m_CloseIrp);
    SendIrp(m_Device, close);
  }
  ObDereferenceObject(top);
  platform::io::DeleteFileObject(m_File);
}

NTSTATUS FilterHandle::Property(const GUID& set, ULONG id, ULONG verb, ULONG node, const void* instance,
                                ULONG instanceSize, void* value, ULONG* valueSize) {
  ULONG header = node == ULONG(-1) ? sizeof(KSPROPERTY) : sizeof(KSNODEPROPERTY);
  std::vector<UCHAR> request(header + instanceSize);
  auto* p = reinterpret_cast<KSNODEPROPERTY*>(request.data());
  p->Property.Set = set;
  p->Property.Id = id;
  p->Property.Flags = verb | (node == ULONG(-1) ? 0 : KSPROPERTY_TYPE_TOPOLOGY);
  if (node != ULONG(-1)) p->NodeId = node;
  if (instanceSize) std::memcpy(request.data() + header, instance, instanceSize);
  IrpRequest r;
  r.file = m_File;
  r.ioControlCode = IOCTL_KS_PROPERTY;
  r.input = request.data();
  r.inputLength = static_cast<ULONG>(request.size());
  r.output = value;
  r.outputLength = valueSize ? *valueSize : 0;
  IrpResult result = SendIrp(m_Device, r);
  if (valueSize) *valueSize = static_cast<ULONG>(result.information);
  return result.status;
}

NTSTATUS FilterHandle::GetChannelValue(const GUID& set, ULONG id, ULONG node, LONG channel, LONG* value) {
  ULONG instance[2] = {static_cast<ULONG>(channel), 0};
  ULONG size = sizeof(LONG);
  return Property(set, id, KSPROPERTY_TYPE_GET, node, instance, sizeof(instance), value, &size);
}

NTSTATUS FilterHandle::SetChannelValue(const GUID& set, ULONG id, ULONG node, LONG channel, LONG value) {
  ULONG instance[2] = {static_cast<ULONG>(channel), 0};
  ULONG size = sizeof(LONG);
  return Property(set, id, KSPROPERTY_TYPE_SET, node, instance, sizeof(instance), &value, &size);
}

NTSTATUS FilterHandle::EnableEvent(const GUID& set, ULONG id, ULONG node, PKSEVENTDATA data, PKEVENT event) {
  KSE_NODE request{};
  request.Event.Set = set;
  request.Event.Id = id;
  request.Event.Flags = KSEVENT_TYPE_ENABLE | (node == ULONG(-1) ? 0 : KSEVENT_TYPE_TOPOLOGY);
  request.NodeId = node;
  *data = {};
  data->NotificationType = KSEVENTF_EVENT_OBJECT;
  data->EventObject.Event = event;
  IrpRequest r;
  r.file = m_File;
  r.ioControlCode = IOCTL_KS_ENABLE_EVENT;
  r.input = &request;
  r.inputLength = node == ULONG(-1) ? sizeof(KSEVENT) : sizeof(KSE_NODE);
  r.output = data;
  r.outputLength = sizeof(*data);
  return SendIrp(m_Device, r).status;
}

NTSTATUS FilterHandle::DisableEvent(PKSEVENTDATA data) {
  IrpRequest r;
  r.file = m_File;
  r.ioControlCode = IOCTL_KS_DISABLE_EVENT;
  r.input = data;
  r.inputLength = sizeof(KSEVENTDATA);
  return SendIrp(m_Device, r).status;
}

// ---- Work beside the stream ---------------------------------------------------------------------

namespace {

// A system thread running `routine(context)`, referenced; null when the
// system gives none.
PVOID StartThread(PKSTART_ROUTINE routine, PVOID context) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, routine, context)))
    return nullptr;
  PVOID thread = nullptr;
  if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr)))
    thread = nullptr;
  ZwClose(handle);
  return thread;
}

bool ThreadEnded(PVOID thread) {
  LARGE_INTEGER now{};
  return KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &now) != STATUS_TIMEOUT;
}

// How long work waits for a thread the system does not give at once.
constexpr int kThreadRetryTicks = 1000;

}  // namespace

BackgroundWork::BackgroundWork(std::function<void()> work) : m_Work(std::move(work)) {
  m_Thread = StartThread([](PVOID context) { static_cast<BackgroundWork*>(context)->m_Work(); }, this);
}

BackgroundWork::~BackgroundWork() {
  Wait();
  if (m_Thread) ObDereferenceObject(m_Thread);
}

bool BackgroundWork::Done() const { return !m_Thread ? m_GaveUp : ThreadEnded(m_Thread); }

void BackgroundWork::Wait() {
  const bool realtime = platform::clock::GetMode() == platform::clock::Mode::RealTime;
  // Everything that can run at this instant runs first: work that needs no
  // time takes none.
  if (!realtime) platform::clock::Advance(0);
  // Work run here instead could wait for time that only this thread moves:
  // without a thread of its own it waits for one, and is not done at all
  // when none comes.
  for (int tries = 0; !m_Thread && !m_GaveUp; ++tries) {
    if (tries == kThreadRetryTicks) {
      m_GaveUp = true;
      break;
    }
    Tick(realtime);
    m_Thread = StartThread([](PVOID context) { static_cast<BackgroundWork*>(context)->m_Work(); }, this);
  }
  while (!Done()) Tick(realtime);
}

NTSTATUS WhileTimePasses(const std::function<NTSTATUS()>& work) {
  // On a thread the clock waits for (work already beside the stream), time
  // passes as it is: the work runs here, and this thread moves no time.
  if (platform::clock::CurrentThreadIsWaitedFor()) return work();
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;  // until the work has run
  BackgroundWork([&] { status = work(); }).Wait();
  return status;
}

bool RunWhileTimePasses(const std::function<void()>& work) {
  bool ran = false;
  WhileTimePasses([&] {
    work();
    ran = true;
    return STATUS_SUCCESS;
  });
  return ran;
}

// ---- Pins --------------------------------------------------------------------------------------

PinStateThread::PinStateThread(platform::portcls::Pin* pin) : m_Pin(pin) {
  KeInitializeEvent(&m_Request, SynchronizationEvent, FALSE);
  KeInitializeEvent(&m_Done, NotificationEvent, FALSE);
  m_Thread = StartThread([](PVOID context) { static_cast<PinStateThread*>(context)->Main(); }, this);
}

PinStateThread::~PinStateThread() {
  if (!m_Thread) return;
  if (m_Pin->State() != KSSTATE_STOP) Change(KSSTATE_STOP);
  m_Quit = true;
  KeSetEvent(&m_Request, IO_NO_INCREMENT, FALSE);
  const bool realtime = platform::clock::GetMode() == platform::clock::Mode::RealTime;
  while (!ThreadEnded(m_Thread)) Tick(realtime);
  ObDereferenceObject(m_Thread);
}

void PinStateThread::Main() {
  for (;;) {
    KeWaitForSingleObject(&m_Request, Executive, KernelMode, FALSE, nullptr);
    if (m_Quit) return;
    m_Status = m_Pin->SetState(m_Target);
    KeSetEvent(&m_Done, IO_NO_INCREMENT, FALSE);
  }
}

NTSTATUS PinStateThread::Change(KSSTATE state) {
  if (!m_Thread) return STATUS_INSUFFICIENT_RESOURCES;
  KeClearEvent(&m_Done);
  m_Target = state;
  KeSetEvent(&m_Request, IO_NO_INCREMENT, FALSE);
  const bool realtime = platform::clock::GetMode() == platform::clock::Mode::RealTime;
  while (!KeReadStateEvent(&m_Done)) Tick(realtime);
  return m_Status;
}

namespace {

// Runs the pin while `more()` holds, following its position, then stops and
// closes it. The state changes run on one thread made before the pin runs,
// so that a running pin always has a thread for its stop: it must never be
// closed running. Without that thread the pin never left STOP.
NTSTATUS RunPin(platform::portcls::Pin* pin, bool realtime, const std::function<bool()>& more,
                const std::function<void(ULONG)>& advance) {
  NTSTATUS status = STATUS_SUCCESS, stop = STATUS_SUCCESS;
  {
    PinStateThread states(pin);
    status = states.Change(KSSTATE_RUN);
    if (NT_SUCCESS(status)) status = FollowPosition(pin, realtime, more, advance);
    if (pin->State() != KSSTATE_STOP) stop = states.Change(KSSTATE_STOP);
  }
  platform::portcls::Pin::Close(pin);
  return NT_SUCCESS(status) ? stop : status;
}

}  // namespace

// ---- Host --------------------------------------------------------------------------------------

Host::~Host() { Unload(); }

void Host::Unload() {
  if (m_Fdo) Remove();
  if (m_Driver) {
    if (m_Driver->DriverUnload) m_Driver->DriverUnload(m_Driver);
    platform::io::DeleteDriverObject(m_Driver);
  }
  m_Driver = nullptr;
}

PDEVICE_OBJECT Host::Top() const { return m_Pdo ? IoGetAttachedDevice(m_Pdo) : nullptr; }

NTSTATUS Host::LoadDriver(DriverEntryRoutine entry, const std::u16string& serviceName) {
  if (m_Driver || !entry) return STATUS_INVALID_DEVICE_STATE;
  m_Driver = platform::io::CreateDriverObject(u"\\Driver\\" + serviceName);
  if (!m_Driver) return STATUS_INSUFFICIENT_RESOURCES;
  m_ServicePath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
  UNICODE_STRING path;
  path.Buffer = m_ServicePath.data();
  path.Length = path.MaximumLength = static_cast<USHORT>(m_ServicePath.size() * sizeof(WCHAR));
  NTSTATUS status = entry(m_Driver, &path);
  if (!NT_SUCCESS(status)) {
    platform::io::DeleteDriverObject(m_Driver);
    m_Driver = nullptr;
  }
  return status;
}

NTSTATUS Host::AddDevice(PDEVICE_OBJECT pdo) {
  if (!m_Driver || !m_Driver->DriverExtension->AddDevice || m_Fdo) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = m_Driver->DriverExtension->AddDevice(m_Driver, pdo);
  if (!NT_SUCCESS(status)) return status;
  m_Pdo = pdo;
  m_Fdo = pdo->AttachedDevice;
  return STATUS_SUCCESS;
}

NTSTATUS Host::Start() {
  if (!m_Fdo) return STATUS_INVALID_DEVICE_STATE;
  IrpRequest r;
  r.major = IRP_MJ_PNP;
  r.minor = IRP_MN_START_DEVICE;
  // A start may wait for the device (a codec reset pause).
  NTSTATUS status = WhileTimePasses([&] { return SendIrp(m_Pdo, r).status; });
  m_Started = NT_SUCCESS(status);
  return status;
}

NTSTATUS Host::SurpriseRemove() {
  if (!m_Fdo) return STATUS_INVALID_DEVICE_STATE;
  IrpRequest r;
  r.major = IRP_MJ_PNP;
  r.minor = IRP_MN_SURPRISE_REMOVAL;
  return SendIrp(m_Pdo, r).status;
}

NTSTATUS Host::Remove() {
  if (!m_Fdo) return STATUS_INVALID_DEVICE_STATE;
  IrpRequest r;
  r.major = IRP_MJ_PNP;
  r.minor = IRP_MN_REMOVE_DEVICE;
  // A stream may still run (a prompt the driver plays by itself); its stop
  // waits for the transfers in flight.
  bool sent = false;
  NTSTATUS status = WhileTimePasses([&] {
    sent = true;
    return SendIrp(m_Pdo, r).status;
  });
  // Without a thread to send it on, the device stays for another try.
  if (!sent) return status;
  m_Fdo = nullptr;
  m_Started = false;
  return status;
}

NTSTATUS Host::SetDevicePower(DEVICE_POWER_STATE state) {
  if (!m_Fdo) return STATUS_INVALID_DEVICE_STATE;
  IrpRequest r;
  r.major = IRP_MJ_POWER;
  r.minor = IRP_MN_SET_POWER;
  r.powerType = DevicePowerState;
  r.powerState.DeviceState = state;
  // The return to D0 may wait for the device as a start does.
  return WhileTimePasses([&] { return SendIrp(m_Pdo, r).status; });
}

NTSTATUS Host::QueryCapabilities(DEVICE_CAPABILITIES* capabilities) {
  if (!m_Fdo) return STATUS_INVALID_DEVICE_STATE;
  *capabilities = {};
  capabilities->Size = sizeof(*capabilities);
  capabilities->Version = 1;
  IrpRequest r;
  r.major = IRP_MJ_PNP;
  r.minor = IRP_MN_QUERY_CAPABILITIES;
  r.capabilities = capabilities;
  return SendIrp(m_Pdo, r).status;
}

std::vector<platform::portcls::SubdeviceInfo> Host::Filters() const {
  return m_Fdo ? platform::portcls::Subdevices(m_Fdo) : std::vector<platform::portcls::SubdeviceInfo>{};
}

NTSTATUS Host::OpenFilter(const std::u16string& name, FilterHandle** filter) {
  *filter = nullptr;
  if (!m_Fdo) return STATUS_INVALID_DEVICE_STATE;
  PFILE_OBJECT file = platform::io::CreateFileObject(m_Fdo, u"\\" + name);
  if (!file) return STATUS_INSUFFICIENT_RESOURCES;
  PIRP closeIrp = IoAllocateIrp(IoGetAttachedDevice(m_Pdo)->StackSize, FALSE);
  if (!closeIrp) {
    platform::io::DeleteFileObject(file);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IrpRequest r;
  r.major = IRP_MJ_CREATE;
  r.file = file;
  NTSTATUS status = SendIrp(m_Pdo, r).status;
  if (!NT_SUCCESS(status) || !file->FsContext) {
    IoFreeIrp(closeIrp);
    platform::io::DeleteFileObject(file);
    return NT_SUCCESS(status) ? STATUS_OBJECT_NAME_NOT_FOUND : status;
  }
  auto* handle = new FilterHandle();
  handle->m_CloseIrp = closeIrp;
  handle->m_Device = m_Pdo;
  handle->m_File = file;
  handle->m_Name = name;
  handle->m_Filter = static_cast<platform::portcls::Filter*>(file->FsContext);
  *filter = handle;
  return STATUS_SUCCESS;
}

KSDATAFORMAT_WAVEFORMATEXTENSIBLE FormatFor(const WavData& wav) {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
  f.DataFormat.FormatSize = sizeof(f.DataFormat) + sizeof(WAVEFORMATEXTENSIBLE);
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  f.DataFormat.SubFormat = wav.formatTag == 3 ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
  f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  f.DataFormat.SampleSize = wav.BlockAlign();
  WAVEFORMATEXTENSIBLE& w = f.WaveFormatExt;
  w.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  w.Format.nChannels = wav.channels;
  w.Format.nSamplesPerSec = wav.sampleRate;
  w.Format.wBitsPerSample = wav.bitsPerSample;
  w.Format.nBlockAlign = static_cast<WORD>(wav.BlockAlign());
  w.Format.nAvgBytesPerSec = wav.sampleRate * wav.BlockAlign();
  w.Format.cbSize = 22;
  w.Samples.wValidBitsPerSample = wav.bitsPerSample;
  w.dwChannelMask = wav.channelMask ? wav.channelMask : wav.channels == 1 ? KSAUDIO_SPEAKER_MONO : KSAUDIO_SPEAKER_STEREO;
  w.SubFormat = f.DataFormat.SubFormat;
  return f;
}

NTSTATUS Host::Render(FilterHandle* waveFilter, const WavData& source, bool realtime,
                      const std::function<void(const StreamProgress&)>& progress) {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = FormatFor(source);
  platform::portcls::Pin* pin = nullptr;
  NTSTATUS status = waveFilter->Filter()->CreatePin(0, &format.DataFormat, &pin);
  // The source is used where it is unless its channels must change.
  WavData remapped;
  const WavData* pinData = &source;
  if (!NT_SUCCESS(status) && IntersectFormat(waveFilter, 0, source, &format)) {
    remapped = WithChannels(source, format.WaveFormatExt.Format.nChannels);
    pinData = &remapped;
    status = waveFilter->Filter()->CreatePin(0, &format.DataFormat, &pin);
  }
  if (!NT_SUCCESS(status)) return status;
  const WavData& wav = *pinData;
  const ULONG size = pin->BufferSize();
  const ULONG block = wav.BlockAlign();
  const auto total = static_cast<ULONG>(wav.samples.size());
  // Write half a buffer ahead of the play position, as the audio engine
  // does: the other half is the margin for what the stream copies out
  // around its reported position.
  const ULONG lead = (size / 2) - (size / 2) % block;
  ULONG written = 0, played = 0, lastPosition = 0;
  auto fill = [&] {
    while (written - played < lead) {
      ULONG room = lead - (written - played);
      ULONG chunk = std::min(room, size - written % size);
      std::vector<UCHAR> data(chunk, 0);
      if (written < total) {
        ULONG have = std::min(chunk, total - written);
        std::memcpy(data.data(), wav.samples.data() + written, have);
      }
      pin->Write(written % size, data.data(), chunk);
      written += chunk;
    }
  };
  fill();
  // Silence follows the audio until a whole buffer more has played, so
  // that what is still in the pipeline reaches the device before the stop.
  const ULONG drained = total + size;
  return RunPin(
      pin, realtime, [&] { return played < drained; },
      [&](ULONG position) {
        played += (position + size - lastPosition) % size;
        lastPosition = position;
        fill();
        if (progress) progress({std::min(played, total), total});
      });
}

NTSTATUS Host::Capture(FilterHandle* waveFilter, const WavData& formatOf, double seconds, bool realtime, WavData* wav,
                       const std::function<void(const StreamProgress&)>& progress,
                       const std::function<void(const WavData&, const uint8_t*, size_t)>& onData) {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = FormatFor(formatOf);
  ULONG pinId = 0;
  const PCFILTER_DESCRIPTOR& d = waveFilter->Descriptor();
  for (ULONG i = 0; i < d.PinCount; ++i)
    if (d.Pins[i].KsPinDescriptor.Communication == KSPIN_COMMUNICATION_SINK) pinId = i;
  platform::portcls::Pin* pin = nullptr;
  NTSTATUS status = waveFilter->Filter()->CreatePin(pinId, &format.DataFormat, &pin);
  if (!NT_SUCCESS(status) && IntersectFormat(waveFilter, pinId, formatOf, &format))
    status = waveFilter->Filter()->CreatePin(pinId, &format.DataFormat, &pin);
  if (!NT_SUCCESS(status)) return status;
  *wav = formatOf;
  // Recorded in the format the pin took.
  wav->channels = format.WaveFormatExt.Format.nChannels;
  wav->samples.clear();
  const ULONG size = pin->BufferSize();
  const auto total = static_cast<ULONG>(seconds * formatOf.sampleRate) * wav->BlockAlign();
  ULONG lastPosition = 0, captured = 0;
  std::vector<UCHAR> data;
  // A recording that stalls or fails keeps what it has, and says that it
  // ended early.
  status = RunPin(
      pin, realtime, [&] { return captured < total; },
      [&](ULONG position) {
        // Read behind the record position: everything up to it is complete.
        const ULONG fresh = (position + size - lastPosition) % size;
        data.resize(fresh);
        pin->Read(lastPosition, data.data(), fresh);
        lastPosition = position;
        const ULONG kept = std::min(fresh, total - captured);
        if (onData)
          onData(*wav, data.data(), kept);
        else
          wav->samples.insert(wav->samples.end(), data.begin(), data.begin() + kept);
        captured += kept;
        if (progress) progress({captured, total});
      });
  return status;
}

// ---- Reports ----------------------------------------------------------------------------------------

std::string DescribeStreamFailure(NTSTATUS status) {
  if (NT_SUCCESS(status)) return {};
  const char* why = nullptr;
  switch (status) {
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_NO_SUCH_DEVICE: why = "the device was removed while the stream ran"; break;
    case STATUS_IO_DEVICE_ERROR: why = "the device's endpoint failed every transfer and the driver gave the stream up"; break;
    case STATUS_IO_TIMEOUT: why = "the stream made no progress for a second"; break;
    case STATUS_INSUFFICIENT_RESOURCES: why = "the system ran out of memory or threads for the stream"; break;
    case STATUS_NO_MATCH: why = "the pin takes no format that could carry the audio"; break;
    default: why = "the stream failed"; break;
  }
  char text[160];
  std::snprintf(text, sizeof text, "%s (0x%08X)", why, static_cast<unsigned>(status));
  return text;
}

std::string DescribeFilter(const std::u16string& name, const PCFILTER_DESCRIPTOR& d) {
  using platform::ks::GuidName;
  std::string out = "filter " + Narrow(name) + "\n  categories:";
  for (ULONG i = 0; i < d.CategoryCount; ++i) {
    out += ' ';
    out += GuidName(d.Categories[i]);
  }
  out += "\n";
  for (ULONG i = 0; i < d.PinCount; ++i) {
    const KSPIN_DESCRIPTOR& p = d.Pins[i].KsPinDescriptor;
    out += "  pin " + std::to_string(i) + ": " + (p.DataFlow == KSPIN_DATAFLOW_IN ? "in" : "out") + ", " +
           (p.Communication == KSPIN_COMMUNICATION_SINK     ? "streaming"
            : p.Communication == KSPIN_COMMUNICATION_NONE   ? "bridge"
                                                            : "communication " + Hex(p.Communication)) +
           ", category " + (p.Category ? GuidName(*p.Category) : "none");
    if (p.Name) out += ", name " + GuidName(*p.Name);
    out += "\n";
    for (ULONG r = 0; r < p.DataRangesCount; ++r) {
      const KSDATARANGE* range = p.DataRanges[r];
      out += "    range " + GuidName(range->SubFormat);
      if (range->FormatSize >= sizeof(KSDATARANGE_AUDIO)) {
        auto* a = reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
        out += ": up to " + std::to_string(a->MaximumChannels) + " ch, " + std::to_string(a->MinimumBitsPerSample) +
               "-" + std::to_string(a->MaximumBitsPerSample) + " bits, " +
               std::to_string(a->MinimumSampleFrequency) + "-" + std::to_string(a->MaximumSampleFrequency) + " Hz";
      }
      out += "\n";
    }
  }
  for (ULONG i = 0; i < d.NodeCount; ++i) {
    const PCNODE_DESCRIPTOR& n = d.Nodes[i];
    out += "  node " + std::to_string(i) + ": " + (n.Type ? GuidName(*n.Type) : "none");
    if (n.Name) out += " (" + GuidName(*n.Name) + ")";
    out += "\n";
  }
  auto end = [](ULONG node, ULONG pin) {
    return (node == PCFILTER_NODE ? std::string("filter") : "node " + std::to_string(node)) + " pin " +
           std::to_string(pin);
  };
  for (ULONG i = 0; i < d.ConnectionCount; ++i) {
    const PCCONNECTION_DESCRIPTOR& c = d.Connections[i];
    out += "  connection " + end(c.FromNode, c.FromNodePin) + " -> " + end(c.ToNode, c.ToNodePin) + "\n";
  }
  return out;
}

std::string DescribeFilters(PDEVICE_OBJECT adapterDevice) {
  std::string out;
  for (const auto& s : platform::portcls::Subdevices(adapterDevice)) out += DescribeFilter(s.name, *s.descriptor);
  for (const auto& c : platform::portcls::PhysicalConnections(adapterDevice))
    out += "physical connection " + Narrow(c.fromSubdevice) + " pin " + std::to_string(c.fromPin) + " -> " +
           Narrow(c.toSubdevice) + " pin " + std::to_string(c.toPin) + "\n";
  return out;
}

}  // namespace sim::host
