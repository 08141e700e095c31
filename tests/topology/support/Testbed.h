// A simulated headset, the device object's USB path to it, and a hardware
// model that owns the units under test: enough of the driver around the
// Audio Class units to build them from real descriptors and watch what
// reaches the device and the Settings store.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/hal/CAudioHal.h"
#include "sim/device/SimDevice.h"
#include "tests/platform/DeviceStack.h"
#include "topology/CUacUnit.h"
#include "usb/HubPort.h"

namespace topotest {

using sim::Bytes;

// IUsbDevice of the device object, reduced to what units use: synchronous
// URBs sent down to the hub's PDO.
class TestUsbDevice final : public IUsbDevice, public CUnknownBase {
 public:
  TestUsbDevice(PDEVICE_OBJECT pdo, UCHAR controlInterface)
      : CUnknownBase(nullptr), m_Pdo(pdo), m_ControlInterface(controlInterface) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  PUSB_CONFIGURATION_DESCRIPTOR STDMETHODCALLTYPE GetConfigurationDescriptor() override { return nullptr; }
  USBD_CONFIGURATION_HANDLE STDMETHODCALLTYPE GetConfigurationHandle() override { return nullptr; }
  UCHAR STDMETHODCALLTYPE GetControlInterfaceNumber() override { return m_ControlInterface; }
  NTSTATUS STDMETHODCALLTYPE SetDevicePresent(UCHAR) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE CallLowerDriver(PIRP irp) override { return IofCallDriver(m_Pdo, irp); }
  NTSTATUS STDMETHODCALLTYPE SubmitUrb(PURB urb) override;
  NTSTATUS STDMETHODCALLTYPE QueryBusTime(PULONG) override { return STATUS_NOT_SUPPORTED; }
  PIRP STDMETHODCALLTYPE AllocateIrp() override { return IoAllocateIrp(m_Pdo->StackSize, FALSE); }
  NTSTATUS STDMETHODCALLTYPE FreeIrp(PIRP irp) override {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
  }
  BOOLEAN STDMETHODCALLTYPE IsHighSpeed() override { return FALSE; }
  BOOLEAN STDMETHODCALLTYPE IsDeviceRemoved() override { return FALSE; }
  BOOLEAN STDMETHODCALLTYPE CyclePort() override { return FALSE; }
  PDEVICE_OBJECT STDMETHODCALLTYPE GetLowerDevice() override { return m_Pdo; }
  LONG STDMETHODCALLTYPE AddBusy() override { return 0; }
  LONG STDMETHODCALLTYPE ReleaseBusy() override { return 0; }
  NTSTATUS STDMETHODCALLTYPE CreateAudioHal() override { return STATUS_NOT_IMPLEMENTED; }

  // Selects the device's configuration (its first), as a start does.
  NTSTATUS SelectConfiguration(const Bytes& configuration);
  ULONG UrbCount() const { return m_Urbs; }

 private:
  PDEVICE_OBJECT m_Pdo;
  UCHAR m_ControlInterface;
  ULONG m_Urbs = 0;
};

// The owning hardware model: a CAudioHal whose USB side is the test device
// and whose IUsbAudioHal records subdevice refreshes.
class TestModel final : public CAudioHal, public IUsbAudioHal {
 public:
  explicit TestModel(TestUsbDevice* usb) : CAudioHal(nullptr), m_Usb(usb) {}

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override { return STATUS_SUCCESS; }
  // A record whose model value names the category asked for.
  NTSTATUS STDMETHODCALLTYPE GetChannelCaps(ULONG direction, ULONG pinCategory, DeviceCapsRecord* caps) override;

