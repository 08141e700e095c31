// A USB stream engine on the bench: the simulated headset on its hub port,
// an owner that answers IAudioHal and IUsbDevice the way the device object
// does (synchronous URBs, pass-down, bus time, IRPs, busy marks), and a
// client that registers on the engine and records every notification.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "sim/device/DefaultHeadset.h"
#include "sim/device/SimDevice.h"
#include "streaming/CUsbStreamEngine.h"
#include "tests/streaming/support/StreamBench.h"
#include "usb/HubPort.h"

namespace pipetest {

using streamtest::Pcm;

constexpr ULONG kRigTag = MakeTag("PRig");

// The owner a stream engine queries: the hardware model's IAudioHal and the
// device object's IUsbDevice in one object.
class RigOwner final : public streamtest::OwnerHalStub, public IUsbDevice, public CUnknownBase {
 public:
  RigOwner(PDEVICE_OBJECT pdo, const sim::Bytes& configuration);
  ~RigOwner() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IAudioHal: only the device object is asked for.
  PDEVICE_OBJECT STDMETHODCALLTYPE GetDeviceObject() override { return m_Pdo; }

  // ---- IUsbDevice
  PUSB_CONFIGURATION_DESCRIPTOR STDMETHODCALLTYPE GetConfigurationDescriptor() override { return m_Configuration; }
  USBD_CONFIGURATION_HANDLE STDMETHODCALLTYPE GetConfigurationHandle() override { return m_ConfigurationHandle; }
  UCHAR STDMETHODCALLTYPE GetControlInterfaceNumber() override { return 0; }
  NTSTATUS STDMETHODCALLTYPE SetDevicePresent(UCHAR) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE CallLowerDriver(PIRP irp) override { return IofCallDriver(m_Pdo, irp); }
  NTSTATUS STDMETHODCALLTYPE SubmitUrb(PURB urb) override;
  NTSTATUS STDMETHODCALLTYPE QueryBusTime(PULONG currentFrame) override;
  PIRP STDMETHODCALLTYPE AllocateIrp() override { return IoAllocateIrp(m_Pdo->StackSize + 1, FALSE); }
  NTSTATUS STDMETHODCALLTYPE FreeIrp(PIRP irp) override {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
  }
  BOOLEAN STDMETHODCALLTYPE IsHighSpeed() override { return FALSE; }
  BOOLEAN STDMETHODCALLTYPE IsDeviceRemoved() override { return m_Removed; }
  BOOLEAN STDMETHODCALLTYPE CyclePort() override {
    ++m_PortCycles;
    return TRUE;
  }
  PDEVICE_OBJECT STDMETHODCALLTYPE GetLowerDevice() override { return m_Pdo; }
  LONG STDMETHODCALLTYPE AddBusy() override { return InterlockedIncrement(&m_Busy); }
  LONG STDMETHODCALLTYPE ReleaseBusy() override { return InterlockedDecrement(&m_Busy); }
  NTSTATUS STDMETHODCALLTYPE CreateAudioHal() override { return STATUS_NOT_SUPPORTED; }

  NTSTATUS SelectConfiguration();
  LONG Busy() const { return m_Busy; }
  ULONG PortCycles() const { return m_PortCycles; }
  void SetRemoved(BOOLEAN removed) { m_Removed = removed; }

 private:
  PDEVICE_OBJECT m_Pdo;
  PUSB_CONFIGURATION_DESCRIPTOR m_Configuration = nullptr;
  USBD_CONFIGURATION_HANDLE m_ConfigurationHandle = nullptr;
  volatile LONG m_Busy = 0;
  ULONG m_PortCycles = 0;
  BOOLEAN m_Removed = FALSE;
};

// A node processor that scales each channel by its own factor, so that a
// test sees where the signal path ran.
class ScaleProcessor final : public IDspProcessor, public CUnknownBase {
 public:
  explicit ScaleProcessor(std::vector<float> gains) : CUnknownBase(nullptr), m_Gains(std::move(gains)) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE SetFormat(const WAVEFORMATEXTENSIBLE*) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE ResetLimiters() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) override;
  NTSTATUS STDMETHODCALLTYPE Reset() override { return STATUS_SUCCESS; }

