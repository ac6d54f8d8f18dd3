#include "management/protocol/status_record.h"

#include <algorithm>

#include "management/protocol/little_endian.h"

namespace vx::management {
namespace {

constexpr std::size_t kUptimeOffset = 0;
constexpr std::size_t kConstantOffset = 16;
constexpr uint32_t kConstant = 0x00010001;
constexpr std::size_t kLockBitsOffset = 44;
constexpr std::size_t kStatusWordOffset = 139;
constexpr std::size_t kBatteryOffset = 271;
constexpr std::size_t kComputerNameOffset = 272;
constexpr std::size_t kVersionOffset = 400;

static_assert(kComputerNameOffset + 2 * kStatusComputerNameUnits == kVersionOffset);
static_assert(kVersionOffset + 4 == kStatusRecordSize);

}  // namespace

std::array<uint8_t, kStatusRecordSize> EncodeStatusRecord(const StatusRecord& record) {
  std::array<uint8_t, kStatusRecordSize> bytes{};
  uint8_t* out = bytes.data();
  PutU32(out + kUptimeOffset, record.uptimeSeconds);
  PutU32(out + kConstantOffset, kConstant);
  uint32_t lockBits = 0;
  if (record.lockCdDvd) lockBits |= kStatusLockCdDvdBit;
  if (record.lockFloppy) lockBits |= kStatusLockFloppyBit;
  PutU32(out + kLockBitsOffset, lockBits);
  PutU32(out + kStatusWordOffset, record.statusWord);
  out[kBatteryOffset] = record.onBattery ? 1 : 0;
  // Up to the name's own terminator, at most 63 units; the rest of the field,
  // the terminator included, stays 0.
  const std::u16string_view name(record.computerName);
  const std::size_t kept = std::min({name.size(), name.find(u'\0'), kStatusComputerNameUnits - 1});
  for (std::size_t i = 0; i < kept; ++i) PutU16(out + kComputerNameOffset + 2 * i, name[i]);
  PutU32(out + kVersionOffset, record.windowsVersion);
  return bytes;
}

std::optional<StatusRecord> DecodeStatusRecord(const uint8_t* bytes, std::size_t size) {
  if (size != kStatusRecordSize) return std::nullopt;
  StatusRecord record;
  record.uptimeSeconds = GetU32(bytes + kUptimeOffset);
  const uint32_t lockBits = GetU32(bytes + kLockBitsOffset);
  record.lockCdDvd = (lockBits & kStatusLockCdDvdBit) != 0;
  record.lockFloppy = (lockBits & kStatusLockFloppyBit) != 0;
  record.statusWord = GetU32(bytes + kStatusWordOffset);
  record.onBattery = bytes[kBatteryOffset] != 0;
  for (std::size_t i = 0; i < kStatusComputerNameUnits; ++i) {
    const char16_t unit = GetU16(bytes + kComputerNameOffset + 2 * i);
    if (unit == 0) break;
    record.computerName.push_back(unit);
  }
  record.windowsVersion = GetU32(bytes + kVersionOffset);
  return record;
}

}  // namespace vx::management
