// The ASIO host side: what a user-mode ASIO host process does with the
// driver's private interface. It finds the device interface by its class,
// opens it by its name, sends the private I/O controls with its own width (a
// 32-bit process passes 4-byte handles and gets 4-byte addresses), hands
// the driver events it created, and reads and writes the shared blocks
// through its own mapping of them.
//
// Every call runs in the host's simulated process, on whichever thread
// makes it. A stream runs on a thread of the host (RunAsioStream): it waits
// on the buffer-switch event, keeps each render ring PreRoll bytes ahead of
// the driver's position and reads each capture ring up to it, while the
// calling thread moves the clock.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "driver/AsioIoctlTable.h"
#include "driver/AsioPrivate.h"
#include "sim/host/Wav.h"

namespace sim::host {

// An event as a host process creates it (CreateEvent): an object the driver
// references through the handle.
class UserEvent {
 public:
  // Auto-reset unless `manualReset`.
  explicit UserEvent(bool manualReset = false);
  ~UserEvent();
  UserEvent(const UserEvent&) = delete;
  UserEvent& operator=(const UserEvent&) = delete;

  HANDLE Handle() const { return m_Handle; }
  PKEVENT Event() const { return m_Event; }
  // Waits at most `milliseconds` of clock time; true when signalled.
  bool Wait(ULONG milliseconds);
  bool IsSet() const;

 private:
  PKEVENT m_Event = nullptr;
  HANDLE m_Handle = nullptr;
};

// One engine's shared block as the host sees it through its mapping.
struct AsioBlockView {
  ULONG64 userAddress = 0;
  volatile AsioChannelBlockHeader* header = nullptr;
  PUCHAR ring = nullptr;
};

class AsioHost {
 public:
  explicit AsioHost(bool is32bit = false);
  ~AsioHost();
  AsioHost(const AsioHost&) = delete;
  AsioHost& operator=(const AsioHost&) = delete;

  // Opens the ASIO interface of `pdo`'s device (any device's when null):
  // STATUS_OBJECT_NAME_NOT_FOUND when no such interface is enabled.
  NTSTATUS Open(PDEVICE_OBJECT pdo = nullptr);
  NTSTATUS Close();
  bool IsOpen() const { return m_File != nullptr; }
  bool Is32bit() const { return m_Is32bit; }
  PFILE_OBJECT File() const { return m_File; }
  PEPROCESS Process() const { return m_Process; }
  // The process's mappings of driver memory.
  size_t Mappings() const;
  // What the I/O manager does when the process ends: its pending requests
  // are cancelled, then its handle is closed.
  void Exit();

  // One private I/O control as the process sends it.
  NTSTATUS Ioctl(ULONG code, const void* input, ULONG inputLength, void* output, ULONG outputLength,
                 ULONG_PTR* information = nullptr);
  // The handle-carrying controls in the process's width.
  NTSTATUS IoctlWithHandle(ULONG code, HANDLE handle);

  NTSTATUS DriverName(std::string* name);
  NTSTATUS Channels(AsioChannelsRecord* channels);
  NTSTATUS ChannelInfo(ULONG channel, bool input, AsioChannelInfoRecord* info);
  NTSTATUS SampleTypes(ULONG* selected, std::vector<ULONG>* types);
  NTSTATUS LatencyTable(AsioLatencyTableRecord* table);
  NTSTATUS SetSampleType(ULONG sampleType);
  NTSTATUS SetLatencyIndex(ULONG index);
  NTSTATUS Latencies(AsioLatenciesRecord* latencies);
  NTSTATUS SampleRate(ULONG* rate);
  NTSTATUS CanSampleRate(ULONG rate);
  NTSTATUS SetSampleRate(ULONG rate);
  NTSTATUS BufferSize(AsioBufferSizeRecord* sizes);
  NTSTATUS BuffersCreated(ULONG* created);
  NTSTATUS SetNotifyEvent(const UserEvent& event) { return IoctlWithHandle(IOCTL_ASIO_SET_NOTIFY_EVENT, event.Handle()); }
  NTSTATUS ReleaseNotifyEvent();
  // Buffers for `channels`; `blocks` gets one view per ASIO-capable engine,
  // in engine order.
  NTSTATUS CreateBuffers(const std::vector<AsioBufferRequest>& channels, ULONG bufferFrames,
                         std::vector<AsioBlockView>* blocks);
  NTSTATUS DisposeBuffers();
  NTSTATUS Start(const UserEvent& event) { return IoctlWithHandle(IOCTL_ASIO_START, event.Handle()); }
  NTSTATUS Stop();

  // The host's view of `length` bytes at a user address of its process;
  // null when they are not mapped.
  void* View(ULONG64 userAddress, size_t length) const;

 private:
  bool m_Is32bit;
  PEPROCESS m_Process = nullptr;
  PDEVICE_OBJECT m_Device = nullptr;  // the stack the file was opened on
  PFILE_OBJECT m_File = nullptr;
  // Allocated with the open for the cleanup and the close: a close that
  // never reached the driver would leave its client record for good.
  PIRP m_CleanupIrp = nullptr;
  PIRP m_CloseIrp = nullptr;
  void FreeCloseIrps();
};

// ---- A stream ------------------------------------------------------------------------
struct AsioStreamOptions {
  double seconds = 1.0;
  double toneHz = 1000.0;
  double amplitude = 0.5;
  bool realtime = false;
  // Hears the seconds streamed so far, once per buffer switch.
  std::function<void(double)> onProgress;
};

struct AsioStreamReport {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::string failedStep;  // the control that failed, when one did
  ULONG rate = 0;
  ULONG sampleType = 0;
  ULONG bufferFrames = 0;
  ULONG latencyIndex = 0;
  AsioLatenciesRecord latencies{};
  AsioChannelsRecord channels{};
  ULONG preRoll = 0;    // bytes, of the first render ring
  ULONG64 switches = 0;  // buffer-switch events the host woke for
  ULONG64 missed = 0;    // transfers of the switch source it did not see one by one
  ULONG64 framesWritten = 0;
  ULONG64 framesRead = 0;
  // Frames from the tone's first frame to its first frame in the input;
  // -1 when the input never carried it.
  long roundTripFrames = -1;
  double RoundTripMs() const { return roundTripFrames < 0 || !rate ? -1.0 : roundTripFrames * 1000.0 / rate; }
  WavData recording;  // the first selected input engine, in its format
};

// With the host open and its settings chosen: reads the buffer size and
// latencies, creates buffers for every channel, starts, plays a tone from
// the first frame on into every output while recording the first input,
// for `seconds` of clock time, then stops and disposes. The host's work
// runs on a thread of its own while this thread moves the clock (or, in
// real time, waits).
AsioStreamReport RunAsioStream(AsioHost& host, const AsioStreamOptions& options);

// Samples of an ASIO sample type in a ring, as values in [-1, 1).
void EncodeAsioSample(double value, ULONG sampleType, PUCHAR at);
double DecodeAsioSample(const UCHAR* at, ULONG sampleType);

}  // namespace sim::host
