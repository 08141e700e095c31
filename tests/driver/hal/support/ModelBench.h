// The product's hardware model on a simulated device, without the port
// class driver around it: a small stand-in for the device object (the
// model's outer object, answering IUsbDevice and passing everything else to
// the model) over a hub port, and an adapter device with the driver's
// extension. The stand-in can hold back or rewrite what reaches the bus, so
// that tests can put the model's status thread through the failures a real
// stack produces only rarely.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/CHeadsetUsbDevice.h"
#include "driver/hal/CK784AudioHal.h"
#include "sim/device/SimDevice.h"
#include "tests/support/KernelTest.h"
#include "usb/HubPort.h"

namespace haltest {

class BenchDevice final : public IUsbDevice, public CUnknownBase {
 public:
  explicit BenchDevice(PDEVICE_OBJECT pdo) : CUnknownBase(nullptr), m_Pdo(pdo) {}
  ~BenchDevice() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  PUSB_CONFIGURATION_DESCRIPTOR STDMETHODCALLTYPE GetConfigurationDescriptor() override { return m_Configuration; }
  USBD_CONFIGURATION_HANDLE STDMETHODCALLTYPE GetConfigurationHandle() override { return m_ConfigurationHandle; }
  UCHAR STDMETHODCALLTYPE GetControlInterfaceNumber() override { return 0; }
  NTSTATUS STDMETHODCALLTYPE SetDevicePresent(UCHAR) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE CallLowerDriver(PIRP irp) override;
  NTSTATUS STDMETHODCALLTYPE SubmitUrb(PURB urb) override;
  NTSTATUS STDMETHODCALLTYPE QueryBusTime(PULONG currentFrame) override;
  PIRP STDMETHODCALLTYPE AllocateIrp() override;
  NTSTATUS STDMETHODCALLTYPE FreeIrp(PIRP irp) override;
  BOOLEAN STDMETHODCALLTYPE IsHighSpeed() override { return highSpeed ? TRUE : FALSE; }
  BOOLEAN STDMETHODCALLTYPE IsDeviceRemoved() override { return FALSE; }
  BOOLEAN STDMETHODCALLTYPE CyclePort() override { return FALSE; }
  PDEVICE_OBJECT STDMETHODCALLTYPE GetLowerDevice() override { return m_Pdo; }
  LONG STDMETHODCALLTYPE AddBusy() override { return ++busy; }
  LONG STDMETHODCALLTYPE ReleaseBusy() override { return --busy; }
  NTSTATUS STDMETHODCALLTYPE CreateAudioHal() override { return STATUS_NOT_IMPLEMENTED; }

  // Reads and selects the device's configuration, as a start does.
  NTSTATUS Configure();
  // Creates the model aggregated with this object.
  NTSTATUS CreateModel(AudioHalFactory factory, USHORT vendorId, USHORT productId);
  CUac1AudioHal* Model() const;
  // The model's IAudioHal (no reference): every model answers it.
  IAudioHal* AudioHal() const;
  // The model's IUsbAudioHal (no reference), whatever its class; not every
  // model answers it.
  IUsbAudioHal* UsbHal() const;

  // ---- Scripted behaviour
  // IUsbDevice is refused from the n-th query on (1-based; 0: never).
  std::atomic<ULONG> refuseUsbDeviceFrom{0};
  std::atomic<ULONG> usbDeviceQueries{0};
  // Every SELECT_INTERFACE of the AudioControl interface fails with this.
  NTSTATUS selectInterfaceFailure = STATUS_SUCCESS;
  // Sees every interrupt transfer before it goes down. Returning true
  // answers it here instead, as a lower driver completing at once would:
  // the hook has filled TransferBufferLength and the buffer, and the IRP
  // completes with *status. Set it before the model starts.
  std::function<bool(PURB urb, NTSTATUS* status)> interruptHook;
  std::atomic<ULONG> interruptTransfers{0};
  // Sees every isochronous URB on its way down (it may run at
  // DISPATCH_LEVEL, under the sender's lock). Set it before streams start.
  std::function<void(PURB urb)> isochObserver;
  // AllocateIrp gives no IRP this many more times.
  std::atomic<ULONG> refuseIrps{0};
  std::atomic<ULONG> irpsAllocated{0};
  std::atomic<ULONG> irpsFreed{0};
  // The bus the device sits on, as IsHighSpeed reports it.
  std::atomic<bool> highSpeed{false};
  // The busy marks streams hold.
  std::atomic<LONG> busy{0};

