#include "sim/host/AsioHost.h"

#include <cmath>
#include <cstring>
#include <numbers>

#include "driver/DriverEntry.h"
#include "sim/device/IsoStreams.h"
#include "sim/host/Host.h"

namespace sim::host {
namespace {

constexpr ULONG kEventTag = MakeTag("UEvt");

// The calling thread runs in the host's process for the scope's duration,
// as a thread of that process would.
class ProcessScope {
 public:
  explicit ProcessScope(PEPROCESS process) : m_Saved(platform::mm::CurrentProcess()) {
    platform::mm::SetCurrentProcess(process);
  }
  ~ProcessScope() { platform::mm::SetCurrentProcess(m_Saved); }
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  PEPROCESS m_Saved;
};

void FreeEvent(void* object) { ExFreePoolWithTag(object, kEventTag); }

ULONG ContainerBytes(ULONG sampleType) {
  const ULONG bytes = AsioBytesPerSample(sampleType);
  return bytes ? bytes : 2;
}

// A word of the shared block the driver changes while the host reads it.
ULONG Shared(const volatile ULONG& word) { return __atomic_load_n(&word, __ATOMIC_ACQUIRE); }

}  // namespace

// ============================================================================
// Events
// ============================================================================

UserEvent::UserEvent(bool manualReset) {
  m_Event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kEventTag));
  if (!m_Event) return;
  KeInitializeEvent(m_Event, manualReset ? NotificationEvent : SynchronizationEvent, FALSE);
  platform::ob::Register(m_Event, *ExEventObjectType, FreeEvent);
  // The process keeps the object through its handle alone.
  m_Handle = platform::ob::CreateHandle(m_Event, false);
  ObDereferenceObject(m_Event);
}

UserEvent::~UserEvent() {
  if (m_Handle) ZwClose(m_Handle);
}

bool UserEvent::Wait(ULONG milliseconds) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
  return m_Event && KeWaitForSingleObject(m_Event, UserRequest, UserMode, FALSE, &timeout) == STATUS_SUCCESS;
}

bool UserEvent::IsSet() const { return m_Event && KeReadStateEvent(m_Event) != 0; }

// ============================================================================
// The host process
// ============================================================================

AsioHost::AsioHost(bool is32bit) : m_Is32bit(is32bit), m_Process(platform::mm::CreateUserProcess(is32bit)) {}

AsioHost::~AsioHost() {
  if (m_File) Exit();
  platform::mm::DeleteUserProcess(m_Process);
}

size_t AsioHost::Mappings() const { return platform::mm::MappingCount(m_Process); }

