#include "tests/driver/hal/support/ModelBench.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "driver/DriverEntry.h"
#include "tests/support/UsbRequests.h"
#include "usb/usbdlib.h"

namespace haltest {
namespace {

constexpr ULONG kTag = MakeTag("HalT");

}  // namespace

// ---- BenchDevice ---------------------------------------------------------------------------

BenchDevice::~BenchDevice() {
  if (m_ModelUnknown) m_ModelUnknown->Release();
  m_ModelUnknown = nullptr;
  if (m_Configuration) ExFreePool(m_Configuration);
}

NTSTATUS BenchDevice::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  *object = nullptr;
  if (IsEqualGUIDAligned(iid, IID_IUsbDevice)) {
    const ULONG query = ++usbDeviceQueries;
    const ULONG refuseFrom = refuseUsbDeviceFrom;
    if (refuseFrom && query >= refuseFrom) return STATUS_INVALID_PARAMETER;
    *object = static_cast<IUsbDevice*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  if (IsEqualGUIDAligned(iid, IID_IUnknown) || !m_ModelUnknown) return CUnknownBase::NonDelegatingQueryInterface(iid, object);
  return m_ModelUnknown->QueryInterface(iid, object);
}

NTSTATUS BenchDevice::CallLowerDriver(PIRP irp) {
  auto* urb = static_cast<PURB>(IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (urb && urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER && isochObserver) isochObserver(urb);
  if (urb && urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    ++interruptTransfers;
    NTSTATUS status = STATUS_SUCCESS;
    if (interruptHook && interruptHook(urb, &status)) {
      IoSetNextIrpStackLocation(irp);
      irp->IoStatus.Status = status;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
  return IofCallDriver(m_Pdo, irp);
}

NTSTATUS BenchDevice::SubmitUrb(PURB urb) {
  if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_INTERFACE &&
      urb->UrbSelectInterface.Interface.InterfaceNumber == 0 && !NT_SUCCESS(selectInterfaceFailure))
    return selectInterfaceFailure;
  return testsupport::SubmitUrbAndWait(m_Pdo, urb);
}

// The stream engines a model makes schedule their URBs by it.
NTSTATUS BenchDevice::QueryBusTime(PULONG currentFrame) { return testsupport::QueryFrameNumber(m_Pdo, currentFrame); }

PIRP BenchDevice::AllocateIrp() {
  for (ULONG left = refuseIrps; left > 0;)
    if (refuseIrps.compare_exchange_weak(left, left - 1)) return nullptr;
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(m_Pdo->StackSize + 1), FALSE);
  if (irp) ++irpsAllocated;
  return irp;
}

NTSTATUS BenchDevice::FreeIrp(PIRP irp) {
  ++irpsFreed;
  IoFreeIrp(irp);
  return STATUS_SUCCESS;
}

NTSTATUS BenchDevice::Configure() {
  // The configuration as the device sends it, in a pool block of its size.
  USB_CONFIGURATION_DESCRIPTOR header{};
  URB urb;
  std::memset(&urb, 0, sizeof urb);
  UsbBuildGetDescriptorRequest(&urb, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                               &header, nullptr, sizeof header, nullptr);
  NTSTATUS status = SubmitUrb(&urb);
  if (!NT_SUCCESS(status)) return status;
  const ULONG total = header.wTotalLength;
  m_Configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, total, kTag));
  if (!m_Configuration) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(&urb, 0, sizeof urb);
  UsbBuildGetDescriptorRequest(&urb, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                               m_Configuration, nullptr, total, nullptr);
  status = SubmitUrb(&urb);
  if (!NT_SUCCESS(status)) return status;
  return testsupport::SelectEveryInterface(m_Pdo, m_Configuration, &m_ConfigurationHandle);
}

NTSTATUS BenchDevice::CreateModel(AudioHalFactory factory, USHORT vendorId, USHORT productId) {
  return factory(&m_ModelUnknown, GetInnerUnknown(), vendorId, productId);
}

