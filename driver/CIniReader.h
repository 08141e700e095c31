// The reader of the vendor preset file: a line-oriented reader over an 8-bit
// text file in the system root that finds the device's section through the
// "VELTRA" map (hardware ID = section name) and turns value lines
// (name = value, value, ...) into Settings values.
//
// Lines end with carriage return and line feed; the byte after a carriage
// return is skipped unread, so a file with bare line feeds reads as one long
// line. A line that is not ended by a carriage return before the end of the
// file is never returned. Lines carry no terminator: every parser here is
// bounded by the line's length as well as by its carriage return.
//
// The reader lives for one call of the device object's Init, at
// PASSIVE_LEVEL; it is a plain object without virtual operations.
#pragma once

#include "kernel/nt.h"

constexpr ULONG INI_READER_TAG = MakeTag("PINI");
constexpr ULONG INI_BUFFER_TAG = MakeTag(" INI");

constexpr ULONG INI_LINE_BUFFER_BYTES = 4098;
constexpr LONG INI_MAX_LINE = 4097;  // a longer line comes back in pieces
constexpr ULONG INI_DATA_BYTES = 1024;
constexpr ULONG INI_SECTION_NAME_CHARS = 49;
constexpr ULONG INI_SUBKEY_CHARS = 79;
constexpr ULONG INI_VALUE_NAME_CHARS = 127;
constexpr ULONG INI_VALUE_TOKEN_CHARS = 79;
constexpr ULONG INI_VERSION_NAME_CHARS = 19;
constexpr ULONG INI_VERSION_TOKEN_CHARS = 19;
constexpr ULONG INI_HARDWARE_ID_BYTES = 100;
constexpr ULONG INI_PATH_CHARS = 49;
constexpr ULONG INI_MODULE_NAME_BYTES = 100;

// One parsed value line.
struct IniValue {
  WCHAR Name[INI_VALUE_NAME_CHARS + 1];
  ULONG Type;  // REG_BINARY or REG_SZ
  UCHAR Data[INI_DATA_BYTES];
  ULONG Bytes;
};

// The 32-bit value of a number token: "0x"/"0X" and hexadecimal digits, or
// decimal digits; the number ends at the first character that is not a
// digit of its base. Anything else, or nothing, is 0. Wraps at 32 bits.
ULONG ParseIniNumber(const CHAR* token, ULONG length);

class CIniReader {
 public:
  explicit CIniReader(PDEVICE_OBJECT deviceObject);
  ~CIniReader();
  CIniReader(const CIniReader&) = delete;
  CIniReader& operator=(const CIniReader&) = delete;

  // Reads the device's first hardware ID and forms the file's path from
  // "KESTREL90.INI" or the Settings value "ModuleName". A name that does not
  // fit the path is refused (STATUS_NAME_TOO_LONG): opening a cut name
  // would read some other file.
  NTSTATUS BuildPath();
  // The first value of the "VERSION" section's first value line; 0 when
  // there is no file, no section or no such line.
  ULONG ReadVersion();
  // Opens the file and moves past the device's line in "VELTRA".
  NTSTATUS OpenDeviceSection();
  // Imports the device's sections that follow, each header once.
  NTSTATUS ImportAll();
  void Close();

  // ---- The parts, for tests
  NTSTATUS Open();
  void CloseHandle();
  // Length of the line now in the line buffer (without its line end), or -1
  // at the end of the file.
  LONG ReadLine();
  const CHAR* Line() const { return reinterpret_cast<const CHAR*>(m_LineBuffer); }
  NTSTATUS FindSection(const CHAR* name);
  NTSTATUS FindDeviceSectionName(const CHAR* hardwareId);
  NTSTATUS FindNextDeviceSection(const CHAR* sectionName, LONG currentLineLength, CHAR* subkey);
  NTSTATUS ImportSection();
  // A "VERSION" line: its first value.
  static NTSTATUS ParseVersionLine(const CHAR* line, LONG length, ULONG* version);
  static NTSTATUS ParseValueLine(const CHAR* line, LONG length, IniValue* value);

  const CHAR* SectionName() const { return m_SectionName; }
  const CHAR* HardwareId() const { return m_HardwareId; }
  PCWSTR Path() const { return m_Path; }

 private:
  HANDLE m_FileHandle = nullptr;
  IO_STATUS_BLOCK m_IoStatus{};
  PUCHAR m_LineBuffer = nullptr;
  CHAR m_SectionName[INI_SECTION_NAME_CHARS + 1] = {};
  CHAR m_HardwareId[INI_HARDWARE_ID_BYTES] = {};
  LARGE_INTEGER m_ReadPosition{};
  ULONG m_ReadLimit = 0;
  PDEVICE_OBJECT m_DeviceObject;
  WCHAR m_Path[INI_PATH_CHARS + 1] = {};
  // The line a section's import stopped at, for the next header search
  // (-1: none).
  LONG m_CurrentLineLength = -1;
};
