#include "monitor/usb_inventory.h"

#include <cstring>
#include <memory>

#include "policy/rule_text.h"

namespace vx {
namespace {

constexpr std::u16string_view kDiskMarker = u"USBSTOR\\Disk&";
constexpr std::size_t kMaxText = USB_PATTERN_SIZE - 1;

char ConvertCharacter(char16_t c) { return c == u'_' ? ' ' : static_cast<char>(c & 0xFF); }

// Copies up to the end, an "&" or a "\" into `field`, keeping the first 63
// characters; `i` ends on the stop character.
void CopyPart(std::u16string_view name, std::size_t& i, char (&field)[USB_PATTERN_SIZE]) {
  std::size_t length = 0;
  for (; i < name.size() && name[i] != u'&' && name[i] != u'\\'; ++i)
    if (length < kMaxText) field[length++] = ConvertCharacter(name[i]);
  field[length] = '\0';
}

void SetText(char (&field)[USB_PATTERN_SIZE], const char* text) {
  std::memset(field, 0, sizeof field);
  std::strncpy(field, text, kMaxText);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// A pattern field without a zero is read as 64 characters, never further.
std::string_view Pattern(const char (&field)[USB_PATTERN_SIZE]) { return {field, strnlen(field, sizeof field)}; }

bool FieldMatches(const char (&pattern)[USB_PATTERN_SIZE], const char (&text)[USB_PATTERN_SIZE], bool exact) {
  return exact ? EqualNoCase(Pattern(pattern), Pattern(text)) : IndexOfNoCase(Pattern(text), Pattern(pattern)) >= 0;
}

bool RuleMatches(const USB_RULE& rule, const USB_RULE& disk) {
  const uint32_t flags = rule.flags;
  if ((flags & RULE_CHECK_PRODUCT) && !FieldMatches(rule.product, disk.product, flags & RULE_EXACT_PRODUCT))
    return false;
  if ((flags & RULE_CHECK_SERIAL) && !FieldMatches(rule.serial, disk.serial, flags & RULE_EXACT_SERIAL)) return false;
  if ((flags & RULE_CHECK_VENDOR) && !FieldMatches(rule.vendor, disk.vendor, flags & RULE_EXACT_VENDOR)) return false;
  return true;
}

}  // namespace

USB_RULE ParseUsbStorageName(std::u16string_view name) {
  USB_RULE disk{};
  const std::size_t marker = name.find(kDiskMarker);
  if (marker == std::u16string_view::npos) {
    SetText(disk.vendor, "Generic");
    SetText(disk.product, "USB Disk");
    SetText(disk.revision, "1.0");
    SetText(disk.serial, "1");
    return disk;
  }
  std::size_t i = marker + kDiskMarker.size();
  while (i < name.size()) {
    const std::u16string_view rest = name.substr(i);
    if (name[i] == u'\\') {
      ++i;
      CopyPart(name, i, disk.serial);
      break;
    }
    char(*field)[USB_PATTERN_SIZE] = nullptr;
    if (rest.starts_with(u"Ven_")) {
      field = &disk.vendor;
      i += 4;
    } else if (rest.starts_with(u"Prod_")) {
      field = &disk.product;
      i += 5;
    } else if (rest.starts_with(u"Rev_")) {
      field = &disk.revision;
      i += 4;
    }
    if (!field) {
      ++i;
      continue;
    }
    CopyPart(name, i, *field);
    if (i < name.size() && name[i] == u'&') ++i;
  }
  return disk;
}

std::vector<USB_RULE> EnumerateUsbStorage(UsbStorageSource& source) {
  std::vector<USB_RULE> disks;
  for (const auto& name : source.PresentDiskKeyNames()) disks.push_back(ParseUsbStorageName(name));
  return disks;
}

int IndexOfNoCase(std::string_view text, std::string_view pattern) {
  if (pattern.size() > text.size()) return -1;
  for (std::size_t start = 0; start + pattern.size() <= text.size(); ++start)
    if (EqualNoCase(text.substr(start, pattern.size()), pattern)) return static_cast<int>(start);
  return -1;
}

int32_t DecideDeviceAction(const USB_RULE& disk, std::string_view ruleText) {
  std::size_t count = RuleCountOf(ruleText);
  if (count > USB_MAX_RULES) count = USB_MAX_RULES;  // the decoding buffer holds 128 rules
  auto rules = std::make_unique<USB_RULE[]>(count ? count : 1);
  HexToRules(ruleText, rules.get(), count * sizeof(USB_RULE));
  for (std::size_t r = 0; r < count; ++r)
    if (RuleMatches(rules[r], disk)) return rules[r].action;
  return ACTION_ALLOW;
}

bool SameDisk(const USB_RULE& a, const USB_RULE& b) {
  return Pattern(a.product) == Pattern(b.product) && Pattern(a.revision) == Pattern(b.revision) &&
         Pattern(a.serial) == Pattern(b.serial) && Pattern(a.vendor) == Pattern(b.vendor);
}

}  // namespace vx
