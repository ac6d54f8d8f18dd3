// The parent side of the policy (the values the management server owns) as
// plain bytes and flag bytes, and its two conversions to policy entries: the
// digest input, and a policySet that makes a client store it. Shared by the
// client, which stores it, and the server, which sets it and predicts the
// digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "management/protocol/policy_list.h"

namespace vx::management {

// The longest texts the client's fields hold (each is zero-terminated inside
// a field one byte longer; the password field keeps 8 more bytes zero).
inline constexpr std::size_t kMaxParentRuleText = 65535, kMaxParentPassword = 120;

struct ParentPolicy {
  std::string ruleUsb__Parent;
  uint8_t ruleUsb__Lock = 0;
  uint8_t lockCdDvd__Parent = 0;
  uint8_t lockCdDvd__Lock = 0;
  std::string password__Parent;
  uint8_t password__Lock = 0;
  uint8_t lockFloppy__Parent = 0;
  uint8_t lockFloppy__Lock = 0;

  friend bool operator==(const ParentPolicy&, const ParentPolicy&) = default;
};

// The eight entries the digest covers, in the order the client gathers them:
// each text is taken as its field holds it (up to its first zero byte, at most
// kMaxParentRuleText or kMaxParentPassword bytes) with every byte widened with
// its sign (0x80 -> 0xFF80); each flag byte is a signed number (0xFF -> -1).
[[nodiscard]] std::vector<PolicyEntry> DigestEntries(const ParentPolicy& parent);

// The digest of the encoded (sorted) DigestEntries.
[[nodiscard]] uint32_t ParentPolicyDigest(const ParentPolicy& parent);

// The eight entries of a policySet that make a client store `parent`: each
// text byte as the unit of the same value (0x80 -> 0x0080), flags as numbers
// 0..255. Texts go as given; the client ends them at a zero byte and cuts them
// to its limits.
[[nodiscard]] std::vector<PolicyEntry> PolicySetEntries(const ParentPolicy& parent);

// What a client stores from a policySet's entries, in list order, starting
// from `current`:
// - keys are compared byte for byte, case-sensitive; unknown keys are skipped;
// - the kind is not compared with the key: a flag key in an entry other than a
//   number entry stores 0, a text key in an entry other than a text entry
//   stores "";
// - a flag takes the low byte of the number (256 -> 0, 257 -> 1, -1 -> 0xFF);
// - a text takes its units up to its first 0 unit as bytes, cut to 65,535
//   (rule text) or 120 (password) bytes; a text holding a unit above 0x00FF
//   before that end (also past the cut) has no byte form and is skipped
//   whole: its field keeps its value, and the next digest shows the server
//   the difference;
// - a key that occurs twice takes the value of its last entry.
// Pure: it changes nothing itself. The one caller that stores its result is
// the client's policySet handler, acting for the management server (the
// policy's parent); the result belongs in the parent fields and lock flags
// only, never in the effective or inherit fields.
[[nodiscard]] ParentPolicy ApplyPolicyEntries(const std::vector<PolicyEntry>& entries, ParentPolicy current);

}  // namespace vx::management