 private:
  PDEVICE_OBJECT m_Pdo;
  PUSB_CONFIGURATION_DESCRIPTOR m_Configuration = nullptr;
  USBD_CONFIGURATION_HANDLE m_ConfigurationHandle = nullptr;
  PUNKNOWN m_ModelUnknown = nullptr;
};

// A device, its port, an adapter device with the driver's extension and the
// model on the stand-in device object, initialised as a start does.
class ModelBench {
 public:
  ModelBench(const sim::DescriptorSet& descriptors, const sim::DeviceProfile& profile,
             AudioHalFactory factory = C7719AudioHal::Create);
  // Any simulated device (an Audio Class 2.0 one), on a high-speed port
  // when it says so.
  ModelBench(std::unique_ptr<sim::SimDevice> device, AudioHalFactory factory);
  ~ModelBench();
  ModelBench(const ModelBench&) = delete;
  ModelBench& operator=(const ModelBench&) = delete;

  // IAudioHal::Init of the model (the parse).
  NTSTATUS Init();

  sim::SimDevice& Device() { return *m_Device; }
  platform::usb::HubPort& Port() { return *m_Port; }
  BenchDevice& Usb() { return *m_Usb; }
  CUac1AudioHal* Model() { return m_Usb->Model(); }
  IAudioHal* Hal() { return m_Usb->AudioHal(); }
  // The model as the class the factory made.
  template <typename TModel>
  TModel* ModelAs() {
    IUsbAudioHal* usbHal = m_Usb->UsbHal();
    return usbHal ? static_cast<TModel*>(static_cast<CUacAudioHal*>(usbHal)) : nullptr;
  }
  PDEVICE_OBJECT Fdo() const { return m_Fdo; }
  NTSTATUS CreateStatus() const { return m_CreateStatus; }

  // The notifications on the model's callback object, in order (node ids).
  void WatchNotifications();
  std::vector<ULONG> Notifications();
  void ClearNotifications();

  // Moves the clock until `done` holds (or `limitMs` passed); true if it did.
  bool AdvanceUntil(const std::function<bool()>& done, ULONG limitMs = 200);

 private:
  static void OnNotify(PVOID context, PVOID argument1, PVOID argument2);

  std::unique_ptr<sim::SimDevice> m_Device;
  std::unique_ptr<platform::usb::HubPort> m_Port;
  PDRIVER_OBJECT m_Driver = nullptr;
  PDEVICE_OBJECT m_Fdo = nullptr;
  PDEVICE_OBJECT m_Lower = nullptr;
  BenchDevice* m_Usb = nullptr;
  NTSTATUS m_CreateStatus = STATUS_UNSUCCESSFUL;
  PVOID m_Registration = nullptr;
  std::mutex m_Lock;
  std::vector<ULONG> m_Notifications;
};

// Whether a (referenced) thread object has ended.
inline bool ThreadEnded(PKTHREAD thread) {
  LARGE_INTEGER now{};
  return KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS;
}

// A device power change as the port class driver hands it to the model.
inline void SetPower(IAudioHal* hal, DEVICE_POWER_STATE state) {
  POWER_STATE power;
  power.DeviceState = state;
  static_cast<IAdapterPowerManagement*>(static_cast<CAudioHal*>(hal))->PowerChangeState(power);
}

// A fresh Settings store for every test, and every thread a model made
// ended by the end of it.
class ModelTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
    m_Threads = platform::thread::LiveCount();
  }
  void TearDown() override {
    platform::pool::ClearFailures();
    EXPECT_EQ(platform::thread::LiveCount(), m_Threads);
    KernelTest::TearDown();
  }

 private:
  size_t m_Threads = 0;
};

}  // namespace haltest
