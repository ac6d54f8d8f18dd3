#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "management/protocol/policy_list.h"
#include "tests/management/protocol_test_bytes.h"

namespace vx::management {
namespace {

using test::Bytes;

uint32_t DigestOf(std::string_view text) {
  return PolicyDigest(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

uint32_t DigestOf(const std::vector<uint8_t>& bytes) { return PolicyDigest(bytes.data(), bytes.size()); }

TEST(protocol_PolicyDigest, CheckValues) {
  EXPECT_EQ(PolicyDigest(nullptr, 0), 0x04C11DB7u);
  EXPECT_EQ(DigestOf("abc"), 0xF07AA33Bu);
  EXPECT_EQ(DigestOf("123456789"), 0x09312918u);
}

// The allow-all rule as text: 528 digits, all "0" but the 522nd, "3".
std::u16string AllowAllRuleText() {
  std::u16string text(528, u'0');
  text[521] = u'3';
  return text;
}

PolicyEntry Number(std::string key, int32_t number) { return {std::move(key), kNumberEntry, number, {}}; }
PolicyEntry Text(std::string key, std::u16string text) { return {std::move(key), kTextEntry, 0, std::move(text)}; }

// The eight digest entries as the client gathers them.
std::vector<PolicyEntry> EightEntries(std::u16string rule, int32_t cdDvdParent, int32_t floppyParent) {
  return {Text("ruleUsb__Parent", std::move(rule)),
          Number("ruleUsb__Lock", 0),
          Number("lockCdDvd__Parent", cdDvdParent),
          Number("lockCdDvd__Lock", 0),
          Text("password__Parent", u""),
          Number("password__Lock", 0),
          Number("lockFloppy__Parent", floppyParent),
          Number("lockFloppy__Lock", 0)};
}

TEST(protocol_PolicyList, OneNumberEntryExample) {
  const std::vector<uint8_t> expected = {0x01, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x72, 0x75,
                                         0x6C, 0x65, 0x55, 0x73, 0x62, 0x5F, 0x5F, 0x4C, 0x6F, 0x63,
                                         0x6B, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
  ASSERT_EQ(expected.size(), 29u);
  EXPECT_EQ(EncodePolicyList({Number("ruleUsb__Lock", 1)}), expected);
  const DecodedPolicyList decoded = DecodePolicyList(expected.data(), expected.size());
  EXPECT_TRUE(decoded.complete);
  EXPECT_EQ(decoded.entries, std::vector<PolicyEntry>{Number("ruleUsb__Lock", 1)});
}

TEST(protocol_PolicyList, OneTextEntryExample) {
  const std::vector<uint8_t> expected = {0x01, 0x00, 0x00, 0x00, 0x0F, 0x00, 0x00, 0x00, 0x72, 0x75, 0x6C, 0x65,
                                         0x55, 0x73, 0x62, 0x5F, 0x5F, 0x50, 0x61, 0x72, 0x65, 0x6E, 0x74, 0x02,
                                         0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x30, 0x00, 0x41, 0x00};
  ASSERT_EQ(expected.size(), 35u);
  EXPECT_EQ(EncodePolicyList({Text("ruleUsb__Parent", u"0A")}), expected);
  const DecodedPolicyList decoded = DecodePolicyList(expected.data(), expected.size());
  EXPECT_TRUE(decoded.complete);
  EXPECT_EQ(decoded.entries, std::vector<PolicyEntry>{Text("ruleUsb__Parent", u"0A")});
}

struct WorkedList {
  const char* name;
  std::vector<PolicyEntry> entries;
  std::size_t size;
  uint32_t digest;
};

std::vector<WorkedList> WorkedLists() {
  return {{"numbers 0, texts empty", EightEntries(u"", 0, 0), 224, 0x3F0E87D6},
          {"default policy", EightEntries(AllowAllRuleText(), 1, 1), 1280, 0xBE9BB610}};
}

TEST(protocol_PolicyList, WorkedListsHaveTheirSizeAndDigest) {
  for (const WorkedList& list : WorkedLists()) {
    SCOPED_TRACE(list.name);
    const std::vector<uint8_t> encoded = EncodePolicyList(list.entries);
    EXPECT_EQ(encoded.size(), list.size);
    EXPECT_EQ(DigestOf(encoded), list.digest);
    // The keys stand sorted by their bytes.
    const DecodedPolicyList decoded = DecodePolicyList(encoded.data(), encoded.size());
    ASSERT_TRUE(decoded.complete);
    std::vector<std::string> keys;
    for (const PolicyEntry& entry : decoded.entries) keys.push_back(entry.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"lockCdDvd__Lock", "lockCdDvd__Parent", "lockFloppy__Lock",
                                              "lockFloppy__Parent", "password__Lock", "password__Parent",
                                              "ruleUsb__Lock", "ruleUsb__Parent"}));
  }
}

TEST(protocol_PolicyList, EveryGatheringOrderGivesTheSameBytes) {
  for (const WorkedList& list : WorkedLists()) {
    SCOPED_TRACE(list.name);
    const std::vector<uint8_t> expected = EncodePolicyList(list.entries);
    std::vector<std::size_t> order(list.entries.size());
    std::iota(order.begin(), order.end(), 0);
    int permutations = 0;
    do {
      std::vector<PolicyEntry> gathered;
      for (std::size_t i : order) gathered.push_back(list.entries[i]);
      const std::vector<uint8_t> encoded = EncodePolicyList(std::move(gathered));
      if (encoded != expected) {
        ADD_FAILURE() << "permutation " << permutations << " encodes differently";
        break;
      }
      ++permutations;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(permutations, 40320);
  }
}

TEST(protocol_PolicyList, SortsByUnsignedBytesWithThePrefixFirst) {
  const std::vector<PolicyEntry> gathered = {Number("b", 1), Number("\x80", 2), Number("ab", 3),
                                             Number("a", 4), Number("B", 5),    Number("", 6)};
  const std::vector<uint8_t> encoded = EncodePolicyList(gathered);
  const DecodedPolicyList decoded = DecodePolicyList(encoded.data(), encoded.size());
  std::vector<std::string> keys;
  for (const PolicyEntry& entry : decoded.entries) keys.push_back(entry.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"", "B", "a", "ab", "b", "\x80"}));
}

TEST(protocol_PolicyList, InOrderEncodingKeepsTheOrderAndDuplicates) {
  const std::vector<PolicyEntry> entries = {Number("z", 1), Number("a", 2), Number("z", 3)};
  const std::vector<uint8_t> encoded = EncodePolicyListInOrder(entries);
  EXPECT_EQ(encoded, Bytes().U32(3).NumberEntry("z", 1).NumberEntry("a", 2).NumberEntry("z", 3).Get());
  // Sorting keeps duplicates in the order they were gathered.
  const std::vector<uint8_t> sorted = EncodePolicyList(entries);
  EXPECT_EQ(sorted, Bytes().U32(3).NumberEntry("a", 2).NumberEntry("z", 1).NumberEntry("z", 3).Get());
}

TEST(protocol_PolicyList, OtherKindsCarryNoValueAndTextsGoAsLittleEndianUnits) {
  const std::vector<PolicyEntry> entries = {
      {"k", 7, 99, u"ignored"}, {"n", kNumberEntry, -2, u"ignored"}, {"t", kTextEntry, 99, u"\u263A\u00E9"}};
  EXPECT_EQ(EncodePolicyListInOrder(entries), Bytes()
                                                  .U32(3)
                                                  .KeyAndKind("k", 7)
                                                  .KeyAndKind("n", 1)
                                                  .Raw({0xFE, 0xFF, 0xFF, 0xFF})
                                                  .KeyAndKind("t", 2)
                                                  .U32(4)
                                                  .Raw({0x3A, 0x26, 0xE9, 0x00})
                                                  .Get());
  EXPECT_EQ(EncodePolicyList({}), Bytes().U32(0).Get());
}

struct DecodeCase {
  const char* name;
  std::vector<uint8_t> body;
  std::vector<PolicyEntry> entries;
  bool complete;
};

std::vector<DecodeCase> DecodeCases() {
  const PolicyEntry after = Number("after", 5);
  return {
      {"empty list", Bytes().U32(0), {}, true},
      {"no bytes at all", {}, {}, false},
      {"count cut short", Bytes().Raw({0x01, 0x00, 0x00}), {}, false},
      {"bytes after the counted entries are not read",
       Bytes().U32(1).NumberEntry("a", 1).Raw({0xFF, 0xFF}),
       {Number("a", 1)},
       true},
      {"kind 0 reads no value",
       Bytes().U32(2).KeyAndKind("lockCdDvd__Lock", 0).NumberEntry("after", 5),
       {{"lockCdDvd__Lock", 0, 0, u""}, after},
       true},
      {"kind 3 reads no value",
       Bytes().U32(2).KeyAndKind("k", 3).NumberEntry("after", 5),
       {{"k", 3, 0, u""}, after},
       true},
      {"kind 0xFFFFFFFF reads no value",
       Bytes().U32(2).KeyAndKind("k", 0xFFFFFFFF).NumberEntry("after", 5),
       {{"k", 0xFFFFFFFF, 0, u""}, after},
       true},
      {"empty key", Bytes().U32(1).NumberEntry("", 9), {Number("", 9)}, true},
      {"key ends at its first zero byte",
       Bytes().U32(2).NumberEntry(std::string_view("ab\0cd", 5), 7).NumberEntry("after", 5),
       {Number("ab", 7), after},
       true},
      {"key that starts with a zero byte",
       Bytes().U32(1).NumberEntry(std::string_view("\0x", 2), 7),
       {Number("", 7)},
       true},
      {"negative number", Bytes().U32(1).NumberEntry("n", -1), {Number("n", -1)}, true},
      {"text ends at its first 0 unit",
       Bytes().U32(2).TextEntry("t", std::u16string_view(u"a\0bc", 4)).NumberEntry("after", 5),
       {Text("t", u"a"), after},
       true},
      {"text that starts with a 0 unit",
       Bytes().U32(1).TextEntry("t", std::u16string_view(u"\0a", 2)),
       {Text("t", u"")},
       true},
      {"odd text length drops the last byte",
       Bytes().U32(2).KeyAndKind("t", 2).U32(5).Units(u"ab").Raw({0x63}).NumberEntry("after", 5),
       {Text("t", u"ab"), after},
       true},
      {"text length 1 is an empty text",
       Bytes().U32(2).KeyAndKind("t", 2).U32(1).Raw({0x41}).NumberEntry("after", 5),
       {Text("t", u""), after},
       true},
      {"units above 0x00FF are decoded as they are",
       Bytes().U32(1).TextEntry("t", u"\u263A\uFFFF"),
       {Text("t", u"\u263A\uFFFF")},
       true},
      {"count claims more entries than the body holds", Bytes().U32(3).NumberEntry("a", 1), {Number("a", 1)}, false},
      {"huge count", Bytes().U32(0xFFFFFFFF).NumberEntry("a", 1), {Number("a", 1)}, false},
      {"huge count, nothing after it", Bytes().U32(0xFFFFFFFF), {}, false},
      {"key length cut short", Bytes().U32(1).Raw({0x01, 0x00}), {}, false},
      {"key length past the end", Bytes().U32(1).U32(6).Raw("abc"), {}, false},
      {"key length 2^32 - 1", Bytes().U32(1).U32(0xFFFFFFFF).Raw("abcdefgh"), {}, false},
      {"key length 2^32 - 4", Bytes().U32(1).U32(0xFFFFFFFC).Raw("abcdefgh"), {}, false},
      {"kind missing", Bytes().U32(2).NumberEntry("a", 1).U32(1).Raw("k"), {Number("a", 1)}, false},
      {"number cut short", Bytes().U32(1).KeyAndKind("n", 1).Raw({0x01, 0x00}), {}, false},
      {"text length missing", Bytes().U32(1).KeyAndKind("t", 2), {}, false},
      {"text length past the end", Bytes().U32(1).KeyAndKind("t", 2).U32(8).Units(u"ab"), {}, false},
      {"text length 2^32 - 1", Bytes().U32(1).KeyAndKind("t", 2).U32(0xFFFFFFFF).Units(u"abcd"), {}, false},
      {"text length 2^32 - 2", Bytes().U32(1).KeyAndKind("t", 2).U32(0xFFFFFFFE).Units(u"abcd"), {}, false},
  };
}

TEST(protocol_PolicyList, DecoderCases) {
  for (const DecodeCase& c : DecodeCases()) {
    SCOPED_TRACE(c.name);
    // An exact-size copy: reading past it is a sanitizer error.
    const std::vector<uint8_t> body = c.body;
    const DecodedPolicyList decoded = DecodePolicyList(body.empty() ? nullptr : body.data(), body.size());
    EXPECT_EQ(decoded.complete, c.complete);
    EXPECT_EQ(decoded.entries, c.entries);
    // Storage in proportion to the body: an entry takes at least 8 bytes.
    EXPECT_LE(decoded.entries.capacity(), std::max<std::size_t>(body.size() / 8, 1));
  }
}

// Every prefix of a list is decoded from the whole buffer with a shorter
// size: a decoder that looked past `size` would find the rest of the entry.
TEST(protocol_PolicyList, EveryTruncationIsIncompleteAndKeepsOnlyWholeEntries) {
  const std::vector<PolicyEntry> entries = {Text("password__Parent", u"secret"),
                                            Number("ruleUsb__Lock", 1),
                                            {"odd", 9, 0, u""},
                                            Text("ruleUsb__Parent", u"0A")};
  const std::vector<uint8_t> encoded = EncodePolicyListInOrder(entries);
  for (std::size_t size = 0; size < encoded.size(); ++size) {
    const DecodedPolicyList decoded = DecodePolicyList(encoded.data(), size);
    EXPECT_FALSE(decoded.complete) << size;
    ASSERT_LT(decoded.entries.size(), entries.size()) << size;
    EXPECT_TRUE(std::equal(decoded.entries.begin(), decoded.entries.end(), entries.begin())) << size;
  }
  const DecodedPolicyList whole = DecodePolicyList(encoded.data(), encoded.size());
  EXPECT_TRUE(whole.complete);
  EXPECT_EQ(whole.entries, entries);
}

TEST(protocol_PolicyList, RandomListsRoundTrip) {
  std::mt19937 random(11);
  for (int round = 0; round < 200; ++round) {
    std::vector<PolicyEntry> entries(random() % 6);
    for (PolicyEntry& entry : entries) {
      // Keys without zero bytes and texts without 0 units come back as sent.
      entry.key.resize(random() % 20);
      for (char& c : entry.key) c = static_cast<char>(1 + random() % 255);
      entry.kind = random() % 3 + 1;  // 1, 2 and the value-less 3
      if (entry.kind == kNumberEntry) entry.number = static_cast<int32_t>(random());
      if (entry.kind == kTextEntry) {
        entry.text.resize(random() % 40);
        for (char16_t& unit : entry.text) unit = static_cast<char16_t>(1 + random() % 0xFFFF);
      }
    }
    const std::vector<uint8_t> encoded = EncodePolicyListInOrder(entries);
    const DecodedPolicyList decoded = DecodePolicyList(encoded.data(), encoded.size());
    ASSERT_TRUE(decoded.complete);
    ASSERT_EQ(decoded.entries, entries) << "round " << round;
  }
}

}  // namespace
}  // namespace vx::management