  // ---- IUsbAudioHal
  NTSTATUS STDMETHODCALLTYPE RefreshSubdevices(ULONG unitId) override;
  NTSTATUS STDMETHODCALLTYPE GetCallbackObject(PCALLBACK_OBJECT* callbackObject) override;
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioControlInterface(PUSB_INTERFACE_DESCRIPTOR, ULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS STDMETHODCALLTYPE UsbParseAudioStreamInterface(PUSB_CONFIGURATION_DESCRIPTOR, PUSB_INTERFACE_DESCRIPTOR,
                                                          ULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS STDMETHODCALLTYPE RestoreHardwareState() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE GetRefusal(ModelRefusal* refusal) override {
    if (refusal) *refusal = ModelRefusal{};
    return STATUS_SUCCESS;
  }

  IAudioHal* Hal() { return static_cast<IAudioHal*>(this); }
  // How the model answers; what it was asked.
  NTSTATUS refreshStatus = STATUS_SUCCESS;
  NTSTATUS callbackObjectStatus = STATUS_SUCCESS;
  bool answerUsbDevice = true;
  std::vector<ULONG> refreshedUnits;
  std::function<void()> onRefresh;  // runs inside RefreshSubdevices
  std::vector<std::pair<ULONG, ULONG>> capsRequests;  // (direction, category)

 private:
  TestUsbDevice* m_Usb;
};

// One simulated device with the given AudioControl unit descriptors, started
// as far as units need: configured, with a model and a Settings store.
class Testbed {
 public:
  Testbed(const std::vector<Bytes>& unitDescriptors, sim::DeviceProfile profile = sim::DefaultProfile());
  ~Testbed();
  Testbed(const Testbed&) = delete;
  Testbed& operator=(const Testbed&) = delete;

  sim::SimDevice& Device() { return *m_Device; }
  TestModel& Model() { return *m_Model; }
  IAudioHal* Hal() { return m_Model->Hal(); }
  PDEVICE_OBJECT Fdo() { return m_Stack->Fdo(); }

  // Creates a unit of class TUnit and runs its Init with `descriptor`; the
  // testbed keeps it (released before the model, as the model's own unit
  // list is). The unit is returned even when Init failed.
  template <typename TUnit>
  TUnit* Build(const Bytes& descriptor, NTSTATUS* status = nullptr) {
    auto* unit = new (NonPagedPool, MakeTag("UAC1")) TUnit(nullptr, static_cast<ULONG>(m_Units.size()));
    unit->NonDelegatingAddRef();
    m_Units.push_back(unit);
    Bytes copy = descriptor;
    NTSTATUS result = unit->Init(copy.data(), Hal(), Hal());
    if (status) *status = result;
    return unit;
  }

  // The model's node `index` (no reference), or null.
  ITopoNode* Node(ULONG index);
  template <typename T>
  T* NodeAs(ULONG index, REFIID iid) {
    ITopoNode* node = Node(index);
    T* out = nullptr;
    if (node && NT_SUCCESS(node->QueryInterface(iid, reinterpret_cast<PVOID*>(&out)))) out->Release();
    return out;
  }
  ULONG NodeCount() { return Hal()->GetNodeCount(); }

  // Control transfers the device saw since the last call.
  std::vector<sim::RequestRecord> TakeRequests();

  // Settings store values (REG_BINARY) under "Settings".
  bool HasSetting(const std::u16string& name);
  std::vector<UCHAR> Setting(const std::u16string& name);
  void PutSetting(const std::u16string& name, const void* data, size_t length);
  template <typename T>
  void PutSetting(const std::u16string& name, T value) {
    PutSetting(name, &value, sizeof value);
  }
  template <typename T>
  T SettingAs(const std::u16string& name) {
    std::vector<UCHAR> bytes = Setting(name);
    T value{};
    if (bytes.size() == sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
    return value;
  }

 private:
  std::unique_ptr<sim::SimDevice> m_Device;
  std::unique_ptr<platform::usb::HubPort> m_Port;
  std::unique_ptr<testsupport::DeviceStack> m_Stack;
  TestUsbDevice* m_Usb = nullptr;
  TestModel* m_Model = nullptr;
  std::vector<CUacUnit*> m_Units;
};

// Descriptor byte tables.
Bytes FeatureUnitDescriptor(UCHAR id, UCHAR source, UCHAR controlSize, const std::vector<ULONG>& bitmaps,
                            UCHAR iFeature = 0);
Bytes InputTerminalDescriptor(UCHAR id, USHORT terminalType);
Bytes OutputTerminalDescriptor(UCHAR id, USHORT terminalType, UCHAR source);
Bytes SelectorUnitDescriptor(UCHAR id, const std::vector<UCHAR>& sources);
Bytes MixerUnitDescriptor(UCHAR id, const std::vector<UCHAR>& sources);

// Fields of a recorded control transfer.
inline UCHAR RequestType(const sim::RequestRecord& r) { return r.setup.bmRequestType; }

}  // namespace topotest
