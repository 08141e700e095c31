#include "kernel/registry_tree.h"

#include <algorithm>

#include "kernel/clock.h"
#include "kernel/rtl.h"

namespace platform::registry::tree {
namespace {
KeyPtr& RootSlot() {
  static KeyPtr root;
  return root;
}

KeyPtr MakeRoot() {
  auto root = std::make_shared<Key>();
  root->name = u"REGISTRY";
  // The kernel's standard keys: the machine's system and software hives,
  // the control set's device tree, class keys and services, and the users'.
  static const std::u16string_view kStandard[][6] = {
      {u"MACHINE", u"SYSTEM", u"CurrentControlSet", u"Enum"},
      {u"MACHINE", u"SYSTEM", u"CurrentControlSet", u"Control", u"Class"},
      {u"MACHINE", u"SYSTEM", u"CurrentControlSet", u"Services"},
      {u"MACHINE", u"SYSTEM", u"CurrentControlSet", u"Hardware Profiles", u"Current"},
      {u"MACHINE", u"SOFTWARE"},
      {u"USER"},
  };
  for (const auto& path : kStandard) {
    std::vector<std::u16string> parts;
    for (auto part : path)
      if (!part.empty()) parts.emplace_back(part);
    WalkCreate(root, parts);
  }
  return root;
}
}  // namespace

std::recursive_mutex& Lock() {
  static std::recursive_mutex lock;
  return lock;
}

KeyPtr Root() {
  std::lock_guard guard(Lock());
  if (!RootSlot()) RootSlot() = MakeRoot();
  return RootSlot();
}

void Reset() {
  std::lock_guard guard(Lock());
  if (RootSlot()) DeleteTree(RootSlot());
  RootSlot() = MakeRoot();
}

WCHAR Upcase(WCHAR c) { return RtlUpcaseUnicodeChar(c); }

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    WCHAR x = Upcase(a[i]), y = Upcase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

bool SplitPath(std::u16string_view path, std::vector<std::u16string>* parts) {
  parts->clear();
  if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  if (path.empty()) return true;
  size_t start = 0;
  while (true) {
    size_t end = path.find(u'\\', start);
    std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? path.size() - start : end - start);
    if (part.empty() || part.size() > kMaxKeyNameChars) return false;
    // Control characters would not survive the text format the registry
    // is saved in.
    for (WCHAR c : part)
      if (c < 0x20) return false;
    parts->emplace_back(part);
    if (parts->size() > kMaxDepth) return false;
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

KeyPtr FindChild(const Key& key, std::u16string_view name) {
  auto it = std::lower_bound(key.subkeys.begin(), key.subkeys.end(), name,
                             [](const KeyPtr& k, std::u16string_view n) { return CompareNoCase(k->name, n) < 0; });
  if (it != key.subkeys.end() && EqualNoCase((*it)->name, name)) return *it;
  return nullptr;
}

size_t Depth(const Key& key) {
  size_t depth = 0;
  for (const Key* k = key.parent; k; k = k->parent) ++depth;
  return depth;
}

namespace {
KeyPtr NewChild(const KeyPtr& key, std::u16string_view name) {
  if (key->deleted || name.empty() || name.size() > kMaxKeyNameChars || Depth(*key) + 1 > kMaxDepth) return nullptr;
  auto child = std::make_shared<Key>();
  child->name = std::u16string(name);
  child->parent = key.get();
  child->lastWriteTime = Now();
  Touch(*key);
  return child;
}
}  // namespace

KeyPtr CreateChild(const KeyPtr& key, std::u16string_view name, bool* created) {
  if (created) *created = false;
  if (KeyPtr existing = FindChild(*key, name)) return existing;
  KeyPtr child = NewChild(key, name);
  if (!child) return nullptr;
  auto it = std::lower_bound(key->subkeys.begin(), key->subkeys.end(), name,
                             [](const KeyPtr& k, std::u16string_view n) { return CompareNoCase(k->name, n) < 0; });
  key->subkeys.insert(it, child);
  if (created) *created = true;
  return child;
}

KeyPtr AppendChild(const KeyPtr& key, std::u16string_view name) {
  KeyPtr child = NewChild(key, name);
  if (child) key->subkeys.push_back(child);
  return child;
}

void SortChildren(Key& key) {
  std::stable_sort(key.subkeys.begin(), key.subkeys.end(),
                   [](const KeyPtr& a, const KeyPtr& b) { return CompareNoCase(a->name, b->name) < 0; });
}

KeyPtr Walk(KeyPtr start, const std::vector<std::u16string>& parts) {
  for (const auto& part : parts) {
    if (!start) return nullptr;
    start = FindChild(*start, part);
  }
  return start;
}

KeyPtr WalkCreate(KeyPtr start, const std::vector<std::u16string>& parts) {
  for (const auto& part : parts) {
    if (!start) return nullptr;
    start = CreateChild(start, part, nullptr);
  }
  return start;
}

Value* FindValue(Key& key, std::u16string_view name) {
  for (auto& value : key.values)
    if (EqualNoCase(value.name, name)) return &value;
  return nullptr;
}

void SetValue(Key& key, std::u16string_view name, ULONG type, const void* data, size_t size) {
  Value* value = FindValue(key, name);
  if (!value) {
    key.values.push_back(Value{std::u16string(name), type, {}});
    value = &key.values.back();
  }
  value->type = type;
  const auto* bytes = static_cast<const UCHAR*>(data);
  value->data.assign(bytes, bytes + (data ? size : 0));
  Touch(key);
}

bool DeleteValue(Key& key, std::u16string_view name) {
  for (auto it = key.values.begin(); it != key.values.end(); ++it) {
    if (EqualNoCase(it->name, name)) {
      key.values.erase(it);
      Touch(key);
      return true;
    }
  }
  return false;
}

void DeleteTree(const KeyPtr& key) {
  // Iterative, so that a deep tree cannot exhaust the stack.
  std::vector<KeyPtr> pending{key};
  while (!pending.empty()) {
    KeyPtr k = pending.back();
    pending.pop_back();
    k->deleted = true;
    for (auto& child : k->subkeys) pending.push_back(child);
    for (auto& child : k->subkeys) child->parent = nullptr;
    k->subkeys.clear();
  }
  if (Key* parent = key->parent) {
    auto& siblings = parent->subkeys;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), key), siblings.end());
    key->parent = nullptr;
    Touch(*parent);
  }
}

std::u16string FullPath(const Key& key) {
  std::vector<const Key*> chain;
  for (const Key* k = &key; k; k = k->parent) chain.push_back(k);
  std::u16string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += u'\\';
    path += (*it)->name;
  }
  return path;
}

// Last-write times are system times, as the kernel keeps them.
LONGLONG Now() { return platform::clock::kSystemTimeAtBoot + platform::clock::Now(); }

void Touch(Key& key) { key.lastWriteTime = Now(); }

}  // namespace platform::registry::tree
