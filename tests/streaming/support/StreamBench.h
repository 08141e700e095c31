// A USB stream engine on a scripted USB stack, without a hardware model or a
// bus: the owner stand-in answers IAudioHal and IUsbDevice, serves the
// synchronous requests itself (SELECT_INTERFACE, class requests, ABORT_PIPE)
// and keeps every isochronous IRP it is given until the test completes it,
// at DISPATCH_LEVEL, with the status the test chooses. The bench engine is a
// small render pipe on the base engine's packet pool, send helpers and
// thread, so that the base's behaviour can be seen on its own.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "streaming/CUsbStreamEngine.h"

namespace streamtest {

constexpr ULONG kEngineId = 1;
constexpr UCHAR kDataEndpoint = 0x01;

// An extensible PCM format; the channel mask defaults to front left and
// right for two channels, front centre otherwise.
constexpr DWORD kDefaultChannelMask = ~0u;
WAVEFORMATEXTENSIBLE Pcm(WORD channels, DWORD rate, WORD bits, DWORD channelMask = kDefaultChannelMask);

// What the stack saw of one isochronous URB when it was passed down.
struct SentUrb {
  USHORT length;
  USHORT function;
  ULONG flags;
  ULONG startFrame;
  ULONG packets;
  ULONG bufferLength;
  USBD_PIPE_HANDLE pipe;
};

// The hardware model's IAudioHal as a stream engine's owner presents it: the
// engine only ever asks it for the device object, which the owner gives.
class OwnerHalStub : public IAudioHal {
 public:
  NTSTATUS STDMETHODCALLTYPE GetStreamEngineCaps(ULONG, DeviceCapsRecord*) override { return STATUS_NOT_SUPPORTED; }
  NTSTATUS STDMETHODCALLTYPE GetComponentId(PKSCOMPONENTID) override { return STATUS_NOT_SUPPORTED; }
  ULONG STDMETHODCALLTYPE GetStreamEngineCount() override { return 0; }
  NTSTATUS STDMETHODCALLTYPE GetStreamEngine(ULONG, IStreamEngine**) override { return STATUS_NOT_SUPPORTED; }
  ULONG STDMETHODCALLTYPE GetNodeCount() override { return 0; }
  NTSTATUS STDMETHODCALLTYPE GetNode(ULONG, ITopoNode**) override { return STATUS_NOT_SUPPORTED; }
  NTSTATUS STDMETHODCALLTYPE Init(PRESOURCELIST, PDEVICE_OBJECT, PDEVICE_OBJECT, PDEVICE_OBJECT) override {
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE Start() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Stop() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID*) override {
    return STATUS_NOT_SUPPORTED;
  }
  NTSTATUS STDMETHODCALLTYPE UnregisterCallback(PVOID) override { return STATUS_NOT_SUPPORTED; }
  NTSTATUS STDMETHODCALLTYPE CancelIdleRequest() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE BuildTopology() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE GetChannelCaps(ULONG, ULONG, DeviceCapsRecord*) override { return STATUS_NOT_SUPPORTED; }
};

class FakeOwner final : public OwnerHalStub, public IUsbDevice, public CUnknownBase {
 public:
  // The configuration holds interface kEngineId with alternate settings 0
  // (no endpoint) and 1..alternates (one isochronous OUT data endpoint with
  // this bInterval).
  FakeOwner(UCHAR alternates, UCHAR bInterval, BOOLEAN highSpeed);
  ~FakeOwner() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  PDEVICE_OBJECT STDMETHODCALLTYPE GetDeviceObject() override { return m_Fdo; }

  // IUsbDevice
  PUSB_CONFIGURATION_DESCRIPTOR STDMETHODCALLTYPE GetConfigurationDescriptor() override { return m_Configuration; }
  USBD_CONFIGURATION_HANDLE STDMETHODCALLTYPE GetConfigurationHandle() override;
  UCHAR STDMETHODCALLTYPE GetControlInterfaceNumber() override { return 0; }
  NTSTATUS STDMETHODCALLTYPE SetDevicePresent(UCHAR) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE CallLowerDriver(PIRP irp) override { return IofCallDriver(m_Lower, irp); }
  NTSTATUS STDMETHODCALLTYPE SubmitUrb(PURB urb) override;
  NTSTATUS STDMETHODCALLTYPE QueryBusTime(PULONG currentFrame) override;
  PIRP STDMETHODCALLTYPE AllocateIrp() override;
  NTSTATUS STDMETHODCALLTYPE FreeIrp(PIRP irp) override;
  BOOLEAN STDMETHODCALLTYPE IsHighSpeed() override { return m_HighSpeed; }
  BOOLEAN STDMETHODCALLTYPE IsDeviceRemoved() override { return removed.load(); }
  BOOLEAN STDMETHODCALLTYPE CyclePort() override {
    ++portCycles;
    return TRUE;
  }
  PDEVICE_OBJECT STDMETHODCALLTYPE GetLowerDevice() override { return m_Lower; }
  LONG STDMETHODCALLTYPE AddBusy() override { return ++busy; }
  LONG STDMETHODCALLTYPE ReleaseBusy() override { return --busy; }
  NTSTATUS STDMETHODCALLTYPE CreateAudioHal() override { return STATUS_NOT_IMPLEMENTED; }

  IAudioHal* Hal() { return static_cast<IAudioHal*>(this); }
  PDEVICE_OBJECT Lower() const { return m_Lower; }
  // The handle SELECT_INTERFACE gives the data pipe of an alternate setting.
  static USBD_PIPE_HANDLE PipeHandle(UCHAR alternateSetting);

