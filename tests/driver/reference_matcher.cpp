#include "tests/driver/reference_matcher.h"

namespace vx::test {

namespace {

constexpr int kField = USB_PATTERN_SIZE;

unsigned char Upper(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') ? static_cast<unsigned char>(u - 32) : u;
}

// Characters before the first zero, never more than the field.
int ScanLength(const char* field) {
  int n = 0;
  while (n < kField && field[n] != 0) ++n;
  return n;
}

// For the exact comparison a field without a zero counts as length 0.
int ExactLength(const char* field) {
  const int n = ScanLength(field);
  return n == kField ? 0 : n;
}

}  // namespace

int ReferenceFindNoCase(const char* text, const char* pattern) {
  const int textLength = ScanLength(text);
  const int patternLength = ScanLength(pattern);
  if (textLength == 0) return -1;
  for (int s = 0; s < textLength; ++s) {
    int k = 0;
    while (true) {
      if (k == patternLength) return s;  // reached the pattern's end
      if (s + k >= textLength) break;    // text ended first
      if (Upper(text[s + k]) != Upper(pattern[k])) break;
      ++k;
    }
  }
  return -1;
}

bool ReferenceMatchField(const char* text, const char* pattern, bool exact) {
  if (!exact) return ReferenceFindNoCase(text, pattern) != -1;
  return ReferenceFindNoCase(text, pattern) == 0 && ExactLength(text) == ExactLength(pattern);
}

int ReferenceEvaluateRules(const USB_RULE* rules, unsigned count, const vx::driver::DEVICE_IDENTITY& identity) {
  for (unsigned i = 0; i < count; ++i) {
    const USB_RULE& rule = rules[i];
    const unsigned flags = rule.flags;
    bool matches = true;
    if (matches && (flags & RULE_CHECK_VENDOR))
      matches = ReferenceMatchField(identity.vendor, rule.vendor, flags & RULE_EXACT_VENDOR);
    if (matches && (flags & RULE_CHECK_PRODUCT))
      matches = ReferenceMatchField(identity.product, rule.product, flags & RULE_EXACT_PRODUCT);
    if (matches && (flags & RULE_CHECK_REVISION))
      matches = ReferenceMatchField(identity.revision, rule.revision, flags & RULE_EXACT_REVISION);
    if (matches && (flags & RULE_CHECK_SERIAL))
      matches = ReferenceMatchField(identity.serial, rule.serial, flags & RULE_EXACT_SERIAL);
    if (matches) return rule.action;
  }
  return ACTION_ALLOW;
}

}  // namespace vx::test
