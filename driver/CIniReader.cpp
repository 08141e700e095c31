#include "driver/CIniReader.h"

#include "driver/SettingsStore.h"
#include "driver/common/PoolBuffer.h"
#include "portcls/portcls.h"

namespace {

constexpr CHAR CR = '\r';
constexpr ULONG kHardwareIdBufferBytes = 1000;
constexpr ULONG kHeaderChars = 79;
constexpr ULONG kDeviceHeaderBytes = 128;
constexpr PCWSTR kDefaultFileName = u"KESTREL90.INI";
constexpr PCWSTR kSystemRoot = u"\\SystemRoot\\";

// A view of one line: its bytes up to its length. Reading at or past the
// length gives the carriage return that ends every complete line, so a
// piece of an over-long line ends where its bytes end.
class LineCursor {
 public:
  LineCursor(const CHAR* line, LONG length) : m_Line(line), m_Length(length > 0 ? length : 0) {}
  CHAR Peek() const { return m_Pos < m_Length ? m_Line[m_Pos] : CR; }
  bool AtEnd() const { return Peek() == CR; }
  void Next() {
    if (m_Pos < m_Length) ++m_Pos;
  }
  void SkipAny(const char* set) {
    while (!AtEnd() && std::strchr(set, Peek())) Next();
  }
  // Moves to the first character in `set` (or the end); returns the
  // characters passed over.
  LONG RunUntil(const char* set) {
    LONG start = m_Pos;
    while (!AtEnd() && !std::strchr(set, Peek())) Next();
    return m_Pos - start;
  }
  const CHAR* Here() const { return m_Line + m_Pos; }
  LONG Position() const { return m_Pos; }

