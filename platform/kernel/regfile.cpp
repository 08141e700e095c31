// The registry editor's text format, so that the registry the main job keeps
// between runs is a file a user can read and edit. The reader is a parser of
// untrusted input: it checks every limit, builds the whole change list first
// and applies it only when the text was well-formed.
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "host/replace_file.h"
#include "kernel/registry.h"
#include "kernel/registry_tree.h"
#include "kernel/utf8.h"

namespace platform::registry {
namespace {

namespace tree = platform::registry::tree;
using platform::FromUtf8;
using platform::ToUtf8;

constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kHeader4 = u"REGEDIT4";
constexpr size_t kMaxTextBytes = 64u << 20;

struct Root {
  std::u16string_view fileName;
  std::u16string_view kernelName;  // below \REGISTRY
};
constexpr Root kRoots[] = {
    {u"HKEY_LOCAL_MACHINE", u"MACHINE"},
    {u"HKLM", u"MACHINE"},
    {u"HKEY_USERS", u"USER"},
    {u"HKU", u"USER"},
};

// ---- Writing ----------------------------------------------------------------
std::u16string QuoteString(std::u16string_view s) {
  std::u16string out = u"\"";
  for (WCHAR c : s) {
    if (c == u'\\' || c == u'"') out += u'\\';
    out += c;
  }
  out += u'"';
  return out;
}

bool HasControlCharacter(std::u16string_view s) {
  for (WCHAR c : s)
    if (c < 0x20) return true;
  return false;
}

// A REG_SZ written as "text" must read back as the same bytes: whole
// characters, one terminating zero at the end and none before it.
bool IsPlainString(const std::vector<UCHAR>& data, std::u16string* text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  size_t chars = data.size() / 2;
  text->clear();
  for (size_t i = 0; i < chars; ++i) {
    auto c = static_cast<WCHAR>(data[2 * i] | (data[2 * i + 1] << 8));
    if (i + 1 == chars) return c == 0;
    if (c < 0x20) return false;
    *text += c;
  }
  return false;
}

void AppendHex(std::string& line, std::string& out, const std::vector<UCHAR>& data) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    line += kDigits[data[i] >> 4];
    line += kDigits[data[i] & 15];
    if (i + 1 < data.size()) {
      line += ',';
      if (line.size() > 76) {  // wrapped as the registry editor does
        out += line + "\\\n";
        line = "  ";
      }
    }
  }
  out += line + "\n";
}

void WriteValue(std::string& out, const tree::Value& value) {
  std::string line = value.name.empty() ? "@=" : ToUtf8(QuoteString(value.name)) + "=";
  std::u16string text;
  if (value.type == REG_SZ && IsPlainString(value.data, &text)) {
    out += line + ToUtf8(QuoteString(text)) + "\n";
    return;
  }
  if (value.type == REG_DWORD && value.data.size() == 4) {
    char buf[16];
    ULONG v = static_cast<ULONG>(value.data[0]) | (static_cast<ULONG>(value.data[1]) << 8) |
              (static_cast<ULONG>(value.data[2]) << 16) | (static_cast<ULONG>(value.data[3]) << 24);
    std::snprintf(buf, sizeof(buf), "dword:%08x", v);
    out += line + buf + "\n";
    return;
  }
  if (value.type == REG_BINARY) {
    line += "hex:";
  } else {
    char buf[24];
    std::snprintf(buf, sizeof(buf), "hex(%x):", value.type);
    line += buf;
  }
  AppendHex(line, out, value.data);
}

std::u16string FilePathOf(const tree::Key& key) {
  std::u16string path = tree::FullPath(key);  // \REGISTRY\MACHINE\...
  std::vector<std::u16string> parts;
  tree::SplitPath(path, &parts);
  if (parts.size() < 2) return {};
  std::u16string out;
  for (const auto& root : kRoots) {
    if (tree::EqualNoCase(root.kernelName, parts[1])) {
      out = std::u16string(root.fileName);
      break;
    }
  }
  if (out.empty()) return {};
  for (size_t i = 2; i < parts.size(); ++i) out += u"\\" + parts[i];
  return out;
}

