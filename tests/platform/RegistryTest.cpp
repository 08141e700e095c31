// The registry's answers that driver code depends on byte for byte: the size
// rules of the query routines, key creation and lookup, and the text file the
// registry is kept in between runs.
#include <fstream>
#include <string>
#include <vector>

#include "kernel/nt.h"
#include "tests/support/KernelTest.h"
#include "tests/support/ScratchDirectory.h"

namespace {

class RegistryTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
  }

  static HANDLE Open(const std::u16string& path, bool create = false, ULONG* disposition = nullptr,
                     HANDLE root = nullptr, NTSTATUS* statusOut = nullptr) {
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                        const_cast<PWSTR>(path.c_str())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = create ? ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, disposition)
                             : ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes);
    if (statusOut) *statusOut = status;
    return NT_SUCCESS(status) ? key : nullptr;
  }
  static NTSTATUS OpenStatus(const std::u16string& path, bool create = false, HANDLE root = nullptr) {
    NTSTATUS status;
    HANDLE key = Open(path, create, nullptr, root, &status);
    if (key) ZwClose(key);
    return status;
  }
};

const std::u16string kParams =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0D8C&PID_0014\\5&1&0&2\\Device Parameters";

TEST_F(RegistryTest, QueriesAnswerSizeRequestsAsTheKernelDoes) {
  ASSERT_EQ(platform::registry::SetDwordValue(kParams, u"SelectiveSuspendEnabled", 0x01020304), STATUS_SUCCESS);
  HANDLE key = Open(kParams);
  ASSERT_NE(key, nullptr);
  UNICODE_STRING value = RTL_CONSTANT_STRING(u"SelectiveSuspendEnabled");
  const ULONG nameBytes = 17 * 2;  // "Device Parameters"

  struct Case {
    const char* name;
    bool keyQuery;  // ZwQueryKey(KeyBasicInformation), else ZwQueryValueKey(partial)
    ULONG length;
    NTSTATUS status;
    ULONG copied;  // bytes written into the buffer
  };
  const Case cases[] = {
      {"key, size query", true, 0, STATUS_BUFFER_TOO_SMALL, 0},
      {"key, short of the fixed part", true, 15, STATUS_BUFFER_TOO_SMALL, 0},
      {"key, fixed part only", true, 16, STATUS_BUFFER_OVERFLOW, 16},
      {"key, part of the name", true, 20, STATUS_BUFFER_OVERFLOW, 20},
      {"key, exact", true, 16 + nameBytes, STATUS_SUCCESS, 16 + nameBytes},
      {"key, roomy", true, 100, STATUS_SUCCESS, 16 + nameBytes},
      {"value, size query", false, 0, STATUS_BUFFER_TOO_SMALL, 0},
      {"value, short of the header", false, 11, STATUS_BUFFER_TOO_SMALL, 0},
      {"value, header only", false, 12, STATUS_BUFFER_OVERFLOW, 12},
      {"value, part of the data", false, 14, STATUS_BUFFER_OVERFLOW, 14},
      {"value, exact", false, 16, STATUS_SUCCESS, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<UCHAR> buffer(128, 0xEE);
    ULONG result = 0;
    NTSTATUS status = c.keyQuery
                          ? ZwQueryKey(key, KeyBasicInformation, buffer.data(), c.length, &result)
                          : ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer.data(), c.length, &result);
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(result, c.keyQuery ? 16 + nameBytes : 16u);  // always the full size
    ULONG written = 0;
    while (written < buffer.size() && buffer[written] != 0xEE) ++written;
    // A trailing 0xEE data byte cannot occur: neither the name nor the value holds one.
    EXPECT_EQ(written, c.copied);
    if (c.copied >= 12 && !c.keyQuery) {
      auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
      EXPECT_EQ(info->Type, REG_DWORD);
      EXPECT_EQ(info->DataLength, 4u);
    }
    if (c.copied >= 16 && c.keyQuery) {
      EXPECT_EQ(reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data())->NameLength, nameBytes);
    }
  }
  UNICODE_STRING missing = RTL_CONSTANT_STRING(u"DeviceSelectiveSuspended");
  ULONG result = 0;
  EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, nullptr, 0, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(key);
}

