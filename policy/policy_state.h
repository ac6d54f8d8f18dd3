// The one record of all policy values. Its bytes are the plaintext of the
// policy file, so its layout is a file format: every offset is fixed and
// checked below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vx {

inline constexpr std::size_t kRuleTextSize = 65536;  // 65,535 characters and a zero
inline constexpr std::size_t kPasswordSize = 128;    // 127 characters and a zero
inline constexpr std::size_t kMaxPasswordLength = kPasswordSize - 1;
inline constexpr std::size_t kMaxParentPasswordLength = 120;

struct PolicyState {
  char ruleUsb[kRuleTextSize];
  uint8_t ruleUsb__Inherit;
  char ruleUsb__Parent[kRuleTextSize];
  uint8_t ruleUsb__Lock;
  uint8_t lockCdDvd;
  uint8_t lockCdDvd__Inherit;
  uint8_t lockCdDvd__Parent;
  uint8_t lockCdDvd__Lock;
  uint8_t lockFloppy;
  uint8_t lockFloppy__Inherit;
  uint8_t lockFloppy__Parent;
  uint8_t lockFloppy__Lock;
  char password[kPasswordSize];
  uint8_t password__Inherit;
  char password__Parent[kPasswordSize];
  uint8_t password__Lock;
  uint32_t statusWord;
};

inline constexpr std::size_t kPolicyStateSize = 131344;

static_assert(sizeof(PolicyState) == kPolicyStateSize);
static_assert(offsetof(PolicyState, ruleUsb) == 0);
static_assert(offsetof(PolicyState, ruleUsb__Inherit) == 65536);
static_assert(offsetof(PolicyState, ruleUsb__Parent) == 65537);
static_assert(offsetof(PolicyState, ruleUsb__Lock) == 131073);
static_assert(offsetof(PolicyState, lockCdDvd) == 131074);
static_assert(offsetof(PolicyState, lockCdDvd__Inherit) == 131075);
static_assert(offsetof(PolicyState, lockCdDvd__Parent) == 131076);
static_assert(offsetof(PolicyState, lockCdDvd__Lock) == 131077);
static_assert(offsetof(PolicyState, lockFloppy) == 131078);
static_assert(offsetof(PolicyState, lockFloppy__Inherit) == 131079);
static_assert(offsetof(PolicyState, lockFloppy__Parent) == 131080);
static_assert(offsetof(PolicyState, lockFloppy__Lock) == 131081);
static_assert(offsetof(PolicyState, password) == 131082);
static_assert(offsetof(PolicyState, password__Inherit) == 131210);
static_assert(offsetof(PolicyState, password__Parent) == 131211);
static_assert(offsetof(PolicyState, password__Lock) == 131339);
static_assert(offsetof(PolicyState, statusWord) == 131340);

// Length of a zero-terminated text field, never reading past the field. A
// field without a zero counts as holding all but its last byte, which is
// where its terminator belongs.
template <std::size_t N>
std::string_view FieldText(const char (&field)[N]) {
  std::size_t length = 0;
  while (length < N - 1 && field[length] != '\0') ++length;
  return {field, length};
}

// Stores `text` in a fixed field, cut to fit with its terminator, and zeroes
// the rest of the field so that equal values always give equal bytes.
template <std::size_t N>
void StoreFieldText(char (&field)[N], std::string_view text) {
  std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
  for (std::size_t i = 0; i < length; ++i) field[i] = text[i];
  for (std::size_t i = length; i < N; ++i) field[i] = '\0';
}

// The default policy: every USB disk allowed through one allow-all parent
// rule, optical and floppy drives locked through their parent values, an
// empty password; every item follows its parent and none is locked.
// Overwrites the whole record, starting from all zero bytes.
void BuildDefaultPolicy(PolicyState& state);

// Makes effective values follow the parent wherever an item is locked by the
// parent or set to inherit from it. Leaves `policyChanged` to the caller.
void CopyParentValues(PolicyState& state);

}  // namespace vx
