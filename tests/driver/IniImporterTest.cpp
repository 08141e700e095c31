#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "driver/CIniReader.h"
#include "driver/IniImporter.h"
#include "driver/SettingsStore.h"
#include "kernel/format.h"
#include "portcls/framework.h"
#include "tests/driver/support/TestAdapter.h"
#include "tests/support/KernelTest.h"
#include "tests/support/ScratchDirectory.h"

namespace {

using namespace testsupport;

std::vector<UCHAR> Bytes(std::initializer_list<int> values) {
  std::vector<UCHAR> out;
  for (int v : values) out.push_back(static_cast<UCHAR>(v));
  return out;
}

std::vector<UCHAR> Utf16(const std::string& text) {
  std::vector<UCHAR> out;
  for (char c : text) {
    out.push_back(static_cast<UCHAR>(c));
    out.push_back(0);
  }
  return out;
}

// ---- The line parsers ------------------------------------------------------------------

struct ValueCase {
  std::string line;
  bool accepted;
  std::string name;
  ULONG type;
  std::vector<UCHAR> data;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

std::string Numbers(int count) {
  std::string values;
  for (int i = 0; i < count; ++i) values += (i ? ", " : "") + std::to_string(i);
  return values;
}

TEST(IniParserTest, ValueLinesBecomeExactBytes) {
  const ValueCase cases[] = {
      {"Gain = 0x10, 0x20\r", true, "Gain", REG_BINARY, Bytes({0x10, 0x20})},
      {"Level = 300\r", true, "Level", REG_BINARY, Bytes({0x2C, 0x01, 0, 0})},
      {"Name = Speaker\r", true, "Name", REG_SZ, Utf16("Speaker")},
      {"X = 0x1234\r", true, "X", REG_BINARY, Bytes({0x34, 0x12, 0, 0})},
      {"X = 0x0A, 7\r", true, "X", REG_BINARY, Bytes({0x0A, 7, 0, 0, 0})},
      {"  Lead\t=\t0xff ; trailing comment\r", true, "Lead", REG_BINARY, Bytes({0xFF})},
      {"Neg = -5\r", true, "Neg", REG_SZ, Utf16("-5")},
      // Text and numbers pack in order; the last token decides the type.
      {"Mixed = 5 ab, cd\r", true, "Mixed", REG_SZ,
       [] {
         auto v = Bytes({5, 0, 0, 0});
         auto t = Utf16("abcd");
         v.insert(v.end(), t.begin(), t.end());
         return v;
       }()},
      {"Spaced = 1   \r", true, "Spaced", REG_BINARY, Bytes({1, 0, 0, 0})},
      {"\r", false, "", 0, {}},
      {"   ; comment\r", false, "", 0, {}},
      {"NoEquals 5\r", false, "", 0, {}},
      {"Empty =\r", false, "", 0, {}},
      {"= 5\r", false, "", 0, {}},
      // Limits: 127-character names, 79-character tokens, 1,024 data bytes.
      {Repeat('n', 127) + " = 1\r", true, Repeat('n', 127), REG_BINARY, Bytes({1, 0, 0, 0})},
      {Repeat('n', 128) + " = 1\r", false, "", 0, {}},
      {"T = " + Repeat('t', 79) + "\r", true, "T", REG_SZ, Utf16(Repeat('t', 79))},
      {"T = " + Repeat('t', 80) + "\r", false, "", 0, {}},
      {"N = " + Numbers(257) + "\r", false, "", 0, {}},
      // Text counts against the data area as well: 7 x 79 characters are
      // 1,106 bytes of UTF-16.
      {"S = " + Repeat('s', 79) + " " + Repeat('s', 79) + " " + Repeat('s', 79) + " " + Repeat('s', 79) + " " +
           Repeat('s', 79) + " " + Repeat('s', 79) + " " + Repeat('s', 79) + "\r",
       false, "", 0, {}},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.line);
    auto value = std::make_unique<IniValue>();
    NTSTATUS status = CIniReader::ParseValueLine(c.line.data(), LONG(c.line.size()) - 1, value.get());
    ASSERT_EQ(c.accepted, NT_SUCCESS(status));
    if (!c.accepted) continue;
    EXPECT_EQ(platform::Widen(c.name), std::u16string(value->Name));
    EXPECT_EQ(c.type, value->Type);
    EXPECT_EQ(c.data, std::vector<UCHAR>(value->Data, value->Data + value->Bytes));
  }

