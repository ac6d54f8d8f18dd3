#include <gtest/gtest.h>

#include <array>
#include <string>

#include "management/protocol/status_record.h"
#include "tests/management/protocol_test_bytes.h"

namespace vx::management {
namespace {

using Record = std::array<uint8_t, kStatusRecordSize>;

void Put(Record& record, std::size_t at, const std::vector<uint8_t>& bytes) {
  std::copy(bytes.begin(), bytes.end(), record.begin() + static_cast<std::ptrdiff_t>(at));
}

// The record with every byte 0 but the constant at 16.
Record Blank() {
  Record record{};
  Put(record, 16, {0x01, 0x00, 0x01, 0x00});
  return record;
}

TEST(protocol_StatusRecord, FieldsStandAtTheirOffsetsAndEveryOtherByteIsZero) {
  StatusRecord status;
  status.uptimeSeconds = 0x11223344;
  status.lockCdDvd = true;
  status.statusWord = 0xA1B2C3D4;
  status.onBattery = true;
  status.computerName = u"VX-PC\u00E9";
  status.windowsVersion = 0x1DB10106;

  Record expected = Blank();
  Put(expected, 0, {0x44, 0x33, 0x22, 0x11});
  Put(expected, 44, {0x00, 0x00, 0x00, 0x40});
  Put(expected, 139, {0xD4, 0xC3, 0xB2, 0xA1});
  expected[271] = 1;
  Put(expected, 272, test::Bytes().Units(u"VX-PC\u00E9"));
  Put(expected, 400, {0x06, 0x01, 0xB1, 0x1D});
  EXPECT_EQ(EncodeStatusRecord(status), expected);
}

TEST(protocol_StatusRecord, DefaultRecordIsTheConstantAlone) { EXPECT_EQ(EncodeStatusRecord({}), Blank()); }

struct LockCase {
  bool cdDvd, floppy;
  uint32_t bits;
};

TEST(protocol_StatusRecord, LockBits) {
  for (const LockCase& c : {LockCase{false, false, 0}, LockCase{true, false, 0x40000000},
                            LockCase{false, true, 0x20000000}, LockCase{true, true, 0x60000000}}) {
    StatusRecord status;
    status.lockCdDvd = c.cdDvd;
    status.lockFloppy = c.floppy;
    Record expected = Blank();
    Put(expected, 44, test::Bytes().U32(c.bits));
    EXPECT_EQ(EncodeStatusRecord(status), expected) << c.cdDvd << c.floppy;
  }
}

struct NameCase {
  const char* name;
  std::u16string computerName;
  std::u16string written;  // the units before the terminator
};

TEST(protocol_StatusRecord, ComputerNameIsCutTo63UnitsAndTerminated) {
  const std::u16string sixtyThree(63, u'N');
  const NameCase cases[] = {
      {"empty", u"", u""},
      {"63 units are kept", sixtyThree, sixtyThree},
      {"64 units are cut to 63", sixtyThree + u"X", sixtyThree},
      {"70 units are cut to 63", sixtyThree + u"XYZXYZX", sixtyThree},
      {"ends at its own terminator", std::u16string(u"AB\0CD", 5), u"AB"},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    StatusRecord status;
    status.computerName = c.computerName;
    Record expected = Blank();
    Put(expected, 272, test::Bytes().Units(c.written));
    const Record record = EncodeStatusRecord(status);
    EXPECT_EQ(record, expected);
    const auto decoded = DecodeStatusRecord(record.data(), record.size());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->computerName, c.written);
  }
}

TEST(protocol_StatusRecord, DecoderRoundTrip) {
  StatusRecord status;
  status.uptimeSeconds = 4000000000u;
  status.lockFloppy = true;
  status.statusWord = 0xFFFFFFFF;
  status.computerName = u"WORKSTATION-17";
  status.windowsVersion = 0x0A280105;
  for (bool battery : {false, true}) {
    status.onBattery = battery;
    const Record record = EncodeStatusRecord(status);
    const auto decoded = DecodeStatusRecord(record.data(), record.size());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_TRUE(*decoded == status);
  }
}

TEST(protocol_StatusRecord, NameWithoutTerminatorIsReadWithinItsField) {
  Record record = Blank();
  Put(record, 272, test::Bytes().Units(std::u16string(64, u'Z')));
  Put(record, 400, {0x41, 0x00, 0x42, 0x00});  // would read as "AB" past the field
  const auto decoded = DecodeStatusRecord(record.data(), record.size());
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->computerName, std::u16string(64, u'Z'));
}

TEST(protocol_StatusRecord, DecoderRefusesEveryOtherSize) {
  std::vector<uint8_t> bytes(kStatusRecordSize + 1, 0);
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, kStatusRecordSize - 1, kStatusRecordSize + 1})
    EXPECT_FALSE(DecodeStatusRecord(bytes.data(), size).has_value()) << size;
  EXPECT_TRUE(DecodeStatusRecord(bytes.data(), kStatusRecordSize).has_value());
}

}  // namespace
}  // namespace vx::management
