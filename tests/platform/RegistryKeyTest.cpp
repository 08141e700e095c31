// The registry key objects port class hands out: which key a device-bound
// kind opens, subkeys created on demand, and the object's reference counting.
#include <vector>

#include "kernel/nt.h"
#include "portcls/registrykey.h"
#include "tests/platform/DeviceStack.h"
#include "tests/support/KernelTest.h"

namespace {

using testsupport::DeviceStack;

class RegistryKeyTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
  }
};

TEST_F(RegistryKeyTest, TheDriverKeyOfTheAdaptersDeviceOpensAndGrowsSubkeys) {
  DeviceStack stack;
  PREGISTRYKEY driverKey = nullptr;
  ULONG disposition = 0;
  // Any device of the stack names the physical device's key.
  ASSERT_EQ(PcNewRegistryKey(&driverKey, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, stack.Fdo(), nullptr, nullptr, 0,
                             &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

  UNICODE_STRING settingsName = RTL_CONSTANT_STRING(u"Settings");
  PREGISTRYKEY settings = nullptr;
  ASSERT_EQ(driverKey->NewSubKey(&settings, nullptr, KEY_QUERY_VALUE, &settingsName, 0, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  UNICODE_STRING valueName = RTL_CONSTANT_STRING(u"IniVersion");
  ULONG version = 3;
  // Written through a key opened for query: access masks are not enforced.
  EXPECT_EQ(settings->SetValueKey(&valueName, REG_BINARY, &version, sizeof(version)), STATUS_SUCCESS);
  settings->Release();

  ASSERT_EQ(driverKey->NewSubKey(&settings, nullptr, KEY_QUERY_VALUE, &settingsName, 0, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  std::vector<UCHAR> buffer(32);
  ULONG result = 0;
  ASSERT_EQ(settings->QueryValueKey(&valueName, KeyValuePartialInformation, buffer.data(), 32, &result),
            STATUS_SUCCESS);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
  EXPECT_EQ(info->Type, REG_BINARY);
  EXPECT_EQ(*reinterpret_cast<ULONG*>(info->Data), 3u);
  std::vector<UCHAR> raw;
  EXPECT_TRUE(platform::registry::GetValue(testsupport::kDriverKey + u"\\Settings", u"IniVersion", nullptr, &raw));

  EXPECT_EQ(settings->DeleteKey(), STATUS_SUCCESS);
  EXPECT_FALSE(platform::registry::KeyExists(testsupport::kDriverKey + u"\\Settings"));
  settings->Release();
  driverKey->Release();
}

TEST_F(RegistryKeyTest, KeyObjectsAreCountedInterfaces) {
  DeviceStack stack;
  PREGISTRYKEY key = nullptr;
  ASSERT_EQ(PcNewRegistryKey(&key, nullptr, DeviceRegistryKey, KEY_READ, stack.Fdo(), nullptr, nullptr, 0, nullptr),
            STATUS_SUCCESS);
  PVOID other = nullptr;
  ASSERT_EQ(key->QueryInterface(IID_IRegistryKey, &other), STATUS_SUCCESS);
  EXPECT_EQ(other, key);
  EXPECT_EQ(key->Release(), 1u);
  const GUID unknown = DEFINE_GUID_VALUE(0x12345678, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
  EXPECT_EQ(key->QueryInterface(unknown, &other), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(platform::registry::OpenHandleCount(), 1u);
  EXPECT_EQ(key->Release(), 0u);  // the last reference closes the key
  EXPECT_EQ(platform::registry::OpenHandleCount(), 0u);

  // Refusals: no device, an outer object, a kind the stand-in does not open.
  EXPECT_EQ(PcNewRegistryKey(&key, nullptr, DriverRegistryKey, KEY_READ, nullptr, nullptr, nullptr, 0, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(PcNewRegistryKey(&key, reinterpret_cast<PUNKNOWN>(&other), DriverRegistryKey, KEY_READ, stack.Fdo(),
                             nullptr, nullptr, 0, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(PcNewRegistryKey(&key, nullptr, 9, KEY_READ, stack.Fdo(), nullptr, nullptr, 0, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(key, nullptr);

  // A general key by name, created when absent.
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\SOFTWARE\\Vendor");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  ULONG disposition = 0;
  ASSERT_EQ(PcNewRegistryKey(&key, nullptr, GeneralRegistryKey, KEY_ALL_ACCESS, nullptr, nullptr, &attributes, 0,
                             &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  key->Release();

  // No pool for the object: the key handle is closed again.
  platform::pool::FailAllocationsWithTag(MakeTag("PcRk"));
  EXPECT_EQ(PcNewRegistryKey(&key, nullptr, DriverRegistryKey, KEY_READ, stack.Fdo(), nullptr, nullptr, 0, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  platform::pool::ClearFailures();
  EXPECT_EQ(platform::registry::OpenHandleCount(), 0u);
}

}  // namespace
