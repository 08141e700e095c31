#include <string>
#include <vector>

#include "driver/DeviceParameter.h"
#include "tests/platform/DeviceStack.h"
#include "tests/support/KernelTest.h"

namespace {

using testsupport::DeviceStack;

const std::u16string kEnum = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
const std::u16string kOldEnum = u"\\Registry\\Machine\\Enum\\";
const std::u16string kInstance = u"5&2f3c6a1&0&2";

class DeviceParameterTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
  }
  static void Store(const std::u16string& root, const std::u16string& id, ULONG value) {
    platform::registry::SetDwordValue(root + id + u"\\" + kInstance + u"\\Device Parameters",
                                      u"SelectiveSuspendEnabled", value);
  }
  static NTSTATUS Read(PDEVICE_OBJECT pdo, ULONG* value) {
    return ReadDeviceInstanceParameter(pdo, DEVICE_PARAMETER_SELECTIVE_SUSPEND_ENABLED, sizeof(*value), value);
  }
};

TEST_F(DeviceParameterTest, ReadsTheInstancesDeviceParameters) {
  DeviceStack stack;
  Store(kEnum, u"USB\\VID_0D8C&PID_0014", 1);
  ULONG value = 0xCCCCCCCC;
  EXPECT_EQ(Read(stack.Pdo(), &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(ReadDeviceInstanceParameter(stack.Pdo(), DEVICE_PARAMETER_SELECTIVE_SUSPENDED, 4, &value),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ReadDeviceInstanceParameter(stack.Pdo(), 2, 4, &value), STATUS_INVALID_PARAMETER);
  UCHAR small = 0;
  EXPECT_EQ(ReadDeviceInstanceParameter(stack.Pdo(), DEVICE_PARAMETER_SELECTIVE_SUSPEND_ENABLED, 1, &small),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(small, 0);
}

TEST_F(DeviceParameterTest, AValueLongerThanTheBufferGetsNoBufferOfItsSize) {
  auto config = testsupport::HeadsetPdoConfig();
  config.hardwareIds = {u"USB\\VID_0D8C&PID_0014"};
  DeviceStack stack(config);
  const std::vector<UCHAR> huge(1 << 20, 1);
  ASSERT_EQ(platform::registry::SetValue(kEnum + u"USB\\VID_0D8C&PID_0014\\" + kInstance + u"\\Device Parameters",
                                         u"SelectiveSuspendEnabled", REG_BINARY, huge.data(), huge.size()),
            STATUS_SUCCESS);
  // The value's own buffer would be the read's fifth (after the IDs, the
  // key information, the key name and the path): refused before it is made.
  platform::pool::FailNthAllocationWithTag(MakeTag("USBd"), 5);
  ULONG value = 0xCCCCCCCC;
  EXPECT_EQ(Read(stack.Pdo(), &value), STATUS_UNSUCCESSFUL);
  platform::pool::ClearFailures();
  EXPECT_EQ(value, 0xCCCCCCCCu);
}

TEST_F(DeviceParameterTest, TheFirstHardwareIdThatHoldsTheValueDecides) {
  struct Case {
    const char* name;
    std::vector<std::u16string> ids;
    std::vector<std::pair<std::u16string, std::u16string>> stored;  // root, id
    NTSTATUS status;
    ULONG value;
  };
  const std::u16string rev = u"USB\\VID_0D8C&PID_0014&REV_0100";
  const std::u16string plain = u"USB\\VID_0D8C&PID_0014";
  const std::u16string other = u"USB\\Class_01";
  const Case cases[] = {
      {"second ID, a later one missing", {rev, plain, other}, {{kEnum, plain}}, STATUS_SUCCESS, 7},
      {"first ID, later ones missing", {rev, plain, other}, {{kEnum, rev}}, STATUS_SUCCESS, 7},
      {"old Enum tree as fallback", {rev, plain}, {{kOldEnum, rev}}, STATUS_SUCCESS, 7},
      {"nowhere", {rev, plain}, {}, STATUS_OBJECT_NAME_NOT_FOUND, 0xCCCCCCCC},
      {"first ID ends at its comma", {rev + u",extra", other}, {{kEnum, rev}}, STATUS_SUCCESS, 7},
      {"what follows the comma is no ID",
       {rev + u",USB\\X", other},
       {{kEnum, u"USB\\X"}},
       STATUS_OBJECT_NAME_NOT_FOUND,
       0xCCCCCCCC},
      {"an overlong ID fails alone",
       {u"USB\\" + std::u16string(40000, u'v'), plain},
       {{kEnum, plain}},
       STATUS_SUCCESS,
       7},
      {"only an overlong ID", {u"USB\\" + std::u16string(40000, u'v')}, {}, STATUS_NAME_TOO_LONG, 0xCCCCCCCC},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    auto config = testsupport::HeadsetPdoConfig();
    config.hardwareIds = c.ids;
    config.deviceId = plain;
    for (const auto& [root, id] : c.stored) Store(root, id, 7);
    DeviceStack stack(config);
    ULONG value = 0xCCCCCCCC;
    EXPECT_EQ(Read(stack.Pdo(), &value), c.status);
    EXPECT_EQ(value, c.value);
  }
}

TEST_F(DeviceParameterTest, MissingMemoryAndMissingKeysFailTheRead) {
  auto config = testsupport::HeadsetPdoConfig();
  config.hardwareIds = {u"USB\\VID_0D8C&PID_0014"};
  DeviceStack stack(config);
  Store(kEnum, u"USB\\VID_0D8C&PID_0014", 1);
  ULONG value = 0;
  // Every one of the read's buffers, in turn: with one hardware ID each
  // failure is the read's.
  size_t n = 1;
  for (;; ++n) {
    SCOPED_TRACE(n);
    platform::pool::FailNthAllocationWithTag(MakeTag("USBd"), n);
    NTSTATUS status = Read(stack.Pdo(), &value);
    platform::pool::ClearFailures();
    if (status == STATUS_SUCCESS) break;
    EXPECT_EQ(status, STATUS_NO_MEMORY);
    ASSERT_LT(n, 10u);
  }
  EXPECT_EQ(n, 6u);  // IDs, key information, key name, path, value
  EXPECT_EQ(platform::registry::OpenHandleCount(), 0u);
  // Only a physical device has hardware IDs.
  EXPECT_EQ(Read(stack.Fdo(), &value), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