 private:
  const CHAR* m_Line;
  LONG m_Length;
  LONG m_Pos = 0;
};

bool StartsWith(const CHAR* line, LONG length, const CHAR* text, size_t textLength) {
  return length >= 0 && static_cast<size_t>(length) >= textLength && std::memcmp(line, text, textLength) == 0;
}

// One token of a value list: it ends before a tab, carriage return, space
// or ";", or after a comma. `last` tells whether it ended the list.
struct Token {
  const CHAR* text;
  ULONG length;
  bool last;
};

Token NextToken(LineCursor& cursor) {
  cursor.SkipAny("\t ,");
  Token token{cursor.Here(), 0, false};
  token.length = static_cast<ULONG>(cursor.RunUntil("\t ;,"));
  CHAR stop = cursor.Peek();
  if (stop == ',') cursor.Next();
  token.last = stop == CR || stop == ';';
  return token;
}

bool IsByteToken(const Token& t) { return t.length == 4 && t.text[0] == '0' && (t.text[1] == 'x' || t.text[1] == 'X'); }

// The value list after "name =". Numbers and bytes are packed in order,
// text goes in as UTF-16; everything counts against the data area. Empty
// tokens (blanks before the line's end) add nothing. On a version line
// every token that is not a byte is a number (text reads as 0). The first
// value's size tells a caller that wants only that one where it ends.
NTSTATUS ParseValues(LineCursor& cursor, ULONG tokenLimit, bool versionLine, UCHAR* data, ULONG* bytes, ULONG* type,
                     ULONG* firstSize) {
  *bytes = 0;
  *firstSize = 0;
  for (;;) {
    Token token = NextToken(cursor);
    if (token.length > tokenLimit) return STATUS_UNSUCCESSFUL;
    if (token.length > 0) {
      bool text = !versionLine && !(token.text[0] >= '0' && token.text[0] <= '9');
      ULONG size = IsByteToken(token) ? 1 : text ? token.length * ULONG(sizeof(WCHAR)) : ULONG(sizeof(ULONG));
      if (size > INI_DATA_BYTES - *bytes) return STATUS_UNSUCCESSFUL;
      UCHAR* out = data + *bytes;
      if (text) {
        for (ULONG i = 0; i < token.length; ++i) {
          WCHAR c = static_cast<UCHAR>(token.text[i]);
          std::memcpy(out + i * sizeof(WCHAR), &c, sizeof(WCHAR));
        }
      } else {
        ULONG number = ParseIniNumber(token.text, token.length);
        std::memcpy(out, &number, size);  // little-endian: a byte token keeps its low byte
      }
      *type = text ? REG_SZ : REG_BINARY;
      if (*firstSize == 0) *firstSize = size;
      *bytes += size;
    }
    if (token.last) break;
  }
  return *firstSize ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// "name = values": the name (up to a tab, space or "=") and the cursor put
// on the first value. False when the line holds no such pair.
bool ParseNameAndEquals(LineCursor& cursor, const CHAR** name, LONG* nameLength) {
  cursor.SkipAny(" ");
  if (cursor.AtEnd() || cursor.Peek() == ';') return false;
  *name = cursor.Here();
  *nameLength = cursor.RunUntil("\t =");
  cursor.RunUntil("=");
  if (cursor.Peek() != '=') return false;
  cursor.Next();
  cursor.SkipAny(" \t");
  return true;
}

int HexDigit(CHAR c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

ULONG ParseIniNumber(const CHAR* token, ULONG length) {
  if (!token || length == 0) return 0;
  ULONG value = 0;
  if (length >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    for (ULONG i = 2; i < length; ++i) {
      int digit = HexDigit(token[i]);
      if (digit < 0) break;
      value = value * 16u + static_cast<ULONG>(digit);
    }
    return value;
  }
  for (ULONG i = 0; i < length && token[i] >= '0' && token[i] <= '9'; ++i)
    value = value * 10u + static_cast<ULONG>(token[i] - '0');
  return value;
}

CIniReader::CIniReader(PDEVICE_OBJECT deviceObject) : m_DeviceObject(deviceObject) {}

CIniReader::~CIniReader() { Close(); }

NTSTATUS CIniReader::BuildPath() {
  PAGED_CODE();
  CPoolBuffer hardwareIds(PagedPool, kHardwareIdBufferBytes, INI_BUFFER_TAG);
  if (!m_LineBuffer) {
    m_LineBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, INI_LINE_BUFFER_BYTES, INI_BUFFER_TAG));
    if (m_LineBuffer) RtlZeroMemory(m_LineBuffer, INI_LINE_BUFFER_BYTES);
  }
  if (!hardwareIds || !m_LineBuffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(hardwareIds.Get(), hardwareIds.Bytes());

  ULONG length = 0;
  NTSTATUS status = PcGetDeviceProperty(m_DeviceObject, DevicePropertyHardwareID, kHardwareIdBufferBytes,
                                        hardwareIds.Get(), &length);
  if (!NT_SUCCESS(status)) return status;
  PWSTR firstId = hardwareIds.As<WCHAR>();
  firstId[kHardwareIdBufferBytes / sizeof(WCHAR) - 1] = 0;
  _wcsupr(firstId);
  // As 8-bit characters, as the file has them.
  ULONG i = 0;
  for (; i + 1 < sizeof(m_HardwareId) && firstId[i]; ++i)
    m_HardwareId[i] = firstId[i] <= 0xFF ? static_cast<CHAR>(firstId[i]) : '?';
  m_HardwareId[i] = 0;

  // The stored name is read into a zeroed buffer with room for a terminator
  // that the value itself may lack.
  WCHAR fileName[INI_MODULE_NAME_BYTES / sizeof(WCHAR) + 1] = {};
  if (!NT_SUCCESS(AccessSetting(m_DeviceObject, SETTINGS_READ, fileName, INI_MODULE_NAME_BYTES, u"ModuleName")) ||
      !fileName[0])
    RtlStringCchCopyW(fileName, ARRAYSIZE(fileName), kDefaultFileName);
  if (wcslen(kSystemRoot) + wcslen(fileName) > INI_PATH_CHARS) return STATUS_NAME_TOO_LONG;
  RtlStringCchPrintfW(m_Path, ARRAYSIZE(m_Path), u"%s%s", kSystemRoot, fileName);
  return status;
}

NTSTATUS CIniReader::Open() {
  PAGED_CODE();
  CloseHandle();
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, m_Path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE handle = nullptr;
  NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ, &attributes, &m_IoStatus, nullptr, 0, FILE_SHARE_READ,
                                 FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(status)) return status;
  m_FileHandle = handle;
  m_ReadPosition.QuadPart = 0;
  m_ReadLimit = 0x7FFFFFFF;
  m_CurrentLineLength = -1;
  return STATUS_SUCCESS;
}

void CIniReader::CloseHandle() {
  if (m_FileHandle && NT_SUCCESS(ZwClose(m_FileHandle))) m_FileHandle = nullptr;
}

void CIniReader::Close() {
  CloseHandle();
  if (m_LineBuffer) ExFreePool(m_LineBuffer);
  m_LineBuffer = nullptr;
}

LONG CIniReader::ReadLine() {
  PAGED_CODE();
  if (!m_FileHandle || !m_LineBuffer) return -1;
  LONG count = 0;
  for (;;) {
    PUCHAR slot = m_LineBuffer + count;
    bool transferred = false;
    if (m_ReadPosition.QuadPart < m_ReadLimit) {
      NTSTATUS status = ZwReadFile(m_FileHandle, nullptr, nullptr, nullptr, &m_IoStatus, slot, 1, &m_ReadPosition,
                                   nullptr);
      if (!NT_SUCCESS(status)) return -1;
      transferred = m_IoStatus.Information != 0;
    }
    if (!transferred) {
      if (count == 0) return -1;
      slot[0] = CR;
      slot[1] = '\n';
      return count;
    }
    if (*slot == CR) {
      slot[1] = '\n';
      m_ReadPosition.QuadPart += 2;
      return count;
    }
    m_ReadPosition.QuadPart += 1;
    if (++count == INI_MAX_LINE) return count;
  }
}

NTSTATUS CIniReader::FindSection(const CHAR* name) {
  PAGED_CODE();
  if (!m_FileHandle) return STATUS_UNSUCCESSFUL;
  CHAR header[kHeaderChars + 1];
  if (!NT_SUCCESS(RtlStringCchPrintfA(header, sizeof(header), "[%s]", name))) return STATUS_UNSUCCESSFUL;
  size_t headerLength = std::strlen(header);
  for (LONG length; (length = ReadLine()) >= 0;)
    if (length > 0 && Line()[0] == '[' && StartsWith(Line(), length, header, headerLength)) return STATUS_SUCCESS;
  return STATUS_UNSUCCESSFUL;
}

ULONG CIniReader::ReadVersion() {
  PAGED_CODE();
  if (!NT_SUCCESS(Open())) return 0;
  ULONG version = 0;
  if (NT_SUCCESS(FindSection("VERSION"))) {
    for (LONG length; (length = ReadLine()) >= 0;) {
      if (length > 0 && Line()[0] == '[') break;
      ULONG value = 0;
      if (NT_SUCCESS(ParseVersionLine(Line(), length, &value))) {
        version = value;
        break;
      }
    }
  }
  CloseHandle();
  return version;
}

NTSTATUS CIniReader::ParseVersionLine(const CHAR* line, LONG length, ULONG* version) {
  if (!line || !version) return STATUS_INVALID_PARAMETER;
  LineCursor cursor(line, length);
  const CHAR* name = nullptr;
  LONG nameLength = 0;
  if (!ParseNameAndEquals(cursor, &name, &nameLength)) return STATUS_UNSUCCESSFUL;
  if (nameLength > LONG(INI_VERSION_NAME_CHARS)) return STATUS_UNSUCCESSFUL;
  UCHAR data[INI_DATA_BYTES];
  ULONG bytes = 0;
  ULONG type = REG_BINARY;
  ULONG firstSize = 0;
  NTSTATUS status = ParseValues(cursor, INI_VERSION_TOKEN_CHARS, true, data, &bytes, &type, &firstSize);
  if (!NT_SUCCESS(status)) return status;
  ULONG value = 0;
  std::memcpy(&value, data, firstSize);
  *version = value;
  return STATUS_SUCCESS;
}

NTSTATUS CIniReader::ParseValueLine(const CHAR* line, LONG length, IniValue* value) {
  if (!line || !value) return STATUS_INVALID_PARAMETER;
  LineCursor cursor(line, length);
  const CHAR* name = nullptr;
  LONG nameLength = 0;
  if (!ParseNameAndEquals(cursor, &name, &nameLength)) return STATUS_UNSUCCESSFUL;
  if (nameLength == 0 || nameLength > LONG(INI_VALUE_NAME_CHARS)) return STATUS_UNSUCCESSFUL;
  for (LONG i = 0; i < nameLength; ++i) value->Name[i] = static_cast<UCHAR>(name[i]);
  value->Name[nameLength] = 0;
  value->Type = REG_BINARY;
  ULONG firstSize = 0;
  return ParseValues(cursor, INI_VALUE_TOKEN_CHARS, false, value->Data, &value->Bytes, &value->Type, &firstSize);
}

NTSTATUS CIniReader::OpenDeviceSection() {
  PAGED_CODE();
  NTSTATUS status = Open();
  if (!NT_SUCCESS(status)) return status;
  status = FindDeviceSectionName(m_HardwareId);
  if (!NT_SUCCESS(status)) CloseHandle();
  return status;
}

NTSTATUS CIniReader::FindDeviceSectionName(const CHAR* hardwareId) {
  PAGED_CODE();
  if (!hardwareId || !hardwareId[0]) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = FindSection("VELTRA");
  if (!NT_SUCCESS(status)) return status;
  size_t idLength = std::strlen(hardwareId);
  for (LONG length; (length = ReadLine()) >= 0;) {
    const CHAR* line = Line();
    if (length > 0 && line[0] == '[') return STATUS_UNSUCCESSFUL;
    // The line must hold the whole ID; beyond its end lie older lines' bytes.
    if (static_cast<size_t>(length) < idLength || _strnicmp(line, hardwareId, idLength) != 0) continue;

    LineCursor cursor(line + idLength, length - static_cast<LONG>(idLength));
    cursor.SkipAny(" \t");
    cursor.Next();  // the "="
    cursor.SkipAny(" \t");
    const CHAR* name = cursor.Here();
    LONG nameLength = cursor.RunUntil("\t ;");
    if (nameLength > LONG(INI_SECTION_NAME_CHARS)) return STATUS_UNSUCCESSFUL;
    RtlCopyMemory(m_SectionName, name, nameLength);
    m_SectionName[nameLength] = 0;
    m_CurrentLineLength = -1;
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CIniReader::FindNextDeviceSection(const CHAR* sectionName, LONG currentLineLength, CHAR* subkey) {
  PAGED_CODE();
  subkey[0] = 0;
  CHAR header[kDeviceHeaderBytes];
  if (!NT_SUCCESS(RtlStringCchPrintfA(header, sizeof(header), "[%s]", sectionName))) return STATUS_UNSUCCESSFUL;
  size_t headerLength = std::strlen(header);

  for (LONG length = currentLineLength > 0 ? currentLineLength : ReadLine(); length >= 0; length = ReadLine()) {
    const CHAR* line = Line();
    if (length == 0 || line[0] != '[' || static_cast<size_t>(length) < headerLength) continue;
    if (std::memcmp(line, header, headerLength) == 0) return STATUS_SUCCESS;
    // "[name:subkey]"
    if (std::memcmp(line, header, headerLength - 1) != 0 || line[headerLength - 1] != ':') continue;
    LONG limit = length < LONG(kDeviceHeaderBytes) ? length : LONG(kDeviceHeaderBytes);
    LineCursor cursor(line + headerLength, limit - static_cast<LONG>(headerLength));
    const CHAR* name = cursor.Here();
    LONG nameLength = cursor.RunUntil("]");
    if (cursor.Peek() != ']' || nameLength > LONG(INI_SUBKEY_CHARS)) continue;
    RtlCopyMemory(subkey, name, nameLength);
    subkey[nameLength] = 0;
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS CIniReader::ImportSection() {
  PAGED_CODE();
  CHAR subkey[INI_SUBKEY_CHARS + 1];
  NTSTATUS status = FindNextDeviceSection(m_SectionName, m_CurrentLineLength, subkey);
  m_CurrentLineLength = -1;
  if (!NT_SUCCESS(status)) return STATUS_UNSUCCESSFUL;
  WCHAR wideSubkey[INI_SUBKEY_CHARS + 1] = {};
  for (ULONG i = 0; subkey[i]; ++i) wideSubkey[i] = static_cast<UCHAR>(subkey[i]);

  CPoolBuffer valueBuffer(PagedPool, sizeof(IniValue), INI_BUFFER_TAG);
  if (!valueBuffer) return STATUS_INSUFFICIENT_RESOURCES;
  auto* value = valueBuffer.As<IniValue>();
  for (LONG length; (length = ReadLine()) >= 0;) {
    if (length > 0 && Line()[0] == '[') {
      m_CurrentLineLength = length;  // the next header search starts here
      return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(ParseValueLine(Line(), length, value))) {
      // A refused line ends the section; the line after it is where the
      // next header search begins.
      m_CurrentLineLength = ReadLine();
      return STATUS_SUCCESS;
    }
    // A value the registry refuses is not worth stopping the import for.
    AccessSettingsValue(m_DeviceObject, SETTINGS_WRITE, subkey[0] ? wideSubkey : nullptr, value->Name, value->Type,
                        value->Data, value->Bytes);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CIniReader::ImportAll() {
  PAGED_CODE();
  while (NT_SUCCESS(ImportSection())) {
  }
  return STATUS_SUCCESS;
}
