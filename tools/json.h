// The one JSON writer of headset-host. Every command's --json output, and
// its errors under --json, are built with it, so that strings are escaped
// one way and numbers that are not finite come out as null. The layout is
// one line, ", " between members and ": " after keys.
//
//   JsonWriter j;
//   j.Object().Field("node", 2).Field("kind", "volume").Key("values").Array();
//   for (LONG v : values) j.Value(v);
//   j.End().End();
//   std::string text = j.Text();  // {"node": 2, "kind": "volume", "values": [0, 0]}
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

class JsonWriter {
 public:
  JsonWriter& Object();
  JsonWriter& Array();
  // Ends the innermost object or array.
  JsonWriter& End();
  JsonWriter& Key(const std::string& key);

  JsonWriter& Value(const std::string& text);
  JsonWriter& Value(const char* text);
  JsonWriter& Value(bool value);
  JsonWriter& Value(double value);
  JsonWriter& Value(int value) { return Value(static_cast<long long>(value)); }
  JsonWriter& Value(long value) { return Value(static_cast<long long>(value)); }
  JsonWriter& Value(long long value);
  JsonWriter& Value(unsigned value) { return Value(static_cast<unsigned long long>(value)); }
  JsonWriter& Value(unsigned long value) { return Value(static_cast<unsigned long long>(value)); }
  JsonWriter& Value(unsigned long long value);
  JsonWriter& Null();
  // A value another writer made.
  JsonWriter& Raw(const std::string& json);

  template <typename T>
  JsonWriter& Field(const std::string& key, const T& value) {
    return Key(key).Value(value);
  }
  template <typename T>
  JsonWriter& Field(const std::string& key, const std::vector<T>& values) {
    Key(key).Array();
    for (const T& v : values) Value(v);
    return End();
  }

  // The document so far; complete once every Object and Array has ended.
  const std::string& Text() const { return m_Text; }

 private:
  void BeforeValue();

  struct Open {
    bool first;  // nothing in it yet
    char closing;
  };
  std::string m_Text;
  std::vector<Open> m_Open;
  bool m_AfterKey = false;
};

// `text` as a JSON string, quotes included.
std::string JsonString(const std::string& text);

}  // namespace tools
