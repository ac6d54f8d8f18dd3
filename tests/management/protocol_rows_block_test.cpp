#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "management/protocol/message_catalogue.h"
#include "management/protocol/rows_block.h"
#include "tests/management/protocol_test_bytes.h"

namespace vx::management {
namespace {

using test::Bytes;

std::vector<uint8_t> BlockOf(const std::vector<UploadedRow>& rows) {
  std::vector<uint8_t> block;
  for (const UploadedRow& row : rows) AppendEncodedRow(row, block);
  return block;
}

std::optional<std::vector<DecodedRow>> Decode(const std::vector<uint8_t>& block) {
  // An exact-size copy: reading past it is a sanitizer error.
  const std::vector<uint8_t> copy = block;
  return DecodeRowsBlock(copy.empty() ? nullptr : copy.data(), copy.size());
}

std::u16string Widened(const std::string& text) {
  std::u16string units;
  for (char c : text) units.push_back(static_cast<unsigned char>(c));
  return units;
}

TEST(protocol_RowsBlock, WorkedRowOf106Bytes) {
  const UploadedRow row{7, 1700000000, "-", "USB Disk", "-", 2};
  const std::vector<uint8_t> expected = Bytes()
                                            .U32(7)
                                            .U32(1700000000)
                                            .U32(5)
                                            .U32(1)
                                            .U32(2)
                                            .Zeros(24)
                                            .U32(2)
                                            .Units(std::u16string(u"-\0", 2))
                                            .U32(9)
                                            .Units(std::u16string(u"USB Disk\0", 9))
                                            .U32(2)
                                            .Units(std::u16string(u"-\0", 2))
                                            .U32(1)
                                            .U16(0)
                                            .U32(1)
                                            .U16(0)
                                            .U32(1)
                                            .U16(0)
                                            .U32(1)
                                            .U16(0);
  ASSERT_EQ(expected.size(), 106u);
  EXPECT_EQ(EncodedRowSize(row), 106u);
  EXPECT_EQ(BlockOf({row}), expected);
}

TEST(protocol_RowsBlock, SmallestRowIs86BytesAndNegativeValuesGoAsTheirBits) {
  const UploadedRow row{-1, -2, "", "", "", -3};
  const std::vector<uint8_t> block = BlockOf({row});
  EXPECT_EQ(EncodedRowSize(row), 86u);
  ASSERT_EQ(block.size(), 86u);
  EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 8), Bytes().U32(0xFFFFFFFF).U32(0xFFFFFFFE).Get());
  EXPECT_EQ(std::vector<uint8_t>(block.begin() + 16, block.begin() + 20), Bytes().U32(0xFFFFFFFD).Get());
}

struct CutCase {
  std::size_t length;
  uint32_t count;  // units written, terminator included
};

TEST(protocol_RowsBlock, TextsOf100BytesOrMoreAreCutTo99UnitsAndTheTerminator) {
  for (const CutCase& c : {CutCase{0, 1}, CutCase{1, 2}, CutCase{98, 99}, CutCase{99, 100}, CutCase{100, 100},
                           CutCase{150, 100}, CutCase{70000, 100}}) {
    SCOPED_TRACE(c.length);
    std::string product(c.length, 'p');
    for (std::size_t i = 0; i < product.size(); ++i) product[i] = static_cast<char>('a' + i % 26);
    const UploadedRow row{1, 2, "v", product, "s", 3};
    const std::vector<uint8_t> block = BlockOf({row});
    ASSERT_EQ(block.size(), EncodedRowSize(row));
    EXPECT_EQ(block.size(), 80u + 2 * (2 + c.count + 2));
    // The product's count follows the vendor's text (count 2: 4 + 4 bytes).
    const std::size_t at = 44 + 8;
    EXPECT_EQ(Bytes().U32(c.count).Get(), std::vector<uint8_t>(block.begin() + at, block.begin() + at + 4));
    EXPECT_EQ(block[at + 4 + 2 * (c.count - 1)], 0);
    EXPECT_EQ(block[at + 4 + 2 * (c.count - 1) + 1], 0);
    const auto decoded = Decode(block);
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->size(), 1u);
    EXPECT_EQ((*decoded)[0].product, Widened(product.substr(0, c.count - 1)));
  }
}