void WriteKey(std::string& out, const tree::KeyPtr& start) {
  // Pre-order, iteratively: a deep tree must not exhaust the stack.
  std::vector<tree::KeyPtr> pending{start};
  while (!pending.empty()) {
    tree::KeyPtr key = pending.back();
    pending.pop_back();
    std::u16string path = FilePathOf(*key);
    if (!path.empty()) {
      out += "\n[" + ToUtf8(path) + "]\n";
      for (const auto& value : key->values) WriteValue(out, value);
    }
    for (auto it = key->subkeys.rbegin(); it != key->subkeys.rend(); ++it) pending.push_back(*it);
  }
}

// ---- Reading ----------------------------------------------------------------
struct Operation {
  enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } kind;
  std::vector<std::u16string> path;  // below \REGISTRY
  std::u16string name;
  ULONG type = 0;
  std::vector<UCHAR> data;
};

class Parser {
 public:
  bool Parse(std::u16string_view text, std::vector<Operation>* ops) {
    m_Ops = ops;
    size_t pos = 0;
    bool sawHeader = false;
    while (pos <= text.size()) {
      size_t end = text.find(u'\n', pos);
      if (end == std::u16string_view::npos) end = text.size();
      std::u16string line(text.substr(pos, end - pos));
      m_FirstLine = ++m_Line;
      pos = end + 1;
      StripCr(line);
      // Value lines whose data goes on carry a trailing backslash.
      while (IsValueLine(line) && EndsWithContinuation(line) && pos <= text.size()) {
        end = text.find(u'\n', pos);
        if (end == std::u16string_view::npos) end = text.size();
        std::u16string next(text.substr(pos, end - pos));
        ++m_Line;
        pos = end + 1;
        StripCr(next);
        TrimRight(line);
        line.pop_back();
        line += TrimLeft(next);
      }
      std::u16string_view view = Trim(line);
      if (!sawHeader) {
        if (view.empty()) continue;
        if (view != kHeader5 && view != kHeader4)
          return Fail("the file does not start with the registry editor's header");
        sawHeader = true;
        continue;
      }
      if (view.empty() || view.front() == u';') continue;
      if (view.front() == u'[') {
        if (!ParseKeyLine(view)) return false;
      } else if (view.front() == u'"' || view.front() == u'@') {
        if (!ParseValueLine(view)) return false;
      } else {
        return Fail("a line that is neither a key, a value nor a comment");
      }
      if (pos > text.size()) break;
    }
    if (!sawHeader) return Fail("the file does not start with the registry editor's header");
    return true;
  }

  const std::string& Error() const { return m_Error; }

 private:
  static void StripCr(std::u16string& line) {
    if (!line.empty() && line.back() == u'\r') line.pop_back();
  }
  static bool IsSpace(WCHAR c) { return c == u' ' || c == u'\t'; }
  static void TrimRight(std::u16string& s) {
    while (!s.empty() && IsSpace(s.back())) s.pop_back();
  }
  static std::u16string_view TrimLeft(std::u16string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    return s;
  }
  static std::u16string_view Trim(std::u16string_view s) {
    s = TrimLeft(s);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
  }
  static bool IsValueLine(std::u16string_view line) {
    line = TrimLeft(line);
    return !line.empty() && (line.front() == u'"' || line.front() == u'@');
  }
  static bool EndsWithContinuation(std::u16string_view line) {
    line = Trim(line);
    return !line.empty() && line.back() == u'\\';
  }

  bool Fail(const char* reason) {
    m_Error = "line " + std::to_string(m_FirstLine) + ": " + reason;
    return false;
  }

  bool ParseKeyLine(std::u16string_view view) {
    if (view.back() != u']') return Fail("a key line without its closing bracket");
    view.remove_prefix(1);
    view.remove_suffix(1);
    bool remove = !view.empty() && view.front() == u'-';
    if (remove) view.remove_prefix(1);
    std::vector<std::u16string> parts;
    if (!tree::SplitPath(view, &parts) || parts.empty()) return Fail("a malformed key path");
    bool known = false;
    for (const auto& root : kRoots) {
      if (tree::EqualNoCase(root.fileName, parts[0])) {
        parts[0] = std::u16string(root.kernelName);
        known = true;
        break;
      }
    }
    if (!known) return Fail("a key outside HKEY_LOCAL_MACHINE and HKEY_USERS");
    if (parts.size() + 1 > tree::kMaxDepth) return Fail("a key nested deeper than the registry allows");
    m_HaveKey = !remove;
    m_Key = parts;
    m_Ops->push_back(Operation{remove ? Operation::DeleteKey : Operation::CreateKey, std::move(parts), {}, 0, {}});
    return true;
  }

