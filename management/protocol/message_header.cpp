#include "management/protocol/message_header.h"

#include "management/protocol/little_endian.h"

namespace vx::management {

uint8_t HeaderChecksum(const uint8_t* firstSixBytes) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < kHeaderSize - 1; ++i) sum += firstSixBytes[i];
  return static_cast<uint8_t>(sum);
}

std::array<uint8_t, kHeaderSize> EncodeHeader(MessageHeader header) {
  std::array<uint8_t, kHeaderSize> bytes{};
  PutU16(bytes.data(), header.type);
  PutU32(bytes.data() + 2, header.length);
  bytes[6] = HeaderChecksum(bytes.data());
  return bytes;
}

std::optional<MessageHeader> DecodeHeader(const uint8_t* sevenBytes) {
  if (sevenBytes[6] != HeaderChecksum(sevenBytes)) return std::nullopt;
  return MessageHeader{GetU16(sevenBytes), GetU32(sevenBytes + 2)};
}

}  // namespace vx::management