TEST(protocol_RowsBlock, EveryByteBecomesTheUnitOfTheSameValue) {
  std::string vendor, product, serial;
  for (int b = 0x01; b <= 0x7F; ++b) vendor.push_back(static_cast<char>(b));   // 127: cut to 99
  for (int b = 0x80; b <= 0xE2; ++b) product.push_back(static_cast<char>(b));  // 99
  for (int b = 0xE3; b <= 0xFF; ++b) serial.push_back(static_cast<char>(b));   // 29
  const std::vector<uint8_t> block = BlockOf({{1, 1, vendor, product, serial, 1}});
  // The product's units: 0x0080..0x00E2, high bytes 0.
  const std::size_t productUnits = 44 + 4 + 2 * 100 + 4;
  for (int i = 0; i < 99; ++i) {
    EXPECT_EQ(block[productUnits + 2 * i], 0x80 + i);
    EXPECT_EQ(block[productUnits + 2 * i + 1], 0x00);
  }
  const auto decoded = Decode(block);
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->size(), 1u);
  EXPECT_EQ((*decoded)[0].vendor, Widened(vendor.substr(0, 99)));
  EXPECT_EQ((*decoded)[0].product, Widened(product));
  EXPECT_EQ((*decoded)[0].serial, Widened(serial));
}

TEST(protocol_RowsBlock, RandomBlocksRoundTrip) {
  std::mt19937 random(3);
  auto text = [&random] {
    std::string t(random() % 130, '\0');
    for (char& c : t) c = static_cast<char>(random());  // zero bytes included: each is a unit of its own
    return t;
  };
  for (int round = 0; round < 50; ++round) {
    std::vector<UploadedRow> rows(random() % 20);
    std::vector<DecodedRow> expected;
    for (UploadedRow& row : rows) {
      row = {static_cast<int32_t>(random()), static_cast<int32_t>(random()), text(), text(), text(),
             static_cast<int32_t>(random())};
      expected.push_back({row.id, row.time, row.action, Widened(row.vendor.substr(0, 99)),
                          Widened(row.product.substr(0, 99)), Widened(row.serial.substr(0, 99))});
    }
    const std::vector<uint8_t> block = BlockOf(rows);
    std::size_t size = 0;
    for (const UploadedRow& row : rows) size += EncodedRowSize(row);
    ASSERT_EQ(block.size(), size);
    const auto decoded = Decode(block);
    ASSERT_TRUE(decoded.has_value()) << "round " << round;
    EXPECT_EQ(*decoded, expected) << "round " << round;
  }
}

TEST(protocol_RowsBlock, EmptyBlockIsNoRows) {
  const auto decoded = DecodeRowsBlock(nullptr, 0);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_TRUE(decoded->empty());
}

// A block of exactly the limit is allowed; one byte more is not.
TEST(protocol_RowsBlock, BlockOfExactlyTheLimitIsAcceptedAndALargerOneRefused) {
  std::vector<UploadedRow> rows(192,
                                UploadedRow{1, 2, std::string(99, 'v'), std::string(99, 'p'), std::string(99, 's'), 3});
  rows.push_back({4, 5, std::string(99, 'v'), std::string(99, 'p'), std::string(15, 's'), 6});
  std::vector<uint8_t> block = BlockOf(rows);
  ASSERT_EQ(block.size(), kMaxRowsBlockSize);
  const auto decoded = Decode(block);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->size(), 193u);

  AppendEncodedRow({7, 8, "", "", "", 9}, block);
  EXPECT_FALSE(Decode(block).has_value());
}

struct MalformedCase {
  const char* name;
  std::function<void(std::vector<uint8_t>&)> change;
};

// Offsets into the first row of the fixture below: vendor "ab" (count 3),
// product "c" (count 2), serial "" (count 1), then the four empty texts.
constexpr std::size_t kVendorCount = 44, kProductCount = 44 + 4 + 6, kSerialCount = kProductCount + 4 + 4;
constexpr std::size_t kFirstEmptyText = kSerialCount + 4 + 2;