  // ---- Isochronous IRPs held by the stack
  size_t Pending();
  // Completes the oldest held IRP at DISPATCH_LEVEL; false when none is held.
  bool CompleteOldest(NTSTATUS status = STATUS_SUCCESS, USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS);
  void CompleteAll(NTSTATUS status = STATUS_SUCCESS, USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS);
  std::vector<SentUrb> Sent();

  // ---- Script and record
  std::atomic<ULONG> frame{5000};
  std::atomic<bool> removed{false};
  std::atomic<LONG> busy{0};
  std::atomic<ULONG> portCycles{0};
  std::atomic<ULONG> irpsAllocated{0};
  std::atomic<ULONG> irpsFreed{0};
  std::atomic<size_t> maxPending{0};
  // The n-th isochronous send from now on (1-based) fails at once with
  // this status; 0: none.
  std::atomic<ULONG> failSendAt{0};
  NTSTATUS failSendStatus = STATUS_INVALID_PARAMETER;
  // The next n isochronous sends complete successfully inside the call that
  // passes them down, as a stack may do.
  std::atomic<ULONG> completeInline{0};
  // SELECT_INTERFACE of this alternate setting fails with selectFailure
  // (-1: none).
  std::atomic<int> failSelectOf{-1};
  NTSTATUS selectFailure = STATUS_UNSUCCESSFUL;
  std::mutex logLock;
  std::vector<UCHAR> selects;          // alternate settings selected, in order
  std::vector<ULONG> sampleRates;      // SET_CUR sampling frequency requests
  std::vector<USBD_PIPE_HANDLE> aborts;

 private:
  static NTSTATUS DispatchInternal(PDEVICE_OBJECT device, PIRP irp);

  PDRIVER_OBJECT m_Driver = nullptr;
  PDEVICE_OBJECT m_Lower = nullptr;
  PDEVICE_OBJECT m_Fdo = nullptr;
  PUSB_CONFIGURATION_DESCRIPTOR m_Configuration = nullptr;
  UCHAR m_Alternates;
  BOOLEAN m_HighSpeed;
  std::mutex m_Lock;
  std::deque<PIRP> m_Held;
  std::vector<SentUrb> m_Sent;
  ULONG m_Sends = 0;
};

// A render pipe of whole milliseconds on the base engine, with the base's
// completion: a success asks the stream thread to refill, an error asks it
// to recover.
class BenchEngine : public CUsbStreamEngine {
 public:
  BenchEngine(PUNKNOWN outer, ULONG interfaceNumber) : CUsbStreamEngine(outer, interfaceNumber, 0) {}

  NTSTATUS OpenForFormat(StreamClientRecord* client, PULONG currentFrame) override;
  NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord* client) override;
  NTSTATUS SendStreamUrb() override;
  // With resubmitInline, completes as the pipes do: a success puts a URB back
  // in flight from the completion itself.
  NTSTATUS OnUrbComplete(PDEVICE_OBJECT deviceObject, PIRP irp, StreamPacket* packet) override;
  bool resubmitInline = false;

  using CUsbStreamEngine::ClaimPacket;
  using CUsbStreamEngine::ReleasePacket;
  using CUsbStreamEngine::SendPipeline;
  ULONG PacketsPerMs() const { return m_PacketsPerMs; }
  LONG RenderProcessors() const { return m_RenderProcessors->GetCount(); }
  LONG CaptureProcessors() const { return m_CaptureProcessors->GetCount(); }
  ULONG UrbCount() const { return m_UrbCount; }
  KSPIN_LOCK* SendLock() { return &m_SendLock; }
  std::atomic<ULONG> opens{0};
  NTSTATUS openFailure = STATUS_SUCCESS;  // the next open fails with it
};

// Engine, owner and a recorder of the engine's notifications.
class StreamBench {
 public:
  explicit StreamBench(UCHAR alternates = 2, UCHAR bInterval = 1, BOOLEAN highSpeed = FALSE);
  ~StreamBench();
  StreamBench(const StreamBench&) = delete;
  StreamBench& operator=(const StreamBench&) = delete;

  BenchEngine* Engine() { return m_Engine; }
  ICyclicControl* Cyclic() { return m_Engine; }
  FakeOwner& Owner() { return *m_Owner; }

  // Registers a client; every client sees every notification, so the
  // notes are those its callback received (clients numbered from 0 in
  // registration order).
  NTSTATUS Register(ULONG kind, const WAVEFORMATEXTENSIBLE& format, ULONG msPerUrb, ULONG urbCount,
                    StreamClientRecord** record);
  std::vector<CyclicControlNotify> Notes(size_t client = 0);
  void ClearNotes();

  // Gives the stream thread the chance to act on what it was told.
  static void Settle();

  static const WAVEFORMATEXTENSIBLE kWave48;   // alternate setting 1
  static const WAVEFORMATEXTENSIBLE kAsio44;   // alternate setting 2

 private:
  static void OnNotify(PVOID context, PVOID argument1, PVOID argument2);

  FakeOwner* m_Owner = nullptr;
  BenchEngine* m_Engine = nullptr;
  struct Receiver {
    StreamBench* bench;
    size_t index;
  };
  std::mutex m_Lock;
  std::deque<Receiver> m_Receivers;
  std::vector<std::pair<size_t, CyclicControlNotify>> m_Notes;
};

}  // namespace streamtest
