// String routines: bounded formatting and counted strings.
#include <string>

#include "kernel/nt.h"
#include "tests/support/KernelTest.h"

namespace {

class RtlTest : public testsupport::KernelTest {};

constexpr WCHAR kFill = 0x7777;

// "%s%d" names cut to the buffer: the safe routines terminate what they cut
// and say so; _snwprintf stores without a terminator and answers -1.
TEST_F(RtlTest, BoundedWideFormattingTruncatesLikeTheKernel) {
  struct Case {
    size_t cch;
    NTSTATUS status;
    std::u16string text;
  };
  const Case cases[] = {
      {15, STATUS_SUCCESS, u"MasterVolume12"},  // 14 characters and the terminator
      {14, STATUS_BUFFER_OVERFLOW, u"MasterVolume1"},
      {13, STATUS_BUFFER_OVERFLOW, u"MasterVolume"},
      {1, STATUS_BUFFER_OVERFLOW, u""},
      {0, STATUS_INVALID_PARAMETER, u""},
  };
  for (const Case& c : cases) {
    WCHAR buffer[20];
    std::fill(std::begin(buffer), std::end(buffer), kFill);
    NTSTATUS status = RtlStringCchPrintfW(buffer, c.cch, u"%s%d", u"MasterVolume", 12);
    EXPECT_EQ(status, c.status) << c.cch;
    if (c.cch == 0) {
      EXPECT_EQ(buffer[0], kFill) << "a zero-sized buffer is not touched";
      continue;
    }
    EXPECT_EQ(std::u16string(buffer), c.text) << c.cch;
    EXPECT_EQ(buffer[c.cch], kFill) << "written past the buffer";
  }

  WCHAR buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), kFill);
  EXPECT_EQ(_snwprintf(buffer, 4, u"%s%d", u"Mic", 7), 4) << "an exact fit";
  EXPECT_EQ(std::u16string(buffer, 4), u"Mic7");
  EXPECT_EQ(buffer[4], kFill) << "no terminator on an exact fit";
  EXPECT_EQ(_snwprintf(buffer, 4, u"%s%d", u"Mic", 17), -1);
  EXPECT_EQ(std::u16string(buffer, 4), u"Mic1");
  EXPECT_EQ(_snwprintf(buffer, 8, u"%S-%02d", "In", 3), 5) << "%S is narrow in a wide format";
  EXPECT_EQ(std::u16string(buffer), u"In-03");

  WCHAR name[50];
  EXPECT_EQ(RtlStringCbPrintfW(name, sizeof name, u"\\Callback\\AudioHalAddr%p", reinterpret_cast<void*>(0xABC)),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"\\Callback\\AudioHalAddr0000000000000ABC");
}

TEST_F(RtlTest, CountedStringsCompareAppendAndAllocate) {
  UNICODE_STRING a = RTL_CONSTANT_STRING(u"Settings"), b = RTL_CONSTANT_STRING(u"SETTINGS");
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  UNICODE_STRING shorter = RTL_CONSTANT_STRING(u"Setting");
  EXPECT_GT(RtlCompareUnicodeString(&a, &shorter, TRUE), 0);

  WCHAR storage[10];
  UNICODE_STRING s{0, sizeof storage, storage};
  EXPECT_EQ(RtlAppendUnicodeToString(&s, u"Unit"), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &a), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(platform::ToU16(&s), u"Unit") << "a failed append leaves the string";
  UNICODE_STRING digits{0, 6, storage + 4};
  EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &digits), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &digits), STATUS_SUCCESS);
  EXPECT_EQ(platform::ToU16(&digits), u"FF");

  const GUID guid = DEFINE_GUID_VALUE(0x519F2570, 0xA253, 0x4E10, 0x8B, 0xA1, 0xB3, 0xBC, 0x84, 0x45, 0xAE, 0xCE);
  UNICODE_STRING text;
  ASSERT_EQ(RtlStringFromGUID(guid, &text), STATUS_SUCCESS);
  EXPECT_EQ(platform::ToU16(&text), u"{519F2570-A253-4E10-8BA1-B3BC8445AECE}");
  RtlFreeUnicodeString(&text);  // the fixture's leak check sees it returned

  WCHAR id[] = u"usb\\vid_1234&pid_abcd";
  EXPECT_EQ(std::u16string(_wcsupr(id)), u"USB\\VID_1234&PID_ABCD");
  EXPECT_EQ(_strnicmp("Device Parameters", "DEVICE PARAM", 12), 0);
}

}  // namespace
