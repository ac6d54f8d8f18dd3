#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <string>

#include "management/protocol/message_catalogue.h"
#include "management/protocol/message_header.h"
#include "management/protocol/status_record.h"

namespace vx::management {
namespace {

using Header = std::array<uint8_t, kHeaderSize>;

struct WorkedHeader {
  const char* message;
  uint16_t type;
  uint32_t length;
  Header bytes;
};

constexpr WorkedHeader kWorkedHeaders[] = {
    {"keep-alive", 1, 0, {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}},
    {"hello", 3, 0, {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03}},
    {"status reply", 5001, 0, {0x89, 0x13, 0x00, 0x00, 0x00, 0x00, 0x9C}},
    {"report notice", 5004, 0, {0x8C, 0x13, 0x00, 0x00, 0x00, 0x00, 0x9F}},
    {"policy digest reply", 5011, 0, {0x93, 0x13, 0x00, 0x00, 0x00, 0x00, 0xA6}},
    {"report rows reply, 300 bytes", 5006, 300, {0x8E, 0x13, 0x2C, 0x01, 0x00, 0x00, 0xCE}},
    // Every byte 0xFF: the sum 1,530 wraps to 0xFA.
    {"largest type and length", 0xFFFF, 0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFA}},
};

TEST(protocol_MessageHeader, WorkedHeadersAreProducedAndAccepted) {
  for (const WorkedHeader& worked : kWorkedHeaders) {
    SCOPED_TRACE(worked.message);
    EXPECT_EQ(EncodeHeader({worked.type, worked.length}), worked.bytes);
    EXPECT_EQ(HeaderChecksum(worked.bytes.data()), worked.bytes[6]);
    const auto decoded = DecodeHeader(worked.bytes.data());
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->type, worked.type);
    EXPECT_EQ(decoded->length, worked.length);
  }
}

TEST(protocol_MessageHeader, ChecksumOffByOneIsRejected) {
  for (const WorkedHeader& worked : kWorkedHeaders) {
    SCOPED_TRACE(worked.message);
    for (int delta : {-1, +1}) {
      Header bytes = worked.bytes;
      bytes[6] = static_cast<uint8_t>(bytes[6] + delta);
      EXPECT_FALSE(DecodeHeader(bytes.data()).has_value()) << "delta " << delta;
    }
  }
}

TEST(protocol_MessageHeader, ChecksumCoversEveryOneOfTheSixBytes) {
  const Header good = EncodeHeader({kReportRowsReply, 300});
  for (std::size_t i = 0; i < 6; ++i) {
    Header changed = good;
    changed[i] ^= 0x10;
    EXPECT_FALSE(DecodeHeader(changed.data()).has_value()) << "byte " << i;
  }
}

struct ExpectedKind {
  uint16_t type;
  const char* name;
  Direction direction;
  uint32_t fixedBodySize;
  LengthField lengthField;
};

constexpr ExpectedKind kExpected[] = {
    {1, "keepAlive", Direction::ClientToServer, 0, LengthField::Zero},
    {3, "hello", Direction::ClientToServer, 16, LengthField::Zero},
    {4, "helloReply", Direction::ServerToClient, 1, LengthField::NotRead},
    {5000, "statusRequest", Direction::ServerToClient, 0, LengthField::NotRead},
    {5001, "statusReply", Direction::ClientToServer, 404, LengthField::Zero},
    {5003, "reportNoticeRequest", Direction::ServerToClient, 0, LengthField::NotRead},
    {5004, "reportNotice", Direction::ClientToServer, 4, LengthField::Zero},
    {5005, "reportRowsRequest", Direction::ServerToClient, 8, LengthField::NotRead},
    {5006, "reportRowsReply", Direction::ClientToServer, 0, LengthField::BodySize},
    {5010, "policyDigestRequest", Direction::ServerToClient, 0, LengthField::NotRead},
    {5011, "policyDigestReply", Direction::ClientToServer, 4, LengthField::Zero},
    {5012, "policySet", Direction::ServerToClient, 0, LengthField::BodySize},
    {5013, "updatePush", Direction::ServerToClient, 0, LengthField::BodySize},
};

TEST(protocol_MessageCatalogue, HoldsEveryTypeOnceWithItsDirectionBodyAndLengthField) {
  const auto catalogue = MessageCatalogue();
  ASSERT_EQ(catalogue.size(), std::size(kExpected));
  std::set<uint16_t> types;
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < catalogue.size(); ++i) {
    const MessageKind& kind = catalogue[i];
    const ExpectedKind& expected = kExpected[i];
    SCOPED_TRACE(expected.name);
    EXPECT_EQ(kind.type, expected.type);
    EXPECT_EQ(kind.name, expected.name);
    EXPECT_EQ(kind.direction, expected.direction);
    EXPECT_EQ(kind.fixedBodySize, expected.fixedBodySize);
    EXPECT_EQ(kind.lengthField, expected.lengthField);
    EXPECT_TRUE(types.insert(kind.type).second);
    EXPECT_TRUE(names.insert(kind.name).second);
    EXPECT_EQ(FindMessage(expected.type), &kind);
    // A variable body is never also fixed; a fixed body travels with length 0
    // or an unread length field.
    if (kind.lengthField == LengthField::BodySize) {
      EXPECT_EQ(kind.fixedBodySize, 0u);
    }
  }
}

TEST(protocol_MessageCatalogue, UnknownTypesAreNotFound) {
  for (uint16_t type : {0, 2, 5, 4242, 4999, 5002, 5007, 5009, 5014, 65535}) {
    EXPECT_EQ(FindMessage(type), nullptr) << type;
  }
}

TEST(protocol_MessageCatalogue, ConstantsAgreeWithTheBodies) {
  EXPECT_EQ(kServerPort, 13911);
  EXPECT_EQ(FindMessage(kHello)->fixedBodySize, kClientIdSize);
  EXPECT_EQ(FindMessage(kStatusReply)->fixedBodySize, kStatusRecordSize);
  EXPECT_EQ(kMaxRowsBlockSize, 131072u);
  EXPECT_EQ(kMaxPolicySetBody, 1048576u);
}

}  // namespace
}  // namespace vx::management
