#include "management/protocol/rows_block.h"

#include <algorithm>
#include <string_view>

#include "management/protocol/bounded_reader.h"
#include "management/protocol/little_endian.h"
#include "management/protocol/message_catalogue.h"

namespace vx::management {
namespace {

constexpr std::size_t kFixedPart = 44;  // five integers and the zero area
constexpr std::size_t kZeroAreaOffset = 20, kZeroAreaSize = 24;
constexpr uint32_t kRowConstantA = 5, kRowConstantB = 1;
constexpr int kEmptyTexts = 4;

// The fixed part, seven counts and four terminators of the empty texts.
static_assert(kFixedPart + 7 * 4 + 2 * kEmptyTexts == 80);

// Units of a text after the cut, terminator included.
std::size_t TextUnits(const std::string& text) { return std::min(text.size(), kMaxRowTextUnits - 1) + 1; }

uint8_t* PutText(uint8_t* out, std::string_view text) {
  const std::size_t kept = std::min(text.size(), kMaxRowTextUnits - 1);
  PutU32(out, static_cast<uint32_t>(kept + 1));
  out += 4;
  for (std::size_t i = 0; i < kept; ++i) {
    PutU16(out, static_cast<unsigned char>(text[i]));
    out += 2;
  }
  PutU16(out, 0);
  return out + 2;
}

// One counted text; its units before the terminator go to `text`.
[[nodiscard]] bool ReadText(detail::BoundedReader& reader, std::u16string& text) {
  uint32_t count = 0;
  const uint8_t* at = nullptr;
  if (!reader.ReadU32(count) || count == 0 || count > kMaxRowTextUnits) return false;
  if (!reader.Take(2 * std::size_t{count}, at)) return false;
  if (GetU16(at + 2 * (count - 1)) != 0) return false;
  text.resize(count - 1);
  for (std::size_t i = 0; i + 1 < count; ++i) text[i] = GetU16(at + 2 * i);
  return true;
}

[[nodiscard]] bool ReadRow(detail::BoundedReader& reader, DecodedRow& row) {
  const uint8_t* fixed = nullptr;
  if (!reader.Take(kFixedPart, fixed)) return false;
  if (GetU32(fixed + 8) != kRowConstantA || GetU32(fixed + 12) != kRowConstantB) return false;
  const uint8_t* zeros = fixed + kZeroAreaOffset;
  if (std::any_of(zeros, zeros + kZeroAreaSize, [](uint8_t byte) { return byte != 0; })) return false;
  row.id = static_cast<int32_t>(GetU32(fixed));
  row.time = static_cast<int32_t>(GetU32(fixed + 4));
  row.action = static_cast<int32_t>(GetU32(fixed + 16));
  if (!ReadText(reader, row.vendor) || !ReadText(reader, row.product) || !ReadText(reader, row.serial)) return false;
  for (int i = 0; i < kEmptyTexts; ++i) {
    std::u16string empty;
    if (!ReadText(reader, empty) || !empty.empty()) return false;
  }
  return true;
}

}  // namespace

std::size_t EncodedRowSize(const UploadedRow& row) {
  return kFixedPart + 7 * 4 +
         2 * (TextUnits(row.vendor) + TextUnits(row.product) + TextUnits(row.serial) + kEmptyTexts);
}

void AppendEncodedRow(const UploadedRow& row, std::vector<uint8_t>& block) {
  const std::size_t start = block.size();
  block.resize(start + EncodedRowSize(row));  // zero-filled: the zero area stays 0
  uint8_t* out = block.data() + start;
  PutU32(out, static_cast<uint32_t>(row.id));
  PutU32(out + 4, static_cast<uint32_t>(row.time));
  PutU32(out + 8, kRowConstantA);
  PutU32(out + 12, kRowConstantB);
  PutU32(out + 16, static_cast<uint32_t>(row.action));
  out += kFixedPart;
  out = PutText(out, row.vendor);
  out = PutText(out, row.product);
  out = PutText(out, row.serial);
  for (int i = 0; i < kEmptyTexts; ++i) out = PutText(out, {});
}

std::optional<std::vector<DecodedRow>> DecodeRowsBlock(const uint8_t* bytes, std::size_t size) {
  if (size > kMaxRowsBlockSize) return std::nullopt;
  std::vector<DecodedRow> rows;
  detail::BoundedReader reader(bytes, size);
  while (!reader.AtEnd()) {
    DecodedRow row;
    if (!ReadRow(reader, row)) return std::nullopt;
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace vx::management
