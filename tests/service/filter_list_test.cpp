#include "service/filter_list.h"

#include <gtest/gtest.h>

namespace vx {
namespace {

std::vector<uint8_t> Bytes(std::u16string_view units) {
  std::vector<uint8_t> bytes;
  for (char16_t u : units) {
    bytes.push_back(static_cast<uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  }
  return bytes;
}

using Entries = std::vector<std::u16string>;

TEST(FilterList, ReadsOnlyTheBytesReturned) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    Entries entries;
  };
  std::vector<uint8_t> odd = Bytes(u"PartMgr\0");
  odd.push_back('X');
  const std::vector<Case> cases = {
      {"zero bytes", {}, {}},
      {"empty list", Bytes(std::u16string(1, u'\0')), {}},
      {"one entry", Bytes(std::u16string(u"PartMgr\0\0", 9)), {u"PartMgr"}},
      {"two entries", Bytes(std::u16string(u"PartMgr\0VXDevFltr\0\0", 19)), {u"PartMgr", u"VXDevFltr"}},
      {"no closing zero", Bytes(std::u16string(u"PartMgr\0", 8)), {u"PartMgr"}},
      {"no zero at all", Bytes(u"PartMgr"), {u"PartMgr"}},
      {"trailing odd byte", odd, {u"PartMgr"}},
      {"an empty entry ends the list", Bytes(std::u16string(u"A\0\0B\0\0", 6)), {u"A"}},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseMultiString(c.bytes), c.entries) << c.what;
}

TEST(FilterList, WritesOneZeroAfterEachEntryAndOneClosingZero) {
  EXPECT_EQ(FormatMultiString({}), Bytes(std::u16string(1, u'\0')));
  EXPECT_EQ(FormatMultiString({u"PartMgr", u"VXDevFltr"}), Bytes(std::u16string(u"PartMgr\0VXDevFltr\0\0", 19)));
}

// Entries are service names, which the platform compares without regard to
// letter case: "vxdevfltr" is the filter already (regression: install added
// a second entry, which stacked the filter twice on every disk, and removal
// left the other spellings behind).
TEST(FilterList, AddsTheEntryOnceAndRemovesItInAnyLetterCase) {
  EXPECT_EQ(WithFilterEntry({u"PartMgr"}, kFilterServiceName), (Entries{u"PartMgr", u"VXDevFltr"}));
  EXPECT_EQ(WithFilterEntry({}, kFilterServiceName), (Entries{u"VXDevFltr"}));
  EXPECT_EQ(WithFilterEntry({u"VXDevFltr", u"PartMgr"}, kFilterServiceName), (Entries{u"VXDevFltr", u"PartMgr"}));
  EXPECT_EQ(WithFilterEntry({u"vxdevfltr"}, kFilterServiceName), Entries{u"vxdevfltr"});
  EXPECT_EQ(WithFilterEntry({u"PartMgr", u"VXDEVFLTR"}, kFilterServiceName), (Entries{u"PartMgr", u"VXDEVFLTR"}));
  // Other names, however close, are other services.
  EXPECT_EQ(WithFilterEntry({u"VXDevFltr2"}, kFilterServiceName), (Entries{u"VXDevFltr2", u"VXDevFltr"}));

  EXPECT_EQ(
      WithoutFilterEntry({u"VXDevFltr", u"PartMgr", u"VXDevFltr", u"vxdevfltr", u"VxDeVfLtR"}, kFilterServiceName),
      Entries{u"PartMgr"});
  EXPECT_EQ(WithoutFilterEntry({u"VXDevFltr"}, kFilterServiceName), Entries{});
  EXPECT_EQ(WithoutFilterEntry({u"VXDevFlt", u"VXDevFltr2"}, kFilterServiceName),
            (Entries{u"VXDevFlt", u"VXDevFltr2"}));
  EXPECT_EQ(FormatMultiString(WithoutFilterEntry({u"VXDevFltr"}, kFilterServiceName)).size(), 2u);
}

TEST(FilterList, ServiceNamesCompareWithoutLetterCase) {
  const struct {
    std::u16string a, b;
    bool same;
  } cases[] = {
      {u"VXDevFltr", u"VXDevFltr", true},
      {u"VXDevFltr", u"vxdevfltr", true},
      {u"PartMgr", u"PARTMGR", true},
      {u"VXDevFltr", u"VXDevFltr ", false},
      {u"VXDevFltr", u"VXDevFlt", false},
      {u"VXDevFltr", u"\uFF36XDevFltr", false},  // a fullwidth letter is another character
      {u"[", u"{", false},                       // not letters: no folding
      {u"", u"", true},
  };
  for (const auto& c : cases) EXPECT_EQ(SameServiceName(c.a, c.b), c.same);
}

}  // namespace
}  // namespace vx
