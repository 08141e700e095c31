// The in-memory registry behind the Zw registry routines and the .reg text
// format: a tree of keys with case-insensitive names, each with its values in
// the order they were created. Internal to the stand-in.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/ntdef.h"

namespace platform::registry::tree {

// Limits of the kernel's registry, enforced on every path into the tree so
// that neither the Zw routines nor a loaded file can build something the
// kernel could not hold.
constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;
constexpr size_t kMaxDepth = 512;
constexpr size_t kMaxValueBytes = 1u << 20;  // the stand-in's own bound

struct Value {
  std::u16string name;
  ULONG type = 0;
  std::vector<UCHAR> data;
};

struct Key {
  std::u16string name;
  Key* parent = nullptr;
  LONGLONG lastWriteTime = 0;
  ULONG titleIndex = 0;
  bool deleted = false;  // removed from the tree; open handles still see it
  std::vector<Value> values;
  std::vector<std::shared_ptr<Key>> subkeys;  // sorted by upper-cased name
};
using KeyPtr = std::shared_ptr<Key>;

// Guards the whole tree; every operation below expects it held.
std::recursive_mutex& Lock();

// The root key, "\REGISTRY".
KeyPtr Root();
void Reset();

WCHAR Upcase(WCHAR c);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
int CompareNoCase(std::u16string_view a, std::u16string_view b);

// Splits "A\B\C" into components; fails on an empty or overlong component.
// A leading backslash is skipped (absolute paths start at the root).
bool SplitPath(std::u16string_view path, std::vector<std::u16string>* parts);  // also refuses control characters

KeyPtr FindChild(const Key& key, std::u16string_view name);
// Creates the child when absent; `created` tells which happened. Fails
// (null) when the tree would grow deeper than the kernel allows.
KeyPtr CreateChild(const KeyPtr& key, std::u16string_view name, bool* created);
// Creates a child that the caller knows is absent at the end of the
// subkeys, out of order until SortChildren: a bulk load sorts each parent
// once instead of shifting every later sibling per insert. Null as
// CreateChild fails.
KeyPtr AppendChild(const KeyPtr& key, std::u16string_view name);
void SortChildren(Key& key);
size_t Depth(const Key& key);

// Walks `parts` from `start`; null when a component is missing.
KeyPtr Walk(KeyPtr start, const std::vector<std::u16string>& parts);
// Like Walk, but creates the missing components.
KeyPtr WalkCreate(KeyPtr start, const std::vector<std::u16string>& parts);

Value* FindValue(Key& key, std::u16string_view name);
void SetValue(Key& key, std::u16string_view name, ULONG type, const void* data, size_t size);
bool DeleteValue(Key& key, std::u16string_view name);
// Removes the key and everything below it from the tree.
void DeleteTree(const KeyPtr& key);

// The key's full path ("\REGISTRY\MACHINE\..."), as the kernel spells it.
std::u16string FullPath(const Key& key);

LONGLONG Now();
void Touch(Key& key);

}  // namespace platform::registry::tree

namespace platform::registry {
// Opens a handle to an absolute key path, creating the missing keys when
// asked (the plug-and-play manager's device keys are opened this way).
NTSTATUS OpenPath(std::u16string_view path, bool create, HANDLE* handle);
}  // namespace platform::registry
