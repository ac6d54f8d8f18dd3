// Building wire bytes in tests: little-endian integers, raw bytes and UTF-16
// units appended one after the other, so each case reads like its layout.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace vx::management::test {

class Bytes {
 public:
  Bytes& U32(uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes_.push_back(static_cast<uint8_t>(value >> shift));
    return *this;
  }
  Bytes& U16(uint16_t value) {
    bytes_.push_back(static_cast<uint8_t>(value));
    bytes_.push_back(static_cast<uint8_t>(value >> 8));
    return *this;
  }
  Bytes& Raw(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  Bytes& Raw(std::initializer_list<uint8_t> values) {
    bytes_.insert(bytes_.end(), values);
    return *this;
  }
  Bytes& Units(std::u16string_view units) {
    for (char16_t unit : units) U16(unit);
    return *this;
  }
  Bytes& Zeros(std::size_t count) {
    bytes_.insert(bytes_.end(), count, 0);
    return *this;
  }
  // A whole policy-list entry, as the encoding lays it out.
  Bytes& KeyAndKind(std::string_view key, uint32_t kind) {
    return U32(static_cast<uint32_t>(key.size())).Raw(key).U32(kind);
  }
  Bytes& NumberEntry(std::string_view key, int32_t number) {
    return KeyAndKind(key, 1).U32(static_cast<uint32_t>(number));
  }
  Bytes& TextEntry(std::string_view key, std::u16string_view text) {
    return KeyAndKind(key, 2).U32(static_cast<uint32_t>(2 * text.size())).Units(text);
  }

  const std::vector<uint8_t>& Get() const { return bytes_; }
  operator std::vector<uint8_t>() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace vx::management::test
