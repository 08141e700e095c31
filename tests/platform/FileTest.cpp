// Reading a file below "\SystemRoot\" the way the preset importer does:
// open, size, reads at byte offsets up to the end of the file.
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "kernel/format.h"
#include "kernel/nt.h"
#include "tests/support/KernelTest.h"
#include "tests/support/ScratchDirectory.h"

namespace {

class FileTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    m_Scratch = std::make_unique<testsupport::ScratchDirectory>();
    m_Root = m_Scratch->Path() / "systemroot";
    std::filesystem::create_directories(m_Root / "inf");
    std::ofstream(m_Root / "VZPreset.ini", std::ios::binary) << "[Version]\r\n";  // 11 bytes
    platform::files::SetSystemRoot(m_Root.string());
  }
  void TearDown() override {
    platform::files::SetSystemRoot("");
    m_Scratch.reset();
    KernelTest::TearDown();
  }

  static NTSTATUS Open(const std::u16string& path, HANDLE* file, ACCESS_MASK access = GENERIC_READ,
                       ULONG disposition = FILE_OPEN) {
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                        const_cast<PWSTR>(path.c_str())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    return ZwCreateFile(file, access, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, disposition,
                        FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  }

  std::unique_ptr<testsupport::ScratchDirectory> m_Scratch;
  std::filesystem::path m_Root;
};

TEST_F(FileTest, ReadsAtOffsetsUpToTheEndOfTheFile) {
  HANDLE file = nullptr;
  ASSERT_EQ(Open(u"\\SystemRoot\\vzpreset.INI", &file), STATUS_SUCCESS);  // any case
  IO_STATUS_BLOCK iosb{};
  FILE_STANDARD_INFORMATION info{};
  ASSERT_EQ(ZwQueryInformationFile(file, &iosb, &info, sizeof(info), FileStandardInformation), STATUS_SUCCESS);
  EXPECT_EQ(info.EndOfFile.QuadPart, 11);

  struct Case {
    LONGLONG offset;
    ULONG length;
    NTSTATUS status;
    ULONG_PTR read;
    const char* bytes;
  };
  const Case cases[] = {
      {0, 9, STATUS_SUCCESS, 9, "[Version]"},
      {9, 8, STATUS_SUCCESS, 2, "\r\n"},  // cut at the end
      {11, 4, STATUS_END_OF_FILE, 0, ""},
      {400, 4, STATUS_END_OF_FILE, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    char buffer[16] = {};
    LARGE_INTEGER offset;
    offset.QuadPart = c.offset;
    iosb = IO_STATUS_BLOCK{};
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, c.length, &offset, nullptr), c.status);
    EXPECT_EQ(iosb.Status, c.status);
    EXPECT_EQ(iosb.Information, c.read);
    EXPECT_EQ(std::string(buffer, c.read), c.bytes);
  }
  ZwClose(file);
  EXPECT_EQ(platform::files::OpenFileCount(), 0u);
}

TEST_F(FileTest, OnlyExistingFilesBelowTheRootOpenForReading) {
  struct Case {
    std::u16string path;
    ACCESS_MASK access;
    ULONG disposition;
    NTSTATUS status;
  };
  const Case cases[] = {
      {u"\\SystemRoot\\missing.ini", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND},
      {u"\\SystemRoot\\nodir\\VZPreset.ini", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
      {u"\\SystemRoot\\..\\systemroot\\VZPreset.ini", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_NAME_INVALID},
      {u"\\SystemRoot\\inf", GENERIC_READ, FILE_OPEN, STATUS_FILE_IS_A_DIRECTORY},
      {u"\\SystemRoot\\VZPreset.ini", GENERIC_WRITE, FILE_OPEN, STATUS_ACCESS_DENIED},
      {u"\\SystemRoot\\VZPreset.ini", GENERIC_READ, FILE_OVERWRITE_IF, STATUS_ACCESS_DENIED},
      {u"\\??\\C:\\VZPreset.ini", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::Narrow(c.path));
    HANDLE file = nullptr;
    EXPECT_EQ(Open(c.path, &file, c.access, c.disposition), c.status);
    EXPECT_EQ(file, nullptr);
  }
  platform::files::SetSystemRoot("");
  HANDLE file = nullptr;
  EXPECT_EQ(Open(u"\\SystemRoot\\VZPreset.ini", &file), STATUS_OBJECT_PATH_NOT_FOUND);
}

}  // namespace