NTSTATUS AsioHost::Open(PDEVICE_OBJECT pdo) {
  if (m_File) return STATUS_INVALID_PARAMETER;
  for (const platform::io::DeviceInterface& i : platform::io::DeviceInterfaces(&GUID_ASIO_PRIVATE_INTERFACE)) {
    if (!i.enabled || (pdo && i.pdo != pdo)) continue;
    // The interface's link leads to the top of its device's stack; the
    // file is named by the reference string.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(i.pdo);
    PFILE_OBJECT file = platform::io::CreateFileObject(top, u"\\" + i.referenceString);
    m_CleanupIrp = IoAllocateIrp(top->StackSize, FALSE);
    m_CloseIrp = IoAllocateIrp(top->StackSize, FALSE);
    ObDereferenceObject(top);
    if (!file || !m_CleanupIrp || !m_CloseIrp) {
      FreeCloseIrps();
      if (file) platform::io::DeleteFileObject(file);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    platform::io::Request create;
    create.majorFunction = IRP_MJ_CREATE;
    create.fileObject = file;
    create.from32bitProcess = m_Is32bit;
    ProcessScope scope(m_Process);
    NTSTATUS status = platform::io::SendRequest(i.pdo, create);
    if (!NT_SUCCESS(status)) {
      FreeCloseIrps();
      platform::io::DeleteFileObject(file);
      return status;
    }
    m_File = file;
    m_Device = i.pdo;
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS AsioHost::Close() {
  if (!m_File) return STATUS_INVALID_PARAMETER;
  ProcessScope scope(m_Process);
  platform::io::Request request;
  request.fileObject = m_File;
  request.from32bitProcess = m_Is32bit;
  request.majorFunction = IRP_MJ_CLEANUP;
  request.irp = m_CleanupIrp;
  m_CleanupIrp = nullptr;
  platform::io::SendRequest(m_Device, request);
  request.majorFunction = IRP_MJ_CLOSE;
  request.irp = m_CloseIrp;
  m_CloseIrp = nullptr;
  NTSTATUS status = platform::io::SendRequest(m_Device, request);
  platform::io::DeleteFileObject(m_File);
  m_File = nullptr;
  m_Device = nullptr;
  return status;
}

void AsioHost::FreeCloseIrps() {
  for (PIRP* irp : {&m_CleanupIrp, &m_CloseIrp}) {
    if (*irp) IoFreeIrp(*irp);
    *irp = nullptr;
  }
}

void AsioHost::Exit() {
  if (!m_File) return;
  platform::io::CancelFileRequests(m_File);
  Close();
}

NTSTATUS AsioHost::Ioctl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                         ULONG_PTR* information) {
  if (information) *information = 0;
  if (!m_File) return STATUS_INVALID_HANDLE;
  platform::io::Request request;
  request.majorFunction = IRP_MJ_DEVICE_CONTROL;
  request.fileObject = m_File;
  request.ioControlCode = code;
  request.inputBuffer = input;
  request.inputLength = inputLength;
  request.outputBuffer = output;
  request.outputLength = outputLength;
  request.from32bitProcess = m_Is32bit;
  ProcessScope scope(m_Process);
  return platform::io::SendRequest(m_Device, request, information);
}

NTSTATUS AsioHost::IoctlWithHandle(ULONG code, HANDLE handle) {
  const auto value = static_cast<ULONGLONG>(reinterpret_cast<ULONG_PTR>(handle));
  if (m_Is32bit) {
    const auto narrow = static_cast<ULONG>(value);
    return Ioctl(code, &narrow, sizeof(narrow), nullptr, 0);
  }
  return Ioctl(code, &value, sizeof(value), nullptr, 0);
}

NTSTATUS AsioHost::DriverName(std::string* name) {
  ULONG_PTR needed = 0;
  NTSTATUS status = Ioctl(IOCTL_ASIO_GET_DRIVER_NAME, nullptr, 0, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  std::vector<char> text(needed ? needed : 1, 0);
  ULONG_PTR got = 0;
  status = Ioctl(IOCTL_ASIO_GET_DRIVER_NAME, nullptr, 0, text.data(), static_cast<ULONG>(text.size()), &got);
  if (NT_SUCCESS(status)) name->assign(text.data(), strnlen(text.data(), text.size()));
  return status;
}

NTSTATUS AsioHost::Channels(AsioChannelsRecord* channels) {
  return Ioctl(IOCTL_ASIO_GET_CHANNELS, nullptr, 0, channels, sizeof(*channels));
}

NTSTATUS AsioHost::ChannelInfo(ULONG channel, bool input, AsioChannelInfoRecord* info) {
  *info = {};
  info->Channel = channel;
  info->IsInput = input ? 1 : 0;
  return Ioctl(IOCTL_ASIO_GET_CHANNEL_INFO, info, sizeof(*info), info, sizeof(*info));
}

NTSTATUS AsioHost::SampleTypes(ULONG* selected, std::vector<ULONG>* types) {
  ULONG_PTR needed = 0;
  NTSTATUS status = Ioctl(IOCTL_ASIO_GET_SAMPLE_TYPES, nullptr, 0, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  std::vector<ULONG> record(needed / sizeof(ULONG) + 2, 0);
  status = Ioctl(IOCTL_ASIO_GET_SAMPLE_TYPES, nullptr, 0, record.data(), static_cast<ULONG>(needed));
  if (!NT_SUCCESS(status)) return status;
  *selected = record[0];
  const ULONG count = record[1] < record.size() - 2 ? record[1] : static_cast<ULONG>(record.size() - 2);
  types->assign(record.begin() + 2, record.begin() + 2 + count);
  return status;
}

NTSTATUS AsioHost::LatencyTable(AsioLatencyTableRecord* table) {
  return Ioctl(IOCTL_ASIO_GET_LATENCY_TABLE, nullptr, 0, table, sizeof(*table));
}

NTSTATUS AsioHost::SetSampleType(ULONG sampleType) {
  return Ioctl(IOCTL_ASIO_SET_SAMPLE_TYPE, &sampleType, sizeof(sampleType), nullptr, 0);
}

NTSTATUS AsioHost::SetLatencyIndex(ULONG index) {
  return Ioctl(IOCTL_ASIO_SET_LATENCY_INDEX, &index, sizeof(index), nullptr, 0);
}

NTSTATUS AsioHost::Latencies(AsioLatenciesRecord* latencies) {
  return Ioctl(IOCTL_ASIO_GET_LATENCIES, nullptr, 0, latencies, sizeof(*latencies));
}

NTSTATUS AsioHost::SampleRate(ULONG* rate) { return Ioctl(IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, rate, sizeof(*rate)); }

NTSTATUS AsioHost::CanSampleRate(ULONG rate) {
  return Ioctl(IOCTL_ASIO_CAN_SAMPLE_RATE, &rate, sizeof(rate), nullptr, 0);
}

NTSTATUS AsioHost::SetSampleRate(ULONG rate) {
  return Ioctl(IOCTL_ASIO_SET_SAMPLE_RATE, &rate, sizeof(rate), nullptr, 0);
}

NTSTATUS AsioHost::BufferSize(AsioBufferSizeRecord* sizes) {
  return Ioctl(IOCTL_ASIO_GET_BUFFER_SIZE, nullptr, 0, sizes, sizeof(*sizes));
}

NTSTATUS AsioHost::BuffersCreated(ULONG* created) {
  return Ioctl(IOCTL_ASIO_GET_BUFFERS_CREATED, nullptr, 0, created, sizeof(*created));
}

NTSTATUS AsioHost::ReleaseNotifyEvent() { return Ioctl(IOCTL_ASIO_RELEASE_NOTIFY_EVENT, nullptr, 0, nullptr, 0); }

NTSTATUS AsioHost::CreateBuffers(const std::vector<AsioBufferRequest>& channels, ULONG bufferFrames,
                                 std::vector<AsioBlockView>* blocks) {
  blocks->clear();
  AsioChannelsRecord engines{};
  NTSTATUS status = Channels(&engines);
  if (!NT_SUCCESS(status)) return status;
  std::vector<UCHAR> request(sizeof(AsioCreateBuffersHeader) + channels.size() * sizeof(AsioBufferRequest));
  const AsioCreateBuffersHeader header{0, static_cast<ULONG>(channels.size()), bufferFrames};
  std::memcpy(request.data(), &header, sizeof(header));
  if (!channels.empty())
    std::memcpy(request.data() + sizeof(header), channels.data(), channels.size() * sizeof(AsioBufferRequest));
  const ULONG width = m_Is32bit ? sizeof(ULONG) : sizeof(ULONGLONG);
  std::vector<UCHAR> addresses(engines.Engines * width);
  ULONG_PTR information = 0;
  status = Ioctl(IOCTL_ASIO_CREATE_BUFFERS, request.data(), static_cast<ULONG>(request.size()), addresses.data(),
                 static_cast<ULONG>(addresses.size()), &information);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG at = 0; at + width <= information; at += width) {
    AsioBlockView view;
    if (m_Is32bit) {
      ULONG narrow;
      std::memcpy(&narrow, addresses.data() + at, sizeof(narrow));
      view.userAddress = narrow;
    } else {
      std::memcpy(&view.userAddress, addresses.data() + at, sizeof(view.userAddress));
    }
    view.header = static_cast<volatile AsioChannelBlockHeader*>(View(view.userAddress, ASIO_BLOCK_HEADER_BYTES));
    if (view.header)
      view.ring = static_cast<PUCHAR>(View(view.userAddress + ASIO_BLOCK_HEADER_BYTES, view.header->Size));
    blocks->push_back(view);
  }
  return status;
}

NTSTATUS AsioHost::DisposeBuffers() { return Ioctl(IOCTL_ASIO_DISPOSE_BUFFERS, nullptr, 0, nullptr, 0); }

NTSTATUS AsioHost::Stop() { return Ioctl(IOCTL_ASIO_STOP, nullptr, 0, nullptr, 0); }

void* AsioHost::View(ULONG64 userAddress, size_t length) const {
  return platform::mm::UserToKernel(m_Process, userAddress, length);
}

// ============================================================================
// Samples
// ============================================================================

void EncodeAsioSample(double value, ULONG sampleType, PUCHAR at) {
  const ULONG bytes = ContainerBytes(sampleType);
  sim::EncodeSample(value, at, bytes, false);
  // A container wider than its valid bits carries them at the top, as the
  // device's subframe does.
  const AsioSampleType* type = FindAsioSampleType(sampleType);
  const ULONG unused = type ? type->ContainerBits - type->ValidBits : 0;
  for (ULONG bit = 0; bit < unused; bit += 8) at[bit / 8] = 0;
}

double DecodeAsioSample(const UCHAR* at, ULONG sampleType) {
  return sim::DecodeSample(at, ContainerBytes(sampleType), false);
}

// ============================================================================
// A stream
// ============================================================================

namespace {

// The host's side of one shared block during a stream.
struct RingCursor {
  AsioBlockView view;
  ULONG size = 0;
  ULONG frameBytes = 0;
  ULONG cursor = 0;  // render: the next byte to write; capture: the next to read
};

class StreamSession {
 public:
  StreamSession(AsioHost& host, const AsioStreamOptions& options, AsioStreamReport* report)
      : m_Host(host), m_Options(options), m_Report(*report) {}

  void Run() {
    AsioStreamReport& r = m_Report;
    AsioLatencyTableRecord table{};
    AsioBufferSizeRecord sizes{};
    AsioChannelInfoRecord info{};
    if (!Step("IOCTL_ASIO_GET_SAMPLE_RATE", m_Host.SampleRate(&r.rate)) ||
        !Step("IOCTL_ASIO_GET_CHANNELS", m_Host.Channels(&r.channels)) ||
        !Step("IOCTL_ASIO_GET_LATENCY_TABLE", m_Host.LatencyTable(&table)) ||
        !Step("IOCTL_ASIO_GET_BUFFER_SIZE", m_Host.BufferSize(&sizes)) ||
        !Step("IOCTL_ASIO_GET_LATENCIES", m_Host.Latencies(&r.latencies)))
      return;
    const bool anyOutput = r.channels.OutputChannels != 0;
    if (!Step("IOCTL_ASIO_GET_CHANNEL_INFO", m_Host.ChannelInfo(0, !anyOutput, &info))) return;
    r.sampleType = info.SampleType;
    r.latencyIndex = table.Index;
    r.bufferFrames = sizes.Preferred;

    std::vector<AsioBufferRequest> wanted;
    for (ULONG c = 0; c < r.channels.OutputChannels; ++c) wanted.push_back({0, c});
    for (ULONG c = 0; c < r.channels.InputChannels; ++c) wanted.push_back({1, c});
    std::vector<AsioBlockView> blocks;
    if (!Step("IOCTL_ASIO_CREATE_BUFFERS", m_Host.CreateBuffers(wanted, r.bufferFrames, &blocks))) return;
    const ULONG sampleBytes = ContainerBytes(r.sampleType);
    for (const AsioBlockView& b : blocks) {
      if (!b.header || !b.ring || !b.header->Selected) continue;
      RingCursor ring{b, b.header->Size, b.header->Channels * sampleBytes, 0};
      if (b.header->SwitchSource) m_Source = b.header;
      (b.header->IsInput ? m_Inputs : m_Outputs).push_back(ring);
    }
    // The rate streamed at, whether or not an input fills the recording.
    r.recording.sampleRate = r.rate;
    if (!m_Inputs.empty()) {
      r.recording.channels = static_cast<uint16_t>(m_Inputs[0].view.header->Channels);
      r.recording.bitsPerSample = static_cast<uint16_t>(8 * sampleBytes);
    }

    UserEvent bufferSwitch;
    if (!Step("IOCTL_ASIO_START", m_Host.Start(bufferSwitch))) {
      m_Host.DisposeBuffers();
      return;
    }
    for (RingCursor& o : m_Outputs) {
      o.cursor = o.view.header->StartPosition;
      if (!r.preRoll) r.preRoll = o.view.header->PreRoll;
    }
    Exchange();
    const LONGLONG start = platform::clock::Now();
    const LONGLONG end = start + static_cast<LONGLONG>(m_Options.seconds * 1e7);
    ULONG quiet = 0;
    ULONG lastTransfers = 0;
    while (platform::clock::Now() < end) {
      if (!bufferSwitch.Wait(10)) {
        // A second without a buffer switch: the stream has stalled.
        if (++quiet >= 100) {
          r.status = STATUS_IO_TIMEOUT;
          r.failedStep = "buffer switch";
          break;
        }
        continue;
      }
      quiet = 0;
      ++r.switches;
      const ULONG transfers = m_Source ? m_Source->Transfers : 0;
      if (transfers > lastTransfers + 1) r.missed += transfers - lastTransfers - 1;
      lastTransfers = transfers;
      Exchange();
      if (m_Options.onProgress) m_Options.onProgress((platform::clock::Now() - start) / 1e7);
    }
    const NTSTATUS stopped = m_Host.Stop();
    const NTSTATUS disposed = m_Host.DisposeBuffers();
    if (r.failedStep.empty() && Step("IOCTL_ASIO_STOP", stopped) && Step("IOCTL_ASIO_DISPOSE_BUFFERS", disposed))
      r.status = STATUS_SUCCESS;
    r.roundTripFrames = FindOnset();
  }

 private:
  bool Step(const char* name, NTSTATUS status) {
    if (NT_SUCCESS(status)) return true;
    m_Report.status = status;
    m_Report.failedStep = name;
    return false;
  }

  // Outputs up to PreRoll ahead of the driver, inputs up to the driver.
  void Exchange() {
    const ULONG type = m_Report.sampleType;
    const ULONG sampleBytes = ContainerBytes(type);
    for (RingCursor& o : m_Outputs) {
      const ULONG lead = Shared(o.view.header->PreRoll) % o.size;
      const ULONG target = (Shared(o.view.header->Position) % o.size + lead) % o.size;
      ULONG room = (target + o.size - o.cursor) % o.size;
      room -= room % o.frameBytes;
      for (ULONG done = 0; done < room; done += o.frameBytes) {
        const double t = static_cast<double>(m_Report.framesWritten) / m_Report.rate;
        const double value = m_Options.amplitude * std::cos(2 * std::numbers::pi * m_Options.toneHz * t);
        PUCHAR frame = o.view.ring + o.cursor;
        for (ULONG c = 0; c < o.view.header->Channels; ++c) EncodeAsioSample(value, type, frame + c * sampleBytes);
        o.cursor = (o.cursor + o.frameBytes) % o.size;
        if (&o == &m_Outputs.front()) ++m_Report.framesWritten;
      }
    }
    for (RingCursor& in : m_Inputs) {
      const ULONG position = Shared(in.view.header->Position) % in.size;
      ULONG fresh = (position + in.size - in.cursor) % in.size;
      fresh -= fresh % in.frameBytes;
      for (ULONG done = 0; done < fresh; done += in.frameBytes) {
        if (&in == &m_Inputs.front()) {
          const PUCHAR frame = in.view.ring + in.cursor;
          m_Report.recording.samples.insert(m_Report.recording.samples.end(), frame, frame + in.frameBytes);
          ++m_Report.framesRead;
        }
        in.cursor = (in.cursor + in.frameBytes) % in.size;
      }
    }
  }

  // The tone begins at full swing in the host's first output frame; where
  // it first shows in the input is the round trip.
  long FindOnset() const {
    const WavData& w = m_Report.recording;
    const ULONG block = w.BlockAlign();
    if (!block || m_Outputs.empty()) return -1;
    for (size_t f = 0; (f + 1) * block <= w.samples.size(); ++f)
      if (std::fabs(DecodeAsioSample(w.samples.data() + f * block, m_Report.sampleType)) > m_Options.amplitude / 2)
        return static_cast<long>(f);
    return -1;
  }

  AsioHost& m_Host;
  const AsioStreamOptions& m_Options;
  AsioStreamReport& m_Report;
  std::vector<RingCursor> m_Outputs;
  std::vector<RingCursor> m_Inputs;
  volatile AsioChannelBlockHeader* m_Source = nullptr;
};

}  // namespace

AsioStreamReport RunAsioStream(AsioHost& host, const AsioStreamOptions& options) {
  AsioStreamReport report;
  StreamSession session(host, options, &report);
  if (!RunWhileTimePasses([&] { session.Run(); })) {
    report.status = STATUS_INSUFFICIENT_RESOURCES;
    report.failedStep = "host thread";
  }
  return report;
}

}  // namespace sim::host