  // 256 numbers fill the data area exactly.
  std::string full = "N = " + Numbers(256) + "\r";
  auto value = std::make_unique<IniValue>();
  ASSERT_EQ(STATUS_SUCCESS, CIniReader::ParseValueLine(full.data(), LONG(full.size()) - 1, value.get()));
  EXPECT_EQ(INI_DATA_BYTES, value->Bytes);

  // A line is its length: what lies beyond it in the buffer is not read.
  std::string piece = "Level = 300999\r";
  ASSERT_EQ(STATUS_SUCCESS, CIniReader::ParseValueLine(piece.data(), 11, value.get()));
  EXPECT_EQ(Bytes({0x2C, 0x01, 0, 0}), std::vector<UCHAR>(value->Data, value->Data + value->Bytes));
}

TEST(IniParserTest, VersionLinesGiveTheirFirstValue) {
  struct Case {
    std::string line;
    bool accepted;
    ULONG version;
  };
  const Case cases[] = {
      {"Version = 6\r", true, 6},
      {"Version=0x07\r", true, 7},
      {"Version = 3, 9\r", true, 3},
      {"Version = beta\r", true, 0},
      {"; Version = 6\r", false, 0},
      {Repeat('v', 19) + " = 2\r", true, 2},
      {Repeat('v', 20) + " = 2\r", false, 0},
      {"Version = " + Repeat('1', 20) + "\r", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ULONG version = 99;
    NTSTATUS status = CIniReader::ParseVersionLine(c.line.data(), LONG(c.line.size()) - 1, &version);
    ASSERT_EQ(c.accepted, NT_SUCCESS(status));
    if (c.accepted) {
      EXPECT_EQ(c.version, version);
    }
  }
}

TEST(IniParserTest, NumbersWrapAtThirtyTwoBitsAndEndAtTheFirstForeignCharacter) {
  struct Case {
    const char* token;
    ULONG value;
  };
  const Case cases[] = {{"4294967297", 1}, {"300", 300},   {"0x1234", 0x1234}, {"0XfF", 0xFF}, {"0x", 0},
                        {"", 0},           {"abc", 0},     {"12ab", 12},       {"0xZZ", 0},    {"0x1FFFFFFFF", 0xFFFFFFFF}};
  for (const Case& c : cases) EXPECT_EQ(c.value, ParseIniNumber(c.token, ULONG(std::strlen(c.token)))) << c.token;
}

// ---- The reader on a file ---------------------------------------------------------------

class IniReaderTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::registry::Reset();
    platform::portcls::ResetForTest();
    m_Scratch = std::make_unique<ScratchDirectory>();
    m_Root = m_Scratch->Path();
    platform::files::SetSystemRoot(m_Root.string());
    m_Adapter = std::make_unique<TestAdapter>();
    ASSERT_NE(nullptr, m_Adapter->Fdo());
  }
  void TearDown() override {
    m_Adapter.reset();
    platform::files::SetSystemRoot("");
    m_Scratch.reset();
    KernelTest::TearDown();
  }

  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(m_Root / name, std::ios::binary) << text;
  }
  // The default file, lines joined with CR LF (and one after the last).
  void WriteIni(std::initializer_list<std::string> lines, const std::string& name = "KESTREL90.INI") {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    WriteFile(name, text);
  }
  static std::string Veltra(const std::string& section) {
    return std::string(kTestAdapterHardwareId) + " = " + section;
  }

  PDEVICE_OBJECT Fdo() const { return m_Adapter->Fdo(); }
  void Store(PCWSTR name, ULONG value) {
    ASSERT_EQ(STATUS_SUCCESS, AccessSetting(Fdo(), SETTINGS_WRITE, &value, sizeof(value), name));
  }
  bool Stored(const std::u16string& name, ULONG* type, std::vector<UCHAR>* data,
              const std::u16string& subkey = u"") const {
    std::u16string path = kTestAdapterSettingsKey + (subkey.empty() ? u"" : u"\\" + subkey);
    return platform::registry::GetValue(path, name, type, data);
  }
  ULONG IniVersion() const {
    ULONG type = 0;
    std::vector<UCHAR> data;
    if (!Stored(u"IniVersion", &type, &data) || data.size() != 4) return 0;
    ULONG v;
    std::memcpy(&v, data.data(), 4);
    return v;
  }
  bool Has(const std::u16string& name, const std::u16string& subkey = u"") const {
    ULONG type = 0;
    std::vector<UCHAR> data;
    return Stored(name, &type, &data, subkey);
  }

  std::unique_ptr<ScratchDirectory> m_Scratch;
  std::filesystem::path m_Root;
  std::unique_ptr<TestAdapter> m_Adapter;
};