TEST_F(RegistryTest, KeysAreCreatedOneLevelAtATimeAndFoundInAnyCase) {
  const std::u16string base = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{X}";
  EXPECT_EQ(OpenStatus(base), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(OpenStatus(base + u"\\0000", true), STATUS_OBJECT_NAME_NOT_FOUND);  // parent missing
  ULONG disposition = 0;
  HANDLE key = Open(base, true, &disposition);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  ZwClose(key);
  key = Open(u"\\REGISTRY\\machine\\system\\currentcontrolset\\control\\class\\{x}", true, &disposition);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

  // Relative names below a key handle; subkeys enumerate sorted.
  for (const char16_t* name : {u"Settings", u"Beta", u"alpha"}) {
    HANDLE child = Open(name, true, nullptr, key);
    ASSERT_NE(child, nullptr);
    ZwClose(child);
  }
  EXPECT_EQ(OpenStatus(u"\\Settings", false, key), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(OpenStatus(u"Settings\\", false, key), STATUS_OBJECT_NAME_INVALID);
  std::vector<std::u16string> names;
  for (ULONG i = 0;; ++i) {
    std::vector<UCHAR> buffer(64);
    ULONG result = 0;
    NTSTATUS status = ZwEnumerateKey(key, i, KeyBasicInformation, buffer.data(), 64, &result);
    if (status == STATUS_NO_MORE_ENTRIES) break;
    ASSERT_EQ(status, STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
    names.emplace_back(info->Name, info->NameLength / 2);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"alpha", u"Beta", u"Settings"}));

  // A deleted key stays open but answers STATUS_KEY_DELETED.
  HANDLE settings = Open(u"settings", false, nullptr, key);
  ASSERT_NE(settings, nullptr);
  EXPECT_EQ(ZwDeleteKey(key), STATUS_CANNOT_DELETE);  // it has subkeys
  EXPECT_EQ(ZwDeleteKey(settings), STATUS_SUCCESS);
  UNICODE_STRING value = RTL_CONSTANT_STRING(u"x");
  ULONG data = 1;
  EXPECT_EQ(ZwSetValueKey(settings, &value, 0, REG_DWORD, &data, 4), STATUS_KEY_DELETED);
  EXPECT_FALSE(platform::registry::KeyExists(base + u"\\Settings"));
  ZwClose(settings);
  ZwClose(key);
  EXPECT_EQ(platform::registry::OpenHandleCount(), 0u);
}

// Every value type the driver and the installer write.
void FillSampleTree() {
  const std::u16string k = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c}\\0007";
  platform::registry::SetStringValue(k, u"DriverDesc", u"Headset \"Pro\" C:\\path");
  platform::registry::SetStringValue(k, u"", u"default");
  platform::registry::SetDwordValue(k + u"\\Settings", u"IniVersion", 0x0000000A);
  std::vector<UCHAR> level(40);
  for (size_t i = 0; i < level.size(); ++i) level[i] = static_cast<UCHAR>(i * 7);
  platform::registry::SetValue(k + u"\\Settings", u"Unit05_ 1_1", REG_BINARY, level.data(), level.size());
  platform::registry::SetValue(k + u"\\Settings", u"Empty", REG_BINARY, nullptr, 0);
  const char16_t multi[] = u"USB\\VID_0D8C\0USB\\Class_01\0";
  platform::registry::SetValue(k, u"HardwareID", REG_MULTI_SZ, multi, sizeof(multi));
  const char16_t expand[] = u"%SystemRoot%\\x";
  platform::registry::SetValue(k, u"Path", REG_EXPAND_SZ, expand, sizeof(expand));
  const char16_t noTerminator[] = {u'a', u'b'};
  platform::registry::SetValue(k, u"Unterminated", REG_SZ, noTerminator, sizeof(noTerminator));
  UCHAR shortDword[2] = {1, 2};
  platform::registry::SetValue(k, u"ShortDword", REG_DWORD, shortDword, 2);
  platform::registry::SetStringValue(k, u"Unicode \u00e9\u4e2d", u"\u00fc\U0001F600");
}