void PutU32At(std::vector<uint8_t>& block, std::size_t at, uint32_t value) {
  const std::vector<uint8_t> bytes = Bytes().U32(value);
  std::copy(bytes.begin(), bytes.end(), block.begin() + static_cast<std::ptrdiff_t>(at));
}

std::vector<MalformedCase> MalformedCases() {
  return {
      {"a text count of 0", [](auto& b) { PutU32At(b, kVendorCount, 0); }},
      {"a text count past the end", [](auto& b) { PutU32At(b, kVendorCount, 99); }},
      {"a text count of 2^32 - 1", [](auto& b) { PutU32At(b, kProductCount, 0xFFFFFFFF); }},
      {"a text count above 100",
       [](auto& b) {
         // A well-formed 101-unit vendor text in place of "ab".
         std::vector<uint8_t> text = Bytes().U32(101).Units(std::u16string(100, u'x')).U16(0);
         b.erase(b.begin() + kVendorCount, b.begin() + kVendorCount + 4 + 6);
         b.insert(b.begin() + kVendorCount, text.begin(), text.end());
       }},
      {"a text without its terminator", [](auto& b) { b[kVendorCount + 4 + 4] = 'x'; }},
      {"a terminator with a nonzero high byte", [](auto& b) { b[kSerialCount + 4 + 1] = 0x01; }},
      {"the constant 5 changed", [](auto& b) { PutU32At(b, 8, 6); }},
      {"the constant 1 changed", [](auto& b) { PutU32At(b, 12, 0); }},
      {"a nonzero byte in the zero area", [](auto& b) { b[43] = 1; }},
      {"a trailing text not empty",
       [](auto& b) {
         std::vector<uint8_t> text = Bytes().U32(2).U16('x').U16(0);
         b.erase(b.begin() + kFirstEmptyText, b.begin() + kFirstEmptyText + 6);
         b.insert(b.begin() + kFirstEmptyText, text.begin(), text.end());
       }},
      {"a row cut short after its fixed part", [](auto& b) { b.resize(b.size() - 86 + 44); }},
      {"a row cut short in its fixed part", [](auto& b) { b.resize(b.size() - 86 + 10); }},
      {"a row cut short in its last text", [](auto& b) { b.pop_back(); }},
      {"a stray byte after the last row", [](auto& b) { b.push_back(0); }},
  };
}

TEST(protocol_RowsBlock, MalformedBlocksAreRefused) {
  const std::vector<uint8_t> good = BlockOf({{1, 2, "ab", "c", "", 3}, {4, 5, "", "", "", 6}});
  ASSERT_TRUE(Decode(good).has_value());
  ASSERT_EQ(good.size(), 80u + 2 * (3 + 2 + 1) + 86);
  for (const MalformedCase& c : MalformedCases()) {
    std::vector<uint8_t> block = good;
    c.change(block);
    EXPECT_FALSE(Decode(block).has_value()) << c.name;
  }
}

// Every cut that is not between rows is refused; read from the whole buffer
// with a shorter size, so a decoder that looked past `size` would succeed.
TEST(protocol_RowsBlock, EveryCutInsideARowIsRefused) {
  const std::vector<uint8_t> block = BlockOf({{1, 2, "ab", "c", "", 3}, {4, 5, "vendor", "", "x", 6}});
  const std::size_t firstRow = EncodedRowSize({1, 2, "ab", "c", "", 3});
  for (std::size_t size = 0; size <= block.size(); ++size) {
    const auto decoded = DecodeRowsBlock(block.data(), size);
    if (size == 0 || size == firstRow || size == block.size()) {
      ASSERT_TRUE(decoded.has_value()) << size;
      EXPECT_EQ(decoded->size(), size == 0 ? 0u : size == firstRow ? 1u : 2u);
    } else {
      EXPECT_FALSE(decoded.has_value()) << size;
    }
  }
}

}  // namespace
}  // namespace vx::management