IUsbAudioHal* BenchDevice::UsbHal() const {
  if (!m_ModelUnknown) return nullptr;
  PVOID object = nullptr;
  if (!NT_SUCCESS(m_ModelUnknown->QueryInterface(IID_IUsbAudioHal, &object))) return nullptr;
  auto* usbHal = static_cast<IUsbAudioHal*>(object);
  usbHal->Release();
  return usbHal;
}

IAudioHal* BenchDevice::AudioHal() const {
  if (!m_ModelUnknown) return nullptr;
  PVOID object = nullptr;
  if (!NT_SUCCESS(m_ModelUnknown->QueryInterface(IID_IAudioHal, &object))) return nullptr;
  auto* hal = static_cast<IAudioHal*>(object);
  hal->Release();
  return hal;
}

CUac1AudioHal* BenchDevice::Model() const {
  IAudioHal* hal = AudioHal();
  return hal ? static_cast<CUac1AudioHal*>(static_cast<CAudioHal*>(hal)) : nullptr;
}

// ---- ModelBench ----------------------------------------------------------------------------

ModelBench::ModelBench(const sim::DescriptorSet& descriptors, const sim::DeviceProfile& profile,
                       AudioHalFactory factory)
    : ModelBench(std::make_unique<sim::SimDevice>(descriptors, profile), factory) {}

ModelBench::ModelBench(std::unique_ptr<sim::SimDevice> device, AudioHalFactory factory) {
  m_Device = std::move(device);
  const sim::DescriptorSet& descriptors = m_Device->Descriptors();
  m_Port = std::make_unique<platform::usb::HubPort>(m_Device.get());
  m_Driver = platform::io::CreateDriverObject(u"\\Driver\\ModelBench");
  IoCreateDevice(m_Driver, DRIVER_EXTENSION_SIZE, nullptr, FILE_DEVICE_KS, FILE_DEVICE_SECURE_OPEN, FALSE, &m_Fdo);
  m_Lower = IoAttachDeviceToDeviceStack(m_Fdo, m_Port->Pdo());
  m_Fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  m_Usb = new (NonPagedPool, kTag) BenchDevice(m_Port->Pdo());
  m_Usb->NonDelegatingAddRef();
  m_Usb->highSpeed = m_Device->GetSpeed() == platform::usb::Speed::High;
  m_CreateStatus = m_Usb->Configure();
  if (NT_SUCCESS(m_CreateStatus))
    m_CreateStatus = m_Usb->CreateModel(factory, descriptors.VendorId(), descriptors.ProductId());
}

ModelBench::~ModelBench() {
  if (m_Registration && Hal()) Hal()->UnregisterCallback(m_Registration);
  if (Hal()) Hal()->Stop();
  m_Usb->NonDelegatingRelease();
  IoDetachDevice(m_Lower);
  IoDeleteDevice(m_Fdo);
  platform::io::DeleteDriverObject(m_Driver);
  m_Port.reset();
  m_Device.reset();
}

NTSTATUS ModelBench::Init() {
  if (!NT_SUCCESS(m_CreateStatus)) return m_CreateStatus;
  return Hal()->Init(nullptr, m_Fdo, m_Lower, m_Port->Pdo());
}

void ModelBench::OnNotify(PVOID context, PVOID argument1, PVOID) {
  auto* bench = static_cast<ModelBench*>(context);
  const auto* notify = static_cast<const AudioHalNotify*>(argument1);
  std::lock_guard<std::mutex> guard(bench->m_Lock);
  bench->m_Notifications.push_back(notify->NodeId);
}

void ModelBench::WatchNotifications() { EXPECT_EQ(Hal()->RegisterCallback(OnNotify, this, &m_Registration), STATUS_SUCCESS); }

std::vector<ULONG> ModelBench::Notifications() {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Notifications;
}

void ModelBench::ClearNotifications() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Notifications.clear();
}

bool ModelBench::AdvanceUntil(const std::function<bool()>& done, ULONG limitMs) {
  for (ULONG ms = 0; ms <= limitMs; ++ms) {
    if (done()) return true;
    platform::clock::Advance(10000);  // 1 ms
  }
  return done();
}

}  // namespace haltest
