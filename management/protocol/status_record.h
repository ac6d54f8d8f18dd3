// The 404-byte body of a statusReply (little-endian; every byte not listed is
// 0, except the constant 0x00010001 at offset 16).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vx::management {

inline constexpr std::size_t kStatusRecordSize = 404;
inline constexpr uint32_t kStatusLockCdDvdBit = 0x40000000, kStatusLockFloppyBit = 0x20000000;
// The computer name field: 64 units, terminator included.
inline constexpr std::size_t kStatusComputerNameUnits = 64;

struct StatusRecord {
  uint32_t uptimeSeconds = 0;   // offset 0
  bool lockCdDvd = false;       // offset 44, bit 30
  bool lockFloppy = false;      // offset 44, bit 29
  uint32_t statusWord = 0;      // offset 139, unaligned
  bool onBattery = false;       // offset 271
  std::u16string computerName;  // offset 272, 64 units with the terminator (cut to 63, ends at a 0 unit)
  uint32_t windowsVersion = 0;  // offset 400, GetVersion's value

  friend bool operator==(const StatusRecord&, const StatusRecord&) = default;
};

[[nodiscard]] std::array<uint8_t, kStatusRecordSize> EncodeStatusRecord(const StatusRecord& record);

// nullopt unless `size` is exactly 404. Bits at offset 44 other than the two
// lock bits, and the other bytes, are not looked at; a computer name without a
// terminator in its 64 units is taken whole.
[[nodiscard]] std::optional<StatusRecord> DecodeStatusRecord(const uint8_t* bytes, std::size_t size);

}  // namespace vx::management
