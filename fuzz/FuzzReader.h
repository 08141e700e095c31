// The fuzz targets' view of their input: little-endian fields taken in
// order, zeros once the input is used up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}
  bool More() const { return m_At < m_Size; }
  uint8_t Byte() { return m_At < m_Size ? m_Data[m_At++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t Long() { return Word() | static_cast<uint32_t>(Word()) << 16; }
  std::vector<uint8_t> Bytes(size_t count) {
    std::vector<uint8_t> out(count);
    for (size_t i = 0; i < count; ++i) out[i] = Byte();
    return out;
  }

 private:
  const uint8_t* m_Data;
  size_t m_Size;
  size_t m_At = 0;
};

}  // namespace fuzz
