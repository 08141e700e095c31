// The registry editor's text format, so that the registry the main job keeps
// between runs is a file a user can read and edit. The reader is a parser of
// untrusted input: it checks every limit, builds the whole change list first
// and applies it only when the text was well-formed.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <unordered_map>

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
// A value operation applies to the key of the key operation before it.
struct Operation {
  enum Kind { CreateKey, OpenKey, DeleteKey, SetValue, DeleteValue } kind;
  std::vector<std::u16string> path;  // below \REGISTRY; key operations only
  std::u16string name;
  ULONG type = 0;
  std::vector<UCHAR> data;
};

class Parser {
 public:
  // `progress` hears the share of the text read.
  bool Parse(std::u16string_view text, std::vector<Operation>* ops, const std::function<void(double)>& progress) {
    m_Ops = ops;
    size_t pos = 0;
    bool sawHeader = false;
    while (pos <= text.size()) {
      if (progress && m_Line % 4096 == 0) progress(static_cast<double>(pos) / static_cast<double>(text.size() + 1));
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
    Operation op{Operation::SetValue, {}, {}, 0, {}};
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
  std::string m_Error;
};

std::u16string Upper(std::u16string_view name) {
  std::u16string out(name);
  for (WCHAR& c : out) c = tree::Upcase(c);
  return out;
}

// Applies operations to a tree. The tree's own lookups are a binary search
// per key and a linear one per value, and its sorted insert moves every
// later sibling, so a large file (or one in no order) would take time that
// grows faster than the file. Here keys and values are found by hash, new
// keys are appended, and each parent appended to is sorted once, when a
// deletion needs the tree as it stands or at the end.
class Applier {
 public:
  // With `keepValues`, a value the tree already holds is left as it is.
  Applier(tree::KeyPtr root, bool keepValues) : m_Root(std::move(root)), m_KeepValues(keepValues) {}
  ~Applier() { Settle(); }
  Applier(const Applier&) = delete;
  Applier& operator=(const Applier&) = delete;

  void Apply(const Operation& op) {
    switch (op.kind) {
      case Operation::CreateKey:
      case Operation::OpenKey:
        m_Current = Walk(op.path, op.kind == Operation::CreateKey);
        break;
      case Operation::DeleteKey:
        m_Current = nullptr;
        if (tree::KeyPtr key = Walk(op.path, false)) {
          Settle();
          tree::DeleteTree(key);
          m_Changed = true;
        }
        break;
      case Operation::SetValue:
        if (m_Current) SetValue(*m_Current, op);
        break;
      case Operation::DeleteValue:
        if (m_Current) DeleteValue(*m_Current, op.name);
        break;
    }
  }
  // Whether any operation made a difference.
  bool Changed() const { return m_Changed; }

 private:
  tree::KeyPtr Walk(const std::vector<std::u16string>& path, bool create) {
    tree::KeyPtr key = m_Root;
    for (const auto& part : path) {
      if (!(key = Child(key, part, create))) return nullptr;
    }
    return key;
  }

  tree::KeyPtr Child(const tree::KeyPtr& parent, std::u16string_view name, bool create) {
    auto [slot, fresh] = m_Children.try_emplace(parent.get());
    auto& children = slot->second;
    if (fresh)
      for (const auto& child : parent->subkeys) children.emplace(Upper(child->name), child);
    std::u16string upper = Upper(name);
    if (auto found = children.find(upper); found != children.end()) return found->second;
    if (!create) return nullptr;
    tree::KeyPtr child = tree::AppendChild(parent, name);
    if (!child) return nullptr;
    children.emplace(std::move(upper), child);
    m_Unsorted.emplace(parent.get(), parent);
    m_Changed = true;
    return child;
  }

  // The key's values by upper-cased name, with their places.
  std::unordered_map<std::u16string, size_t>& Values(tree::Key& key) {
    auto [slot, fresh] = m_Values.try_emplace(&key);
    if (fresh)
      for (size_t i = 0; i < key.values.size(); ++i) slot->second.emplace(Upper(key.values[i].name), i);
    return slot->second;
  }

  void SetValue(tree::Key& key, const Operation& op) {
    auto& values = Values(key);
    std::u16string upper = Upper(op.name);
    if (auto found = values.find(upper); found != values.end()) {
      tree::Value& value = key.values[found->second];
      if (m_KeepValues || (value.type == op.type && value.data == op.data)) return;
      value.type = op.type;
      value.data = op.data;
    } else {
      values.emplace(std::move(upper), key.values.size());
      key.values.push_back(tree::Value{op.name, op.type, op.data});
    }
    tree::Touch(key);
    m_Changed = true;
  }

  void DeleteValue(tree::Key& key, std::u16string_view name) {
    auto& values = Values(key);
    auto found = values.find(Upper(name));
    if (found == values.end()) return;
    key.values.erase(key.values.begin() + static_cast<std::ptrdiff_t>(found->second));
    m_Values.erase(&key);  // the later values moved
    tree::Touch(key);
    m_Changed = true;
  }

  // Sorts what was appended and forgets the indexes (a deleted key's
  // address may come back as a new key's).
  void Settle() {
    for (const auto& [key, parent] : m_Unsorted) tree::SortChildren(*parent);
    m_Unsorted.clear();
    m_Children.clear();
    m_Values.clear();
  }

  tree::KeyPtr m_Root;
  bool m_KeepValues;
  bool m_Changed = false;
  tree::KeyPtr m_Current;
  std::unordered_map<tree::Key*, std::unordered_map<std::u16string, tree::KeyPtr>> m_Children;
  std::unordered_map<tree::Key*, std::unordered_map<std::u16string, size_t>> m_Values;
  std::unordered_map<tree::Key*, tree::KeyPtr> m_Unsorted;  // each sorted once
};

// A file's bytes as text: UTF-8 (with or without its byte-order mark) or
// UTF-16 with one.
bool Decode(std::string_view text, std::u16string* wide, std::string* error) {
  if (text.size() > kMaxTextBytes) {
    *error = "the file is larger than the registry stand-in reads";
    return false;
  }
  if (text.size() >= 2 && static_cast<uint8_t>(text[0]) == 0xFF && static_cast<uint8_t>(text[1]) == 0xFE) {
    if (text.size() % 2 != 0) {
      *error = "a UTF-16 file with an odd number of bytes";
      return false;
    }
    wide->reserve(text.size() / 2);
    for (size_t i = 2; i < text.size(); i += 2)
      *wide += static_cast<char16_t>(static_cast<uint8_t>(text[i]) | (static_cast<uint8_t>(text[i + 1]) << 8));
    return true;
  }
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (!FromUtf8(text, wide)) {
    *error = "the file is neither UTF-8 nor UTF-16 with a byte-order mark";
    return false;
  }
  return true;
}

// The operations a file's text holds; false (with the line and reason)
// when it is not well-formed.
bool ParseText(std::string_view text, std::vector<Operation>* ops, std::string* error,
               const std::function<void(double)>& progress) {
  std::u16string wide;
  if (!Decode(text, &wide, error)) return false;
  Parser parser;
  if (!parser.Parse(wide, ops, progress)) {
    *error = parser.Error();
    return false;
  }
  return true;
}

tree::KeyPtr CopyTree(const tree::Key& from) {
  // Iteratively: a deep tree must not exhaust the stack.
  auto copy = std::make_shared<tree::Key>();
  std::vector<std::pair<const tree::Key*, tree::Key*>> pending{{&from, copy.get()}};
  while (!pending.empty()) {
    auto [source, target] = pending.back();
    pending.pop_back();
    target->name = source->name;
    target->values = source->values;
    target->subkeys.reserve(source->subkeys.size());
    for (const auto& child : source->subkeys) {
      auto c = std::make_shared<tree::Key>();
      c->parent = target;
      target->subkeys.push_back(c);
      pending.emplace_back(child.get(), c.get());
    }
  }
  return copy;
}

std::vector<const tree::Value*> SortedValues(const tree::Key& key) {
  std::vector<const tree::Value*> values;
  for (const auto& v : key.values) values.push_back(&v);
  std::sort(values.begin(), values.end(),
            [](const tree::Value* a, const tree::Value* b) { return tree::CompareNoCase(a->name, b->name) < 0; });
  return values;
}

Operation SetValueOf(const tree::Value& v) { return Operation{Operation::SetValue, {}, v.name, v.type, v.data}; }

// The operations that take the tree `before` to `now`, both at `path`.
// Subkeys are sorted alike in both, so each level is one merge of two
// sorted lists.
void Diff(const tree::Key& before, const tree::Key& now, const std::vector<std::u16string>& path, bool additions,
          std::vector<Operation>* ops) {
  struct Pair {
    const tree::Key* before;  // null: the key is new
    const tree::Key* now;
    std::vector<std::u16string> path;
  };
  std::vector<Pair> pending{{&before, &now, path}};
  while (!pending.empty()) {
    Pair p = std::move(pending.back());
    pending.pop_back();
    const tree::Key& key = *p.now;
    if (!p.before) {
      ops->push_back(Operation{Operation::CreateKey, p.path, {}, 0, {}});
      for (const auto& v : key.values) ops->push_back(SetValueOf(v));
      for (const auto& child : key.subkeys) {
        std::vector<std::u16string> childPath = p.path;
        childPath.push_back(child->name);
        pending.push_back({nullptr, child.get(), std::move(childPath)});
      }
      continue;
    }
    std::vector<Operation> values;
    const auto was = SortedValues(*p.before), is = SortedValues(key);
    for (size_t i = 0, j = 0; i < was.size() || j < is.size();) {
      const int order = i == was.size() ? 1 : j == is.size() ? -1 : tree::CompareNoCase(was[i]->name, is[j]->name);
      if (order < 0) {
        if (!additions) values.push_back(Operation{Operation::DeleteValue, {}, was[i]->name, 0, {}});
        ++i;
      } else if (order > 0) {
        values.push_back(SetValueOf(*is[j++]));
      } else {
        if (!additions && (was[i]->type != is[j]->type || was[i]->data != is[j]->data))
          values.push_back(SetValueOf(*is[j]));
        ++i, ++j;
      }
    }
    if (!values.empty()) {
      // A key another process deleted meanwhile comes back for a value
      // set on purpose, not for an addition.
      ops->push_back(Operation{additions ? Operation::OpenKey : Operation::CreateKey, p.path, {}, 0, {}});
      for (auto& v : values) ops->push_back(std::move(v));
    }
    const auto& wasKeys = p.before->subkeys;
    const auto& isKeys = key.subkeys;
    for (size_t i = 0, j = 0; i < wasKeys.size() || j < isKeys.size();) {
      const int order = i == wasKeys.size() ? 1
                        : j == isKeys.size() ? -1
                                             : tree::CompareNoCase(wasKeys[i]->name, isKeys[j]->name);
      std::vector<std::u16string> childPath = p.path;
      childPath.push_back(order < 0 ? wasKeys[i]->name : isKeys[j]->name);
      if (order < 0) {
        if (!additions) ops->push_back(Operation{Operation::DeleteKey, std::move(childPath), {}, 0, {}});
        ++i;
      } else if (order > 0) {
        pending.push_back({nullptr, isKeys[j++].get(), std::move(childPath)});
      } else {
        pending.push_back({wasKeys[i++].get(), isKeys[j++].get(), std::move(childPath)});
      }
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

NTSTATUS LoadFromText(std::string_view text, std::string* error, const std::function<void(double)>& progress) {
  std::vector<Operation> ops;
  std::string why;
  // Reading is the larger part of a load; applying the rest.
  constexpr double kReadShare = 0.7;
  if (!ParseText(text, &ops, &why, [&](double done) {
        if (progress) progress(done * kReadShare);
      })) {
    if (error) *error = why;
    return STATUS_DATA_ERROR;
  }
  {
    std::lock_guard guard(tree::Lock());
    Applier applier(tree::Root(), false);
    for (size_t i = 0; i < ops.size(); ++i) {
      if (progress && i % 8192 == 0)
        progress(kReadShare + (1 - kReadShare) * static_cast<double>(i) / static_cast<double>(ops.size()));
      applier.Apply(ops[i]);
    }
  }
  if (progress) progress(1.0);
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

struct ChangeList {
  std::vector<Operation> ops;
  bool additions = false;
};

Snapshot::Snapshot() = default;
Snapshot::~Snapshot() = default;

Snapshot TakeSnapshot(std::u16string_view root) {
  Snapshot snapshot;
  if (!tree::SplitPath(root, &snapshot.m_Path) || snapshot.m_Path.empty() ||
      !tree::EqualNoCase(snapshot.m_Path[0], u"REGISTRY"))
    return snapshot;
  snapshot.m_Path.erase(snapshot.m_Path.begin());
  std::lock_guard guard(tree::Lock());
  if (tree::KeyPtr key = tree::Walk(tree::Root(), snapshot.m_Path)) snapshot.m_Copy = CopyTree(*key);
  return snapshot;
}

Changes::Changes(const Snapshot& since, ChangeKinds kinds) {
  auto list = std::make_shared<ChangeList>();
  list->additions = kinds == ChangeKinds::Additions;
  const tree::Key nothing;
  std::lock_guard guard(tree::Lock());
  if (tree::KeyPtr now = tree::Walk(tree::Root(), since.m_Path))
    Diff(since.m_Copy ? *since.m_Copy : nothing, *now, since.m_Path, list->additions, &list->ops);
  m_List = std::move(list);
}

Changes::~Changes() = default;

bool Changes::Empty() const { return m_List->ops.empty(); }

NTSTATUS Changes::MergeInto(std::string_view onDisk, std::string* merged, std::string* error) const {
  merged->clear();
  // A tree of its own: the registry this process runs on stays as it is.
  auto root = std::make_shared<tree::Key>();
  root->name = u"REGISTRY";
  std::vector<Operation> ops;
  if (!onDisk.empty()) {
    std::string why;
    if (!ParseText(onDisk, &ops, &why, {})) {
      if (error) *error = why;
      return STATUS_DATA_ERROR;
    }
    Applier applier(root, false);
    for (const Operation& op : ops) applier.Apply(op);
  }
  bool changed = false;
  {
    Applier applier(root, m_List->additions);
    for (const Operation& op : m_List->ops) applier.Apply(op);
    changed = applier.Changed();
  }
  if (changed) {
    *merged = ToUtf8(kHeader5) + "\n";
    WriteKey(*merged, root);
  }
  if (error) error->clear();
  return STATUS_SUCCESS;
}

}  // namespace platform::registry
