// The 7-byte header in front of every message on the management connection,
// in both directions: type (16 bits), length (32 bits), checksum (8 bits).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vx::management {

inline constexpr std::size_t kHeaderSize = 7;

struct MessageHeader {
  uint16_t type = 0;
  // Byte count of a variable-size body; 0 for messages without a body and for
  // those whose body has a fixed size (see message_catalogue.h).
  uint32_t length = 0;
};

// Sum of bytes 0..5 modulo 256.
[[nodiscard]] uint8_t HeaderChecksum(const uint8_t* firstSixBytes);

[[nodiscard]] std::array<uint8_t, kHeaderSize> EncodeHeader(MessageHeader header);

// nullopt when byte 6 is not the checksum of bytes 0..5.
[[nodiscard]] std::optional<MessageHeader> DecodeHeader(const uint8_t* sevenBytes);

}  // namespace vx::management
