// The host's requests hold their target as the I/O manager does.
#include "sim/host/Host.h"
#include "tests/platform/DeviceStack.h"
#include "tests/support/KernelTest.h"

namespace {

class SendIrpTest : public testsupport::KernelTest {};

LONG g_referencesAfterDelete = -1;

// A driver whose removal deletes its device before the dispatch returns,
// as every plug-and-play driver's does.
NTSTATUS RemoveAndDelete(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  IoDetachDevice(lower);
  IoDeleteDevice(device);
  g_referencesAfterDelete = platform::ob::ReferenceCount(device);
  return status;
}

TEST_F(SendIrpTest, TopDeviceOutlivesTheRemovalThatDeletesIt) {
  PDRIVER_OBJECT driver = platform::io::CreateDriverObject(u"\\Driver\\RemoveTest");
  PDEVICE_OBJECT pdo = platform::io::CreatePhysicalDevice(testsupport::HeadsetPdoConfig());
  PDEVICE_OBJECT fdo = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo), STATUS_SUCCESS);
  *static_cast<PDEVICE_OBJECT*>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  driver->MajorFunction[IRP_MJ_PNP] = RemoveAndDelete;

  sim::host::IrpRequest remove;
  remove.major = IRP_MJ_PNP;
  remove.minor = IRP_MN_REMOVE_DEVICE;
  EXPECT_EQ(sim::host::SendIrp(pdo, remove).status, STATUS_SUCCESS);
  EXPECT_EQ(g_referencesAfterDelete, 1) << "the request's own reference keeps the deleted device";
  EXPECT_EQ(platform::ob::ReferenceCount(fdo), 0) << "and lets it go afterwards";

  platform::io::DeletePhysicalDevice(pdo);
  platform::io::DeleteDriverObject(driver);
}

}  // namespace
