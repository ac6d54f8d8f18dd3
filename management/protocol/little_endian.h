// Little-endian reads and writes of the connection's integers, byte by byte,
// so no alignment is assumed and the host's byte order does not matter.
// Internal to the protocol library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx::management::detail {

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

inline uint16_t GetU16(const uint8_t* in) { return static_cast<uint16_t>(in[0] | (in[1] << 8)); }

inline uint32_t GetU32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) | (static_cast<uint32_t>(in[2]) << 16) |
         (static_cast<uint32_t>(in[3]) << 24);
}

}  // namespace vx::management::detail
