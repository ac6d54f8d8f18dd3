// The rows block of a reportRowsReply: report rows encoded one after the
// other, at most kMaxRowsBlockSize bytes in all (message_catalogue.h).
//
// One row (little-endian, no gaps): id, time, the constant 5, the constant 1,
// action (each 32 bits), 24 zero bytes, then seven texts, each a 32-bit count
// of UTF-16 units with the terminator followed by exactly that many units:
// vendor, product, serial and four empty texts (count 1, one 0 unit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vx::management {

inline constexpr std::size_t kMaxRowTextUnits = 100;  // a text's count, terminator included

struct UploadedRow {
  int32_t id = 0;
  int32_t time = 0;
  std::string vendor, product, serial;
  int32_t action = 0;
};

// 80 bytes plus twice the unit counts of the three texts (terminators
// included), after the cut; the smallest row is 86 bytes.
[[nodiscard]] std::size_t EncodedRowSize(const UploadedRow& row);

// Appends one encoded row (EncodedRowSize bytes) to `block`. Each text byte
// becomes the unit of the same value (0x00..0xFF, so 0x80 -> 0x0080). A text
// of 100 bytes or more is cut to 99 units plus the terminator. The caller
// keeps the block within kMaxRowsBlockSize (and reserves it once).
void AppendEncodedRow(const UploadedRow& row, std::vector<uint8_t>& block);

struct DecodedRow {
  int32_t id = 0;
  int32_t time = 0;
  int32_t action = 0;
  std::u16string vendor, product, serial;  // the units before each terminator

  friend bool operator==(const DecodedRow&, const DecodedRow&) = default;
};

// For the server: every row of a block, or nullopt when the block is not a
// sequence of rows as AppendEncodedRow writes them: a row cut short, a text
// count of 0, above kMaxRowTextUnits or past the end, a text whose last unit
// is not 0, a constant other than 5 and 1, a nonzero byte in the zero area, one
// of the four trailing texts not empty, or more than kMaxRowsBlockSize bytes.
// An empty block is no rows. Never reads past `size`.
[[nodiscard]] std::optional<std::vector<DecodedRow>> DecodeRowsBlock(const uint8_t* bytes, std::size_t size);

}  // namespace vx::management
