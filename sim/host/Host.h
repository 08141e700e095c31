// The host side of the driver: what the plug-and-play manager, the system
// audio engine and a control panel do with it. Loads the driver, builds the
// device stack over a physical device, starts, powers and removes it, opens
// its filters through IRP_MJ_CREATE, sends kernel-streaming property and
// event requests as IRPs, and streams WAV data through a wave pin the way
// the audio engine does.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "portcls/framework.h"
#include "sim/host/Wav.h"

namespace sim::host {

using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

struct IrpResult {
  NTSTATUS status;
  ULONG_PTR information;
};

// One synchronous request to the top of `device`'s stack, built as the I/O
// manager would (METHOD_NEITHER buffers for kernel-streaming controls).
struct IrpRequest {
  UCHAR major = IRP_MJ_DEVICE_CONTROL;
  UCHAR minor = 0;
  PFILE_OBJECT file = nullptr;
  ULONG ioControlCode = 0;
  void* input = nullptr;
  ULONG inputLength = 0;
  void* output = nullptr;
  ULONG outputLength = 0;
  POWER_STATE_TYPE powerType = DevicePowerState;
  POWER_STATE powerState{};
  PDEVICE_CAPABILITIES capabilities = nullptr;
};
IrpResult SendIrp(PDEVICE_OBJECT device, const IrpRequest& request);


// An open filter of the driver, seen through its file object.
class FilterHandle {
 public:
  ~FilterHandle();
  const std::u16string& Name() const { return m_Name; }
  const PCFILTER_DESCRIPTOR& Descriptor() const { return m_Filter->Descriptor(); }
  platform::portcls::Filter* Filter() const { return m_Filter; }

  // IOCTL_KS_PROPERTY. `node` ULONG(-1) addresses the filter; the instance
  // follows the KSPROPERTY or KSNODEPROPERTY; `valueSize` in/out.
  NTSTATUS Property(const GUID& set, ULONG id, ULONG verb, ULONG node, const void* instance, ULONG instanceSize,
                    void* value, ULONG* valueSize);
  // Channel properties of a node (volume, mute, tone ...).
  NTSTATUS GetChannelValue(const GUID& set, ULONG id, ULONG node, LONG channel, LONG* value);
  NTSTATUS SetChannelValue(const GUID& set, ULONG id, ULONG node, LONG channel, LONG value);

  // KSEVENT_CONTROL_CHANGE-style subscriptions signalling `event`.
  NTSTATUS EnableEvent(const GUID& set, ULONG id, ULONG node, PKSEVENTDATA data, PKEVENT event);
  NTSTATUS DisableEvent(PKSEVENTDATA data);

 private:
  friend class Host;
  FilterHandle() = default;
  PDEVICE_OBJECT m_Device = nullptr;
  PFILE_OBJECT m_File = nullptr;
  PIRP m_CloseIrp = nullptr;  // allocated with the open, for the close
  std::u16string m_Name;
  platform::portcls::Filter* m_Filter = nullptr;
};

struct StreamProgress {
  ULONG bytesDone;
  ULONG bytesTotal;
};

class Host {
 public:
  Host() = default;
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  NTSTATUS LoadDriver(DriverEntryRoutine entry, const std::u16string& serviceName);
  // Removes the device if still there, then the driver object.
  void Unload();
  // Builds the stack over a physical device (the caller keeps the PDO).
  NTSTATUS AddDevice(PDEVICE_OBJECT pdo);
  NTSTATUS Start();
  NTSTATUS SurpriseRemove();
  NTSTATUS Remove();
  NTSTATUS SetDevicePower(DEVICE_POWER_STATE state);
  NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities);

  PDRIVER_OBJECT Driver() const { return m_Driver; }
  PDEVICE_OBJECT Pdo() const { return m_Pdo; }
  // The adapter device (the driver's FDO), null before AddDevice.
  PDEVICE_OBJECT AdapterDevice() const { return m_Fdo; }
  PDEVICE_OBJECT Top() const;

  std::vector<platform::portcls::SubdeviceInfo> Filters() const;
  NTSTATUS OpenFilter(const std::u16string& name, FilterHandle** filter);

