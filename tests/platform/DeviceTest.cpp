// What the I/O manager tells a driver about its device: properties with
// their size queries, the device's registry keys, device interfaces, and the
// rules of building and tearing down a device stack.
#include <string>
#include <vector>

#include "kernel/nt.h"
#include "tests/platform/DeviceStack.h"
#include "tests/platform/KernelHelpers.h"
#include "tests/support/KernelTest.h"

namespace {

using testsupport::DeviceStack;

class DeviceTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
  }

  // The last component of an open key's name.
  static std::u16string KeyName(HANDLE key) {
    std::vector<UCHAR> buffer(512);
    ULONG result = 0;
    EXPECT_EQ(ZwQueryKey(key, KeyNameInformation, buffer.data(), 512, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_NAME_INFORMATION*>(buffer.data());
    return std::u16string(info->Name, info->NameLength / 2);
  }
};

TEST_F(DeviceTest, PropertiesAnswerSizeQueriesExactly) {
  DeviceStack stack;
  const std::u16string ids = std::u16string(u"USB\\VID_0D8C&PID_0014&REV_0100\0USB\\VID_0D8C&PID_0014\0\0", 54);
  const ULONG size = static_cast<ULONG>(ids.size() * 2);
  ULONG result = 0;
  EXPECT_EQ(IoGetDeviceProperty(stack.Pdo(), DevicePropertyHardwareID, 0, nullptr, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, size);
  std::vector<WCHAR> buffer(size / 2 + 4, 0x7777);
  EXPECT_EQ(IoGetDeviceProperty(stack.Pdo(), DevicePropertyHardwareID, size - 1, buffer.data(), &result),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(buffer[0], 0x7777);
  EXPECT_EQ(IoGetDeviceProperty(stack.Pdo(), DevicePropertyHardwareID, size, buffer.data(), &result), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer.data(), size / 2), ids);
  EXPECT_EQ(buffer[size / 2], 0x7777);

  // Text properties come from the instance key, where the driver may change them.
  EXPECT_EQ(IoGetDeviceProperty(stack.Pdo(), DevicePropertyFriendlyName, 0, nullptr, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  platform::registry::SetStringValue(testsupport::kEnumInstanceKey, u"FriendlyName", u"Headset");
  EXPECT_EQ(IoGetDeviceProperty(stack.Pdo(), DevicePropertyFriendlyName, 0, nullptr, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 16u);
  EXPECT_EQ(IoGetDeviceProperty(stack.Pdo(), DevicePropertyEnumeratorName, 64, buffer.data(), &result), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer.data()), u"USB");
  // Only the physical device has properties.
  EXPECT_EQ(IoGetDeviceProperty(stack.Fdo(), DevicePropertyHardwareID, 0, nullptr, &result),
            STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DeviceTest, DeviceKeysLieWhereThePlugAndPlayManagerKeepsThem) {
  DeviceStack stack;
  struct Case {
    ULONG type;
    std::u16string path;
  };
  const std::u16string profile =
      u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet\\";
  const Case cases[] = {
      {PLUGPLAY_REGKEY_DEVICE,
       u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0D8C&PID_0014\\5&2f3c6a1&0&2\\Device "
       u"Parameters"},
      {PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
       profile + u"Enum\\USB\\VID_0D8C&PID_0014\\5&2f3c6a1&0&2"},
      {PLUGPLAY_REGKEY_DRIVER,
       u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0007"},
      {PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
       profile + u"Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0007"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(stack.Pdo(), c.type, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    EXPECT_EQ(KeyName(key), c.path);
    ZwClose(key);
  }
  HANDLE key = nullptr;
  EXPECT_EQ(IoOpenDeviceRegistryKey(stack.Pdo(), PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoOpenDeviceRegistryKey(stack.Fdo(), PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
            STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DeviceTest, InterfacesAreRegisteredOnceAndSwitchedWithTheKernelsAnswers) {
  DeviceStack stack;
  const GUID asio = DEFINE_GUID_VALUE(0x519F2570, 0xA253, 0x4E10, 0x8B, 0xA1, 0xB3, 0xBC, 0x84, 0x45, 0xAE, 0xCE);
  UNICODE_STRING reference = RTL_CONSTANT_STRING(u"VZASIOPrivateInterface");
  UNICODE_STRING link{}, again{};
  ASSERT_EQ(IoRegisterDeviceInterface(stack.Pdo(), &asio, &reference, &link), STATUS_SUCCESS);
  EXPECT_EQ(
      platform::ToU16(&link),
      u"\\??\\USB#VID_0D8C&PID_0014#5&2f3c6a1&0&2#{519f2570-a253-4e10-8ba1-b3bc8445aece}\\VZASIOPrivateInterface");
  ASSERT_EQ(IoRegisterDeviceInterface(stack.Pdo(), &asio, &reference, &again), STATUS_SUCCESS);
  EXPECT_EQ(platform::ToU16(&again), platform::ToU16(&link));
  RtlFreeUnicodeString(&again);
  EXPECT_EQ(platform::io::DeviceInterfaces(&asio).size(), 1u);

  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_TRUE(platform::io::DeviceInterfaces(&asio)[0].enabled);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);

  platform::io::FailNextInterfaceStateChange(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(platform::io::DeviceInterfaces(&asio)[0].enabled);
  platform::io::FailNextInterfaceRegistration(STATUS_INVALID_DEVICE_REQUEST);
  UNICODE_STRING failed{};
  EXPECT_EQ(IoRegisterDeviceInterface(stack.Pdo(), &asio, nullptr, &failed), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(failed.Buffer, nullptr);
  EXPECT_EQ(IoRegisterDeviceInterface(stack.Fdo(), &asio, nullptr, &failed), STATUS_INVALID_DEVICE_REQUEST);
  RtlFreeUnicodeString(&link);
}

TEST_F(DeviceTest, StacksHoldReferencesAndComeApartInOrder) {
  testsupport::RuleRecorder rules;
  {
    DeviceStack stack;
    EXPECT_EQ(stack.Lower(), stack.Pdo());
    EXPECT_EQ(stack.Fdo()->StackSize, 2);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(stack.Pdo());
    EXPECT_EQ(top, stack.Fdo());
    PDEVICE_OBJECT base = IoGetDeviceAttachmentBaseRef(stack.Fdo());
    EXPECT_EQ(base, stack.Pdo());
    LONG fdoReferences = platform::ob::ReferenceCount(stack.Fdo());
    ObDereferenceObject(top);
    ObDereferenceObject(base);
    EXPECT_EQ(platform::ob::ReferenceCount(stack.Fdo()), fdoReferences - 1);

    // A device still in the stack cannot be deleted.
    IoDeleteDevice(stack.Fdo());
    EXPECT_TRUE(rules.Take("still attached"));
  }
  EXPECT_TRUE(rules.Rules().empty());
}

}  // namespace