TEST_F(RegistryTest, TheSavedTextReadsBackToTheSameRegistry) {
  FillSampleTree();
  std::string text = platform::registry::SaveToText();
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c}\\0007\\Settings]\n"
                      "\"IniVersion\"=dword:0000000a\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"DriverDesc\"=\"Headset \\\"Pro\\\" C:\\\\path\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("@=\"default\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Unterminated\"=hex(1):61,00,62,00\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Empty\"=hex:\n"), std::string::npos) << text;
  EXPECT_NE(text.find(",\\\n  "), std::string::npos) << "long binary values wrap";

  testsupport::ScratchDirectory scratch;
  const std::string file = scratch.File("registry_roundtrip.reg");
  ASSERT_EQ(platform::registry::SaveToFile(file), STATUS_SUCCESS);
  platform::registry::Reset();
  EXPECT_FALSE(
      platform::registry::KeyExists(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c}"));
  std::string error;
  ASSERT_EQ(platform::registry::LoadFromFile(file, &error), STATUS_SUCCESS) << error;
  EXPECT_EQ(platform::registry::SaveToText(), text);

  // The registry editor's own files are UTF-16 with a byte-order mark.
  std::u16string wide =
      u"\uFEFFWindows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\S-1]\r\n\"v\"=dword:ffffffff\r\n";
  std::string bytes(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  ASSERT_EQ(platform::registry::LoadFromText(bytes, &error), STATUS_SUCCESS) << error;
  ULONG type = 0;
  std::vector<UCHAR> data;
  ASSERT_TRUE(platform::registry::GetValue(u"\\Registry\\User\\S-1", u"v", &type, &data));
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, (std::vector<UCHAR>{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(RegistryTest, ImportsHonourDeletions) {
  FillSampleTree();
  const std::u16string k = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c}\\0007";
  std::string error;
  ASSERT_EQ(
      platform::registry::LoadFromText("Windows Registry Editor Version 5.00\n"
                                       "; presets\n"
                                       "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c}"
                                       "\\0007\\Settings]\n"
                                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c}"
                                       "\\0007]\n"
                                       "\"DriverDesc\"=-\n"
                                       "\"Level\"=hex:01,02,\\\n   03\n",
                                       &error),
      STATUS_SUCCESS)
      << error;
  EXPECT_FALSE(platform::registry::KeyExists(k + u"\\Settings"));
  EXPECT_FALSE(platform::registry::GetValue(k, u"DriverDesc", nullptr, nullptr));
  std::vector<UCHAR> data;
  ASSERT_TRUE(platform::registry::GetValue(k, u"Level", nullptr, &data));
  EXPECT_EQ(data, (std::vector<UCHAR>{1, 2, 3}));
}

TEST_F(RegistryTest, MalformedTextChangesNothing) {
  const std::string header = "Windows Registry Editor Version 5.00\n";
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n";
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"no header", key + "\"a\"=dword:1\n"},
      {"value before any key", header + "\"a\"=dword:1\n"},
      {"unclosed key", header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\n"},
      {"empty key component", header + "[HKEY_LOCAL_MACHINE\\\\SOFTWARE]\n"},
      {"unknown root", header + "[HKEY_CURRENT_CONFIG\\X]\n"},
      {"overlong key name", header + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n"},
      {"unclosed string", header + key + "\"a\"=\"text\n"},
      {"unknown escape", header + key + "\"a\"=\"\\n\"\n"},
      {"text after a string", header + key + "\"a\"=\"x\" y\n"},
      {"dword too long", header + key + "\"a\"=dword:123456789\n"},
      {"dword not hex", header + key + "\"a\"=dword:12g4\n"},
      {"hex byte too long", header + key + "\"a\"=hex:123\n"},
      {"hex type unclosed", header + key + "\"a\"=hex(7:00\n"},
      {"no equals", header + key + "\"a\" dword:1\n"},
      {"unknown data", header + key + "\"a\"=qword:1\n"},
      {"stray line", header + key + "garbage\n"},
      {"bad UTF-8", header + key + "\"\xC3\x28\"=dword:1\n"},
      {"odd UTF-16", std::string("\xFF\xFE\x57", 3)},
  };
  platform::registry::SetDwordValue(u"\\Registry\\Machine\\SOFTWARE\\Vendor", u"kept", 7);
  std::string before = platform::registry::SaveToText(u"\\Registry");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A good first half must not be applied when the rest is bad.
    std::string text = c.text + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Late]\n";
    std::string error;
    EXPECT_EQ(platform::registry::LoadFromText(text, &error), STATUS_DATA_ERROR);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(platform::registry::SaveToText(u"\\Registry"), before);
  }
  testsupport::ScratchDirectory scratch;
  EXPECT_EQ(platform::registry::LoadFromFile(scratch.File("no-such-registry.reg")),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

// A file's keys may come in any order and any case; they load into the one
// sorted tree the kernel enumerates.
TEST_F(RegistryTest, KeysInAnyOrderLoadSortedAndOnce) {
  std::string error;
  ASSERT_EQ(platform::registry::LoadFromText("Windows Registry Editor Version 5.00\n"
                                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\b]\n"
                                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\C]\n\"x\"=dword:1\n"
                                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\a]\n"
                                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\c]\n\"X\"=dword:2\n\"y\"=dword:3\n",
                                             &error),
            STATUS_SUCCESS)
      << error;
  EXPECT_EQ(platform::registry::SubkeyNames(u"\\Registry\\Machine\\SOFTWARE\\V"),
            (std::vector<std::u16string>{u"a", u"b", u"C"}));
  EXPECT_NE(platform::registry::SaveToText().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\C]\n\"x\"=dword:00000002\n"
                                                  "\"y\"=dword:00000003\n"),
            std::string::npos);
}