 private:
  std::vector<float> m_Gains;
};

// One notification as a client saw it; the data of fills and captures is
// what the buffer held when the callback ran.
struct Seen {
  ULONG command;
  ULONG value;  // POSITION: bytes; FORMAT: msPerUrb (with the flag)
  ULONG length;
  sim::Bytes data;
};

// A stream client: registers on the engine, answers fills with a running
// 16-bit ramp per sample (or leaves them silent), and records everything.
class RigClient {
 public:
  RigClient(CUsbStreamEngine* engine, ULONG kind, const WAVEFORMATEXTENSIBLE& format, ULONG msPerUrb, ULONG urbCount);
  ~RigClient();

  NTSTATUS Register();
  NTSTATUS Prepare(PULONG currentFrame = nullptr);
  NTSTATUS Start(ULONG startFrame);
  NTSTATUS Stop();
  NTSTATUS Unprepare();
  // Register, Prepare and Start two frames ahead; and Stop and Unprepare.
  NTSTATUS Run();
  NTSTATUS Finish();

  StreamClientRecord* Record() const { return m_Record; }
  void SetFill(bool fill) { m_Fill = fill; }
  std::vector<Seen> Notifications() const;
  // The bytes of every CAPTURE_DATA, in order.
  sim::Bytes Captured() const;
  // Sum of the POSITION values.
  ULONG64 PositionBytes() const;
  // FORMAT notifications that said the format changed (a start or a restart).
  size_t FormatChanges() const;

 private:
  static void Callback(PVOID context, PVOID argument1, PVOID argument2);

  CUsbStreamEngine* m_Engine;
  ICyclicControl* m_Control;
  ULONG m_Kind;
  WAVEFORMATEXTENSIBLE m_Format;
  ULONG m_MsPerUrb;
  ULONG m_UrbCount;
  StreamClientRecord* m_Record = nullptr;
  bool m_Fill = true;
  uint16_t m_Ramp = 0;
  mutable std::mutex m_Lock;
  std::vector<Seen> m_Seen;
};

// The simulated headset, its port, the owner with the configuration
// selected, and engines made the way the descriptor parser makes them.
class PipeRig {
 public:
  explicit PipeRig(const sim::DescriptorSet& descriptors = sim::headset::Descriptors());
  ~PipeRig();

  sim::SimDevice& Device() { return *m_Device; }
  platform::usb::HubPort& Port() { return *m_Port; }
  RigOwner* Owner() { return m_Owner; }

  // Constructed, initialised with the owner, work buffers made, formats
  // added with their alternate setting. The rig releases it last.
  // `processor` (optional) joins the engine's node processors.
  template <typename TEngine>
  TEngine* MakeEngine(ULONG interfaceNumber, ULONG direction, const std::vector<WAVEFORMATEXTENSIBLE>& formats,
                      IDspProcessor* processor = nullptr) {
    auto* engine = new (NonPagedPool, kRigTag) TEngine(nullptr, interfaceNumber, 0);
    Adopt(engine, direction, formats, processor);
    return engine;
  }

 private:
  void Adopt(CUsbStreamEngine* engine, ULONG direction, const std::vector<WAVEFORMATEXTENSIBLE>& formats,
             IDspProcessor* processor);

  std::unique_ptr<sim::SimDevice> m_Device;
  std::unique_ptr<platform::usb::HubPort> m_Port;
  RigOwner* m_Owner = nullptr;
  std::vector<CUsbStreamEngine*> m_Engines;
};

// Runs frames on the bus until `done` holds (or `limit` frames passed).
template <typename Predicate>
bool RunFramesUntil(Predicate done, ULONG limit = 2000) {
  for (ULONG i = 0; i < limit; ++i) {
    if (done()) return true;
    platform::usb::StepFrames(1);
  }
  return done();
}

}  // namespace pipetest