  // A quoted string with the escapes \\ and \"; `view` starts at the quote
  // and is left just after the closing one.
  bool ParseQuoted(std::u16string_view* view, std::u16string* out) {
    out->clear();
    size_t i = 1;
    while (i < view->size()) {
      WCHAR c = (*view)[i];
      if (c == u'"') {
        view->remove_prefix(i + 1);
        return true;
      }
      if (c == u'\\') {
        if (i + 1 >= view->size()) break;
        WCHAR e = (*view)[i + 1];
        if (e != u'\\' && e != u'"') return Fail("an unknown escape in a quoted string");
        *out += e;
        i += 2;
        continue;
      }
      *out += c;
      ++i;
    }
    return Fail("a quoted string without its closing quote");
  }

  static int HexDigit(WCHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
  }

  // Up to `maxDigits` hex digits; at least one.
  static bool ParseHexNumber(std::u16string_view s, size_t maxDigits, ULONG* value) {
    if (s.empty() || s.size() > maxDigits) return false;
    ULONG v = 0;
    for (WCHAR c : s) {
      int d = HexDigit(c);
      if (d < 0) return false;
      v = (v << 4) | static_cast<ULONG>(d);
    }
    *value = v;
    return true;
  }

  bool ParseBytes(std::u16string_view s, std::vector<UCHAR>* data) {
    s = Trim(s);
    data->clear();
    if (s.empty()) return true;
    while (true) {
      size_t comma = s.find(u',');
      std::u16string_view item = Trim(s.substr(0, comma));
      ULONG byte;
      if (!ParseHexNumber(item, 2, &byte)) return Fail("a malformed hex byte");
      if (data->size() >= tree::kMaxValueBytes) return Fail("a value larger than the registry stand-in holds");
      data->push_back(static_cast<UCHAR>(byte));
      if (comma == std::u16string_view::npos) return true;
      s.remove_prefix(comma + 1);
      if (Trim(s).empty()) return true;  // a trailing comma
    }
  }

  bool ParseValueLine(std::u16string_view view) {
    if (!m_HaveKey) return Fail("a value outside a key");
    Operation op{Operation::SetValue, m_Key, {}, 0, {}};
    if (view.front() == u'@') {
      view.remove_prefix(1);
    } else {
      if (!ParseQuoted(&view, &op.name)) return false;
      if (op.name.size() > tree::kMaxValueNameChars) return Fail("a value name longer than the registry allows");
      if (HasControlCharacter(op.name)) return Fail("a control character in a value name");
    }
    view = TrimLeft(view);
    if (view.empty() || view.front() != u'=') return Fail("a value without '='");
    view = Trim(view.substr(1));
    if (view == u"-") {
      op.kind = Operation::DeleteValue;
    } else if (!view.empty() && view.front() == u'"') {
      std::u16string text;
      if (!ParseQuoted(&view, &text)) return false;
      if (!Trim(view).empty()) return Fail("text after a string value");
      if (text.size() * 2 + 2 > tree::kMaxValueBytes) return Fail("a value larger than the registry stand-in holds");
      op.type = REG_SZ;
      for (WCHAR c : text) {
        op.data.push_back(static_cast<UCHAR>(c & 0xFF));
        op.data.push_back(static_cast<UCHAR>(c >> 8));
      }
      op.data.push_back(0);
      op.data.push_back(0);
    } else if (view.substr(0, 6) == u"dword:") {
      ULONG v;
      if (!ParseHexNumber(view.substr(6), 8, &v)) return Fail("a malformed dword");
      op.type = REG_DWORD;
      op.data = {static_cast<UCHAR>(v), static_cast<UCHAR>(v >> 8), static_cast<UCHAR>(v >> 16),
                 static_cast<UCHAR>(v >> 24)};
    } else if (view.substr(0, 4) == u"hex:") {
      op.type = REG_BINARY;
      if (!ParseBytes(view.substr(4), &op.data)) return false;
    } else if (view.substr(0, 4) == u"hex(") {
      size_t close = view.find(u')');
      if (close == std::u16string_view::npos || close + 1 >= view.size() || view[close + 1] != u':')
        return Fail("a malformed hex(type): prefix");
      if (!ParseHexNumber(view.substr(4, close - 4), 8, &op.type)) return Fail("a malformed value type");
      if (!ParseBytes(view.substr(close + 2), &op.data)) return false;
    } else {
      return Fail("an unknown kind of value data");
    }
    m_Ops->push_back(std::move(op));
    return true;
  }