TEST_F(IniReaderTest, ImportsWhenTheFileIsNewerThanTheStoredVersion) {
  WriteIni({"[VERSION]", "Version = 6", "[VELTRA]", Veltra("Dev"), "[Dev]", "Gain = 0x10, 0x20", "Name = Speaker"});
  Store(u"IniVersion", 6);
  EXPECT_EQ(STATUS_SUCCESS, ImportIniPresets(Fdo()));
  EXPECT_FALSE(Has(u"Gain"));

  Store(u"IniVersion", 5);
  EXPECT_EQ(STATUS_SUCCESS, ImportIniPresets(Fdo()));
  EXPECT_EQ(6u, IniVersion());
  ULONG type = 0;
  std::vector<UCHAR> data;
  ASSERT_TRUE(Stored(u"Gain", &type, &data));
  EXPECT_EQ(ULONG(REG_BINARY), type);
  EXPECT_EQ(Bytes({0x10, 0x20}), data);
  ASSERT_TRUE(Stored(u"Name", &type, &data));
  EXPECT_EQ(ULONG(REG_SZ), type);
  EXPECT_EQ(Utf16("Speaker"), data);
}

TEST_F(IniReaderTest, WithoutAVersionOrADeviceLineNothingIsImported) {
  struct Case {
    const char* name;
    std::vector<std::string> lines;  // empty: no file
  };
  const Case cases[] = {
      {"no file", {}},
      {"no VERSION section", {"[VELTRA]", Veltra("Dev"), "[Dev]", "A = 1"}},
      {"no value line", {"[VERSION]", "; none", "[VELTRA]", Veltra("Dev"), "[Dev]", "A = 1"}},
      {"device not mapped", {"[VERSION]", "Version = 3", "[VELTRA]", "USB\\VID_FFFF = Dev", "[Dev]", "A = 1"}},
      {"mapped name cut short", {"[VERSION]", "Version = 3", "[VELTRA]", "USB\\VID_1209", "[Dev]", "A = 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(m_Root / "KESTREL90.INI");
    if (!c.lines.empty()) {
      std::string text;
      for (const auto& line : c.lines) text += line + "\r\n";
      WriteFile("KESTREL90.INI", text);
    }
    EXPECT_EQ(STATUS_SUCCESS, ImportIniPresets(Fdo()));
    EXPECT_FALSE(Has(u"A"));
    // A device missing from the map leaves the version to try again.
    EXPECT_EQ(0u, IniVersion());
  }
}

TEST_F(IniReaderTest, SectionGrammar) {
  WriteIni({
      "[VERSION]", "Version = 2",
      // A device section before the map is never found.
      "[Dev]", "Early = 1",
      "[VELTRA]", "usb\\vid_1209&pid_0002&rev_0100\t=\tDev ; the ID matches without regard to case",
      "[dev]", "WrongCase = 1",  // section headers match exactly
      "[Dev]", "A = 1",
      "", "AfterBlank = 1",  // a blank line ends the section's import
      "[Dev:Sub]", "B = 2",
      "; comment", "C = 3",  // refused, then C is skipped up to the next header
      "[Dev]", "D = 4",
      "; comment", "[Dev:Other]", "E = 5",  // the line after a refusal is the next header
      "Last = 6"});                          // written, then the file ends
  ASSERT_EQ(STATUS_SUCCESS, ImportIniPresets(Fdo()));
  EXPECT_FALSE(Has(u"Early"));
  EXPECT_FALSE(Has(u"WrongCase"));
  EXPECT_TRUE(Has(u"A"));
  EXPECT_FALSE(Has(u"AfterBlank"));
  EXPECT_TRUE(Has(u"B", u"Sub"));
  EXPECT_FALSE(Has(u"B"));
  EXPECT_FALSE(Has(u"C", u"Sub"));
  EXPECT_TRUE(Has(u"D"));
  EXPECT_TRUE(Has(u"E", u"Other"));
  EXPECT_TRUE(Has(u"Last", u"Other"));
  EXPECT_EQ(2u, IniVersion());
}

TEST_F(IniReaderTest, LinesEndAtCarriageReturnsAndALastLineNeedsOne) {
  // The byte after a carriage return is skipped whatever it is; bare line
  // feeds do not end lines; the last line has no end.
  std::string longLine = "L = " + Repeat('9', 4093);  // 4,097 bytes
  WriteFile("KESTREL90.INI", "first\rXsecond\r\nthird\nstill third\r\n" + longLine + "tail\r\nunended");
  CIniReader reader(Fdo());
  ASSERT_EQ(STATUS_SUCCESS, reader.BuildPath());
  ASSERT_EQ(STATUS_SUCCESS, reader.Open());
  auto line = [&](LONG length) { return std::string(reader.Line(), size_t(length)); };
  LONG n = reader.ReadLine();
  EXPECT_EQ("first", line(n));
  EXPECT_EQ('\r', reader.Line()[n]);
  EXPECT_EQ('\n', reader.Line()[n + 1]);
  n = reader.ReadLine();
  EXPECT_EQ("second", line(n));
  n = reader.ReadLine();
  EXPECT_EQ("third\nstill third", line(n));
  n = reader.ReadLine();
  EXPECT_EQ(INI_MAX_LINE, n);  // returned in a piece, without a carriage return
  EXPECT_EQ(longLine, line(n));
  n = reader.ReadLine();
  EXPECT_EQ("tail", line(n));
  EXPECT_EQ(-1, reader.ReadLine());
  reader.Close();
}

TEST_F(IniReaderTest, ModuleNameChoosesTheFileWithinThePath) {
  WriteIni({"[VERSION]", "Version = 1", "[VELTRA]", Veltra("Dev"), "[Dev]", "Default = 1"});
  WriteIni({"[VERSION]", "Version = 1", "[VELTRA]", Veltra("Dev"), "[Dev]", "Other = 1"}, "OTHER.INI");
  // Stored as raw bytes without a terminator.
  std::vector<UCHAR> name = Utf16("other.ini");
  ASSERT_EQ(STATUS_SUCCESS, AccessSetting(Fdo(), SETTINGS_WRITE, name.data(), ULONG(name.size()), u"ModuleName"));
  ASSERT_EQ(STATUS_SUCCESS, ImportIniPresets(Fdo()));
  EXPECT_TRUE(Has(u"Other"));
  EXPECT_FALSE(Has(u"Default"));

  // 37 characters fit "\SystemRoot\" and the 49-character path; 38 would
  // open a cut name, so nothing is imported.
  CIniReader reader(Fdo());
  for (size_t length : {37u, 38u}) {
    std::vector<UCHAR> longName = Utf16(Repeat('n', length - 4) + ".INI");
    ASSERT_EQ(STATUS_SUCCESS,
              AccessSetting(Fdo(), SETTINGS_WRITE, longName.data(), ULONG(longName.size()), u"ModuleName"));
    NTSTATUS status = reader.BuildPath();
    EXPECT_EQ(length == 37, NT_SUCCESS(status)) << length;
    if (NT_SUCCESS(status)) {
      EXPECT_EQ(49u, wcslen(reader.Path()));
    }
  }
  reader.Close();
}

TEST_F(IniReaderTest, FailuresOnTheWayImportNothingAndOnlyTheReaderItselfFailsTheStart) {
  WriteIni({"[VERSION]", "Version = 4", "[VELTRA]", Veltra("Dev"), "[Dev]", "A = 1"});
  struct Case {
    const char* name;
    ULONG tag;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"reader", INI_READER_TAG, STATUS_INSUFFICIENT_RESOURCES},
      {"line buffer", INI_BUFFER_TAG, STATUS_SUCCESS},
      {"file", MakeTag("File"), STATUS_SUCCESS},
      {"registry keys", MakeTag("CmKy"), STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::pool::FailAllocationsWithTag(c.tag);
    EXPECT_EQ(c.expected, ImportIniPresets(Fdo()));
    platform::pool::ClearFailures();
    EXPECT_FALSE(Has(u"A"));
    EXPECT_EQ(0u, IniVersion());
  }
  // Every single allocation failing in turn: never a leak, and the import
  // either happens whole or the version stays for the next start.
  for (size_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    platform::pool::FailNthAllocation(n);
    ImportIniPresets(Fdo());
    platform::pool::ClearFailures();
    if (IniVersion() == 4u) break;
    ASSERT_LT(n, 2000u);
  }
  EXPECT_TRUE(Has(u"A"));
}

}  // namespace