// What a process changed since it loaded the file goes into the file as
// another process left it meanwhile; everything else there stays.
TEST_F(RegistryTest, ChangesMergeIntoWhatAnotherProcessStored) {
  const std::string header = "Windows Registry Editor Version 5.00\n";
  const std::string loaded = header +
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n\"mine\"=dword:1\n\"gone\"=dword:1\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\Old]\n";
  const std::string onDisk = header +
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n\"mine\"=dword:1\n\"gone\"=dword:1\n"
                             "\"theirs\"=dword:5\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\Old]\n"
                             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\Their]\n\"t\"=dword:7\n"
                             "[HKEY_USERS\\S-1]\n";
  const std::u16string v = u"\\Registry\\Machine\\SOFTWARE\\V";
  std::string error;
  ASSERT_EQ(platform::registry::LoadFromText(loaded, &error), STATUS_SUCCESS) << error;
  const platform::registry::Snapshot snapshot = platform::registry::TakeSnapshot();
  platform::registry::SetDwordValue(v, u"mine", 2);
  platform::registry::SetDwordValue(v + u"\\New", u"n", 3);
  platform::registry::SetDwordValue(v, u"new", 4);
  ASSERT_EQ(platform::registry::DeleteKeyTree(v + u"\\Old"), STATUS_SUCCESS);
  HANDLE key = Open(v);
  ASSERT_NE(key, nullptr);
  UNICODE_STRING gone{8, 8, const_cast<PWSTR>(u"gone")};
  ASSERT_EQ(ZwDeleteValueKey(key, &gone), STATUS_SUCCESS);
  ZwClose(key);

  std::string merged;
  const platform::registry::Changes all(snapshot, platform::registry::ChangeKinds::All);
  ASSERT_EQ(all.MergeInto(onDisk, &merged, &error), STATUS_SUCCESS) << error;
  EXPECT_EQ(merged, header +
                        "\n[HKEY_LOCAL_MACHINE]\n"
                        "\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
                        "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n\"mine\"=dword:00000002\n\"theirs\"=dword:00000005\n"
                        "\"new\"=dword:00000004\n"
                        "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\New]\n\"n\"=dword:00000003\n"
                        "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\Their]\n\"t\"=dword:00000007\n"
                        "\n[HKEY_USERS]\n"
                        "\n[HKEY_USERS\\S-1]\n");
  // Applied once, the same changes change nothing more.
  std::string again;
  ASSERT_EQ(all.MergeInto(merged, &again, &error), STATUS_SUCCESS);
  EXPECT_EQ(again, "");

  // Additions only: the new key and value, but none of the changes, and a
  // value the file holds by now stays as it is.
  const platform::registry::Changes additions(snapshot, platform::registry::ChangeKinds::Additions);
  ASSERT_EQ(additions.MergeInto(onDisk + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\New]\n\"n\"=dword:9\n", &merged, &error),
            STATUS_SUCCESS);
  EXPECT_NE(merged.find("\"mine\"=dword:00000001\n\"gone\"=dword:00000001\n\"theirs\"=dword:00000005\n"
                        "\"new\"=dword:00000004\n"),
            std::string::npos)
      << merged;
  EXPECT_NE(merged.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\New]\n\"n\"=dword:00000009\n"), std::string::npos);
  EXPECT_NE(merged.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\V\\Old]\n"), std::string::npos);

  // A file that no longer parses is not written over.
  EXPECT_EQ(all.MergeInto(header + "garbage\n", &merged, &error), STATUS_DATA_ERROR);
  EXPECT_EQ(merged, "");
  EXPECT_TRUE(platform::registry::Changes(platform::registry::TakeSnapshot(), platform::registry::ChangeKinds::All)
                  .Empty());
}

}  // namespace
