#include "tools/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tools {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void JsonWriter::BeforeValue() {
  if (m_AfterKey) {
    m_AfterKey = false;
    return;
  }
  if (!m_Open.empty()) {
    if (!m_Open.back().first) m_Text += ", ";
    m_Open.back().first = false;
  }
}

JsonWriter& JsonWriter::Object() {
  BeforeValue();
  m_Text += '{';
  m_Open.push_back({true, '}'});
  return *this;
}

JsonWriter& JsonWriter::Array() {
  BeforeValue();
  m_Text += '[';
  m_Open.push_back({true, ']'});
  return *this;
}

JsonWriter& JsonWriter::End() {
  if (m_Open.empty()) return *this;
  m_Text += m_Open.back().closing;
  m_Open.pop_back();
  return *this;
}

JsonWriter& JsonWriter::Key(const std::string& key) {
  BeforeValue();
  m_Text += JsonString(key) + ": ";
  m_AfterKey = true;
  return *this;
}

JsonWriter& JsonWriter::Value(const std::string& text) {
  BeforeValue();
  m_Text += JsonString(text);
  return *this;
}

JsonWriter& JsonWriter::Value(const char* text) { return text ? Value(std::string(text)) : Null(); }

JsonWriter& JsonWriter::Value(bool value) {
  BeforeValue();
  m_Text += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Value(double value) {
  if (!std::isfinite(value)) return Null();
  BeforeValue();
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  // The shortest text that reads back the same.
  for (int digits = 1; digits < 17; ++digits) {
    char shorter[40];
    std::snprintf(shorter, sizeof shorter, "%.*g", digits, value);
    if (std::strtod(shorter, nullptr) == value) {
      m_Text += shorter;
      return *this;
    }
  }
  m_Text += text;
  return *this;
}

JsonWriter& JsonWriter::Value(long long value) {
  BeforeValue();
  m_Text += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Value(unsigned long long value) {
  BeforeValue();
  m_Text += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  m_Text += "null";
  return *this;
}

JsonWriter& JsonWriter::Raw(const std::string& json) {
  BeforeValue();
  m_Text += json;
  return *this;
}

}  // namespace tools