  std::vector<Operation>* m_Ops = nullptr;
  size_t m_Line = 0;
  size_t m_FirstLine = 0;
  bool m_HaveKey = false;
  std::vector<std::u16string> m_Key;
  std::string m_Error;
};

void Apply(const std::vector<Operation>& ops) {
  std::lock_guard guard(tree::Lock());
  tree::KeyPtr root = tree::Root();
  for (const auto& op : ops) {
    switch (op.kind) {
      case Operation::CreateKey:
        tree::WalkCreate(root, op.path);
        break;
      case Operation::DeleteKey:
        if (tree::KeyPtr key = tree::Walk(root, op.path)) tree::DeleteTree(key);
        break;
      case Operation::SetValue:
        if (tree::KeyPtr key = tree::WalkCreate(root, op.path))
          tree::SetValue(*key, op.name, op.type, op.data.data(), op.data.size());
        break;
      case Operation::DeleteValue:
        if (tree::KeyPtr key = tree::Walk(root, op.path)) tree::DeleteValue(*key, op.name);
        break;
    }
  }
}

NTSTATUS StatusFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
      return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return STATUS_ACCESS_DENIED;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

}  // namespace

std::string SaveToText(std::u16string_view root) {
  std::string out = ToUtf8(kHeader5) + "\n";
  std::vector<std::u16string> parts;
  if (!tree::SplitPath(root, &parts)) return out;
  std::lock_guard guard(tree::Lock());
  // Paths are absolute: the first component names the root key itself.
  if (parts.empty() || !tree::EqualNoCase(parts[0], u"REGISTRY")) return out;
  parts.erase(parts.begin());
  if (tree::KeyPtr key = tree::Walk(tree::Root(), parts)) WriteKey(out, key);
  return out;
}

NTSTATUS SaveToFile(const std::string& fileName, std::u16string_view root) {
  const int error = ReplaceFileContents(fileName, SaveToText(root));
  return error == 0 ? STATUS_SUCCESS : StatusFromErrno(error);
}

NTSTATUS LoadFromText(std::string_view text, std::string* error) {
  auto fail = [&](const std::string& reason) {
    if (error) *error = reason;
    return STATUS_DATA_ERROR;
  };
  if (text.size() > kMaxTextBytes) return fail("the file is larger than the registry stand-in reads");
  std::u16string wide;
  if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF && static_cast<uint8_t>(text[1]) == 0xFE) {
    if (text.size() % 2 != 0) return fail("a UTF-16 file with an odd number of bytes");
    for (size_t i = 2; i < text.size(); i += 2)
      wide += static_cast<char16_t>(static_cast<uint8_t>(text[i]) | (static_cast<uint8_t>(text[i + 1]) << 8));
  } else {
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    if (!FromUtf8(text, &wide)) return fail("the file is neither UTF-8 nor UTF-16 with a byte-order mark");
  }
  std::vector<Operation> ops;
  Parser parser;
  if (!parser.Parse(wide, &ops)) return fail(parser.Error());
  Apply(ops);
  if (error) error->clear();
  return STATUS_SUCCESS;
}

NTSTATUS LoadFromFile(const std::string& fileName, std::string* error) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open " + fileName;
    return StatusFromErrno(errno);
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return LoadFromText(buffer.str(), error);
}

}  // namespace platform::registry
