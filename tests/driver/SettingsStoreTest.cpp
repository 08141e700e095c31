#include <memory>
#include <string>
#include <vector>

#include "driver/SettingsStore.h"
#include "tests/platform/DeviceStack.h"
#include "tests/support/KernelTest.h"

namespace {

using testsupport::DeviceStack;

const std::u16string kSettings = testsupport::kDriverKey + u"\\Settings";

class SettingsStoreTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
    m_Stack = std::make_unique<DeviceStack>();
  }
  void TearDown() override {
    m_Stack.reset();
    KernelTest::TearDown();
  }
  PDEVICE_OBJECT Fdo() const { return m_Stack->Fdo(); }

  static std::vector<UCHAR> Stored(const std::u16string& key, const std::u16string& name, ULONG* type = nullptr) {
    std::vector<UCHAR> data;
    EXPECT_TRUE(platform::registry::GetValue(key, name, type, &data)) << "no value";
    return data;
  }

  std::unique_ptr<DeviceStack> m_Stack;
};

TEST_F(SettingsStoreTest, ReadsCopyOnlyValuesThatFitTheCallersBuffer) {
  struct Case {
    const char* name;
    int stored;    // bytes in the registry; -1: no value
    ULONG length;  // the caller's buffer
    NTSTATUS status;
    size_t copied;
  };
  const Case cases[] = {
      {"shorter value", 4, 8, STATUS_SUCCESS, 4},
      {"exact", 8, 8, STATUS_SUCCESS, 8},
      {"empty value", 0, 8, STATUS_SUCCESS, 0},
      {"longer value", 8, 4, STATUS_UNSUCCESSFUL, 0},
      {"one byte over, still fits the query", 9, 8, STATUS_UNSUCCESSFUL, 0},
      {"four bytes over, still fits the query", 12, 8, STATUS_UNSUCCESSFUL, 0},
      {"five bytes over: the query's own failure", 13, 8, STATUS_BUFFER_OVERFLOW, 0},
      {"missing value", -1, 8, STATUS_OBJECT_NAME_NOT_FOUND, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::DeleteKeyTree(kSettings);
    if (c.stored >= 0) {
      std::vector<UCHAR> value(c.stored);
      for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<UCHAR>(i + 1);
      platform::registry::SetValue(kSettings, u"Level", REG_BINARY, value.data(), value.size());
    }
    std::vector<UCHAR> buffer(c.length, 0xCC);
    EXPECT_EQ(AccessSetting(Fdo(), SETTINGS_READ, buffer.data(), c.length, u"Level"), c.status);
    for (size_t i = 0; i < buffer.size(); ++i)
      EXPECT_EQ(buffer[i], i < c.copied ? static_cast<UCHAR>(i + 1) : 0xCC) << "byte " << i;
  }
}

TEST_F(SettingsStoreTest, WritesAreBinaryAndCreateTheirKeys) {
  EXPECT_FALSE(platform::registry::KeyExists(kSettings));
  ULONG level = 0x11223344;
  EXPECT_EQ(AccessSetting(Fdo(), SETTINGS_WRITE, &level, 4, u"Unit05_ 1_0"), STATUS_SUCCESS);
  ULONG type = 0;
  EXPECT_EQ(Stored(kSettings, u"Unit05_ 1_0", &type), (std::vector<UCHAR>{0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(type, REG_BINARY);

  // A subkey is created below "Settings" on the first write, with the type asked for.
  EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_WRITE, u"Preset1", u"Gain", REG_DWORD, &level, 4), STATUS_SUCCESS);
  Stored(kSettings + u"\\Preset1", u"Gain", &type);
  EXPECT_EQ(type, REG_DWORD);
  ULONG back = 0;
  EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_READ, u"Preset1", u"Gain", REG_DWORD, &back, 4), STATUS_SUCCESS);
  EXPECT_EQ(back, level);
}

TEST_F(SettingsStoreTest, RefusesOtherTypesBeforeOpeningAnything) {
  ULONG value = 1;
  for (ULONG type : {REG_NONE, REG_EXPAND_SZ, REG_MULTI_SZ, REG_QWORD}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(AccessSettingsValue(Fdo(), SETTINGS_WRITE, nullptr, u"x", type, &value, 4), STATUS_UNSUCCESSFUL);
  }
  EXPECT_FALSE(platform::registry::KeyExists(kSettings));
  // An operation that is neither read nor write opens the keys and does nothing else.
  EXPECT_EQ(AccessSetting(Fdo(), 3, &value, 4, u"x"), STATUS_SUCCESS);
  EXPECT_TRUE(platform::registry::KeyExists(kSettings));
  EXPECT_FALSE(platform::registry::GetValue(kSettings, u"x", nullptr, nullptr));
}

TEST_F(SettingsStoreTest, IndexedNamesAppendTheIndexWithinFortyNineCharacters) {
  UCHAR on = 1;
  EXPECT_EQ(AccessIndexedSetting(Fdo(), SETTINGS_WRITE, &on, 1, u"Mute", 2), STATUS_SUCCESS);
  EXPECT_EQ(AccessIndexedSetting(Fdo(), SETTINGS_WRITE, &on, 1, u"Mute", 12), STATUS_SUCCESS);
  const std::u16string longBase(47, u'b');
  EXPECT_EQ(AccessIndexedSetting(Fdo(), SETTINGS_WRITE, &on, 1, longBase.c_str(), 345), STATUS_SUCCESS);
  EXPECT_EQ(platform::registry::SubkeyNames(kSettings).size(), 0u);
  Stored(kSettings, u"Mute2");
  Stored(kSettings, u"Mute12");
  Stored(kSettings, longBase + u"34");  // cut to 49 characters
  UCHAR back = 0;
  EXPECT_EQ(AccessIndexedSetting(Fdo(), SETTINGS_READ, &back, 1, u"Mute", 12), STATUS_SUCCESS);
  EXPECT_EQ(back, 1);
}

TEST_F(SettingsStoreTest, FailuresOfTheStepsAreReturned) {
  ULONG value = 0;
  platform::pool::FailAllocationsWithTag(MakeTag("hlep"));
  EXPECT_EQ(AccessSetting(Fdo(), SETTINGS_READ, &value, 4, u"Level"), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool::ClearFailures();
  platform::pool::FailAllocationsWithTag(MakeTag("PcRk"));
  EXPECT_EQ(AccessSetting(Fdo(), SETTINGS_WRITE, &value, 4, u"Level"), STATUS_INSUFFICIENT_RESOURCES);
  platform::pool::ClearFailures();
  EXPECT_EQ(AccessSetting(Fdo(), SETTINGS_READ, nullptr, 4, u"Level"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(platform::registry::OpenHandleCount(), 0u);

  // A device without a driver key has no settings.
  auto config = testsupport::HeadsetPdoConfig();
  config.driverKey.clear();
  config.instanceId = u"5&99&0&1";
  DeviceStack bare(config);
  EXPECT_EQ(AccessSetting(bare.Fdo(), SETTINGS_WRITE, &value, 4, u"Level"), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
