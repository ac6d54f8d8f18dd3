// Little-endian reads and writes of the connection's integers, byte by byte,
// so no alignment is assumed and the host's byte order does not matter. The
// client, the server and the load generator use them for the bodies that are
// one or two integers (a notice, a digest reply, a rows request).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vx::management {

inline void PutU16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutU32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

// A four-byte body holding one value.
inline std::array<uint8_t, 4> U32Bytes(uint32_t value) {
  std::array<uint8_t, 4> bytes{};
  PutU32(bytes.data(), value);
  return bytes;
}

inline uint16_t GetU16(const uint8_t* in) { return static_cast<uint16_t>(in[0] | (in[1] << 8)); }

inline uint32_t GetU32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) | (static_cast<uint32_t>(in[2]) << 16) |
         (static_cast<uint32_t>(in[3]) << 24);
}

}  // namespace vx::management
