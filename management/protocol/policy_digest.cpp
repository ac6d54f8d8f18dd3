// The policy digest: a table-driven CRC-32 (MSB first) whose register starts
// at the polynomial itself and is not inverted at the end.
#include <array>

#include "management/protocol/policy_list.h"

namespace vx::management {
namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7;

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t value = i << 24;
    for (int bit = 0; bit < 8; ++bit) value = (value & 0x80000000u) ? (value << 1) ^ kPolynomial : value << 1;
    table[i] = value;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

// The two ends of the table pin its construction; the worked digests in the
// tests cover the rest.
static_assert(kTable[0] == 0 && kTable[1] == kPolynomial && kTable[255] == 0xB1F740B4);

}  // namespace

uint32_t PolicyDigest(const uint8_t* bytes, std::size_t size) {
  uint32_t crc = kPolynomial;
  for (std::size_t i = 0; i < size; ++i) crc = (crc << 8) ^ kTable[((crc >> 24) ^ bytes[i]) & 0xFF];
  return crc;
}

}  // namespace vx::management