  // Plays `wav` into a wave filter's streaming pin: writes ahead of the play
  // position, driven by position and notifications, on the manual clock
  // (or in real time). Fails with the pin's status when the format is refused.
  NTSTATUS Render(FilterHandle* waveFilter, const WavData& wav, bool realtime,
                  const std::function<void(const StreamProgress&)>& progress = nullptr);
  // Records `seconds` from a capture pin into `wav` (format from the pin).
  // With `onData` the samples go there as they arrive, in `wav`'s format,
  // and `wav` keeps none.
  NTSTATUS Capture(FilterHandle* waveFilter, const WavData& format, double seconds, bool realtime, WavData* wav,
                   const std::function<void(const StreamProgress&)>& progress = nullptr,
                   const std::function<void(const WavData& format, const uint8_t* data, size_t size)>& onData =
                       nullptr);

 private:
  PDRIVER_OBJECT m_Driver = nullptr;
  std::u16string m_ServicePath;
  PDEVICE_OBJECT m_Pdo = nullptr;
  PDEVICE_OBJECT m_Fdo = nullptr;
  bool m_Started = false;
};

// Work on a system thread of its own, as a control panel's thread works
// beside a running stream. The manual clock waits for the thread to block
// or end before it moves on, so timed runs stay repeatable.
class BackgroundWork {
 public:
  explicit BackgroundWork(std::function<void()> work);
  // Lets time pass until the work is done (or a thread for it could not be
  // had).
  ~BackgroundWork();
  BackgroundWork(const BackgroundWork&) = delete;
  BackgroundWork& operator=(const BackgroundWork&) = delete;

  bool Done() const;
  // Lets time pass (manual mode: a millisecond at a time) until it is done.
  // Work without a thread waits a second for one and then is given up,
  // never run here, where it could wait for time that only this thread
  // moves.
  void Wait();

 private:
  std::function<void()> m_Work;
  PVOID m_Thread = nullptr;  // referenced; null while no thread could be had
  bool m_GaveUp = false;
};

// Runs `work` on a system thread while time passes here: work that waits
// for the device (a stop waits for the transfers still in flight) finishes
// in manual mode only as time moves. STATUS_INSUFFICIENT_RESOURCES, and the
// work not done, when no thread could be had. Called from such a system
// thread, where time moves without it, it runs `work` there.
NTSTATUS WhileTimePasses(const std::function<NTSTATUS()>& work);
// The same for work without a status: false when no thread could be had.
bool RunWhileTimePasses(const std::function<void()>& work);

// The thread that takes a streaming pin through its states, made with the
// pin: RUN and the stop after it never wait for a thread the system may not
// give. Each change lets time pass here until it is done; the destructor
// stops the pin if it is not stopped.
class PinStateThread {
 public:
  explicit PinStateThread(platform::portcls::Pin* pin);
  ~PinStateThread();
  PinStateThread(const PinStateThread&) = delete;
  PinStateThread& operator=(const PinStateThread&) = delete;

  // STATUS_INSUFFICIENT_RESOURCES, nothing changed, when there is no thread.
  NTSTATUS Change(KSSTATE state);

 private:
  void Main();
  platform::portcls::Pin* m_Pin;
  PVOID m_Thread = nullptr;  // referenced
  KEVENT m_Request;
  KEVENT m_Done;
  KSSTATE m_Target = KSSTATE_STOP;
  NTSTATUS m_Status = STATUS_SUCCESS;
  volatile bool m_Quit = false;
};

// Why a stream ended before its end, in words, for a status Render or
// Capture returned (empty for a success).
std::string DescribeStreamFailure(NTSTATUS status);

// Text reports of what the driver describes.
std::string DescribeFilter(const std::u16string& name, const PCFILTER_DESCRIPTOR& d);
std::string DescribeFilters(PDEVICE_OBJECT adapterDevice);
// A KSDATAFORMAT + WAVEFORMATEXTENSIBLE for a WAV's format.
KSDATAFORMAT_WAVEFORMATEXTENSIBLE FormatFor(const WavData& wav);

std::string Narrow(const std::u16string& s);
std::u16string Widen(const std::string& s);

}  // namespace sim::host
