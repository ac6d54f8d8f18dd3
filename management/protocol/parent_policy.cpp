#include "management/protocol/parent_policy.h"

#include <algorithm>
#include <optional>
#include <string_view>

namespace vx::management {
namespace {

// The text as the client's field holds it: up to the first zero byte, cut to
// the field's limit.
std::string_view FieldText(const std::string& text, std::size_t limit) {
  std::string_view view(text);
  view = view.substr(0, std::min(view.find('\0'), limit));
  return view;
}

PolicyEntry NumberEntry(const char* key, int32_t number) { return {key, kNumberEntry, number, {}}; }

PolicyEntry TextEntry(const char* key, std::u16string text) { return {key, kTextEntry, 0, std::move(text)}; }

// Digest input: a byte is widened as the signed char it is in the field.
std::u16string WidenWithSign(std::string_view bytes) {
  std::u16string units(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i)
    units[i] = static_cast<char16_t>(static_cast<int16_t>(static_cast<int8_t>(bytes[i])));
  return units;
}

int32_t SignedFlag(uint8_t flag) { return static_cast<int8_t>(flag); }

// policySet: a byte is the unit of the same value.
std::u16string WidenUnsigned(std::string_view bytes) {
  std::u16string units(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) units[i] = static_cast<unsigned char>(bytes[i]);
  return units;
}

// The bytes a text entry stores, or nullopt when the entry is skipped.
std::optional<std::string> StoredText(const PolicyEntry& entry, std::size_t limit) {
  if (entry.kind != kTextEntry) return std::string();
  const std::u16string_view text(entry.text);
  const std::u16string_view content = text.substr(0, text.find(u'\0'));
  if (std::any_of(content.begin(), content.end(), [](char16_t unit) { return unit > 0x00FF; })) return std::nullopt;
  const std::u16string_view kept = content.substr(0, limit);
  std::string bytes(kept.size(), '\0');
  for (std::size_t i = 0; i < kept.size(); ++i) bytes[i] = static_cast<char>(static_cast<unsigned char>(kept[i]));
  return bytes;
}

uint8_t StoredFlag(const PolicyEntry& entry) {
  return entry.kind == kNumberEntry ? static_cast<uint8_t>(entry.number & 0xFF) : 0;
}

}  // namespace

std::vector<PolicyEntry> DigestEntries(const ParentPolicy& parent) {
  return {
      TextEntry("ruleUsb__Parent", WidenWithSign(FieldText(parent.ruleUsb__Parent, kMaxParentRuleText))),
      NumberEntry("ruleUsb__Lock", SignedFlag(parent.ruleUsb__Lock)),
      NumberEntry("lockCdDvd__Parent", SignedFlag(parent.lockCdDvd__Parent)),
      NumberEntry("lockCdDvd__Lock", SignedFlag(parent.lockCdDvd__Lock)),
      TextEntry("password__Parent", WidenWithSign(FieldText(parent.password__Parent, kMaxParentPassword))),
      NumberEntry("password__Lock", SignedFlag(parent.password__Lock)),
      NumberEntry("lockFloppy__Parent", SignedFlag(parent.lockFloppy__Parent)),
      NumberEntry("lockFloppy__Lock", SignedFlag(parent.lockFloppy__Lock)),
  };
}

uint32_t ParentPolicyDigest(const ParentPolicy& parent) {
  const std::vector<uint8_t> encoded = EncodePolicyList(DigestEntries(parent));
  return PolicyDigest(encoded.data(), encoded.size());
}

std::vector<PolicyEntry> PolicySetEntries(const ParentPolicy& parent) {
  return {
      TextEntry("ruleUsb__Parent", WidenUnsigned(parent.ruleUsb__Parent)),
      NumberEntry("ruleUsb__Lock", parent.ruleUsb__Lock),
      NumberEntry("lockCdDvd__Parent", parent.lockCdDvd__Parent),
      NumberEntry("lockCdDvd__Lock", parent.lockCdDvd__Lock),
      TextEntry("password__Parent", WidenUnsigned(parent.password__Parent)),
      NumberEntry("password__Lock", parent.password__Lock),
      NumberEntry("lockFloppy__Parent", parent.lockFloppy__Parent),
      NumberEntry("lockFloppy__Lock", parent.lockFloppy__Lock),
  };
}

ParentPolicy ApplyPolicyEntries(const std::vector<PolicyEntry>& entries, ParentPolicy current) {
  struct FlagField {
    std::string_view key;
    uint8_t ParentPolicy::*field;
  };
  static constexpr FlagField kFlags[] = {
      {"ruleUsb__Lock", &ParentPolicy::ruleUsb__Lock},
      {"lockCdDvd__Parent", &ParentPolicy::lockCdDvd__Parent},
      {"lockCdDvd__Lock", &ParentPolicy::lockCdDvd__Lock},
      {"password__Lock", &ParentPolicy::password__Lock},
      {"lockFloppy__Parent", &ParentPolicy::lockFloppy__Parent},
      {"lockFloppy__Lock", &ParentPolicy::lockFloppy__Lock},
  };
  struct TextField {
    std::string_view key;
    std::string ParentPolicy::*field;
    std::size_t limit;
  };
  static const TextField kTexts[] = {
      {"ruleUsb__Parent", &ParentPolicy::ruleUsb__Parent, kMaxParentRuleText},
      {"password__Parent", &ParentPolicy::password__Parent, kMaxParentPassword},
  };

  for (const PolicyEntry& entry : entries) {
    for (const FlagField& flag : kFlags) {
      if (entry.key == flag.key) current.*flag.field = StoredFlag(entry);
    }
    for (const TextField& text : kTexts) {
      if (entry.key != text.key) continue;
      if (std::optional<std::string> stored = StoredText(entry, text.limit)) current.*text.field = std::move(*stored);
    }
  }
  return current;
}

}  // namespace vx::management
