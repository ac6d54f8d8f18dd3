// The policy list: key/value entries as they travel in a policySet body and
// as the input of the policy digest, and the digest itself.
//
// Encoding (little-endian, no gaps): a 32-bit entry count, then each entry as
//   key length (32 bits), key bytes (no terminator), kind (32 bits), then
//   kind 1: the number (signed 32 bits);
//   kind 2: the text length in bytes (32 bits, twice the units), the UTF-16 units;
//   any other kind: nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vx::management {

inline constexpr uint32_t kNumberEntry = 1, kTextEntry = 2;

struct PolicyEntry {
  std::string key;      // bytes of the key (a decoded key ends at its first zero byte)
  uint32_t kind = 0;    // kNumberEntry, kTextEntry, or anything else from a peer
  int32_t number = 0;   // kind 1 only, else 0
  std::u16string text;  // kind 2 only, else empty (decoded: n/2 units or up to the first 0 unit)

  friend bool operator==(const PolicyEntry&, const PolicyEntry&) = default;
};

// Sorts by key (unsigned bytes, shorter prefix first; entries with the same
// key keep their order), then encodes, so the bytes and the digest depend only
// on the values, not on the order the entries were gathered in.
// Each key and text must be shorter than 2^31 bytes (a policySet body is far
// smaller). A kind 1 entry carries only its number, a kind 2 entry only its
// text, any other kind neither.
[[nodiscard]] std::vector<uint8_t> EncodePolicyList(std::vector<PolicyEntry> entries);

// The same encoding with the entries in the order given, for a peer that must
// control the order (a policySet's last duplicate wins) and for checking what
// a decoder read.
[[nodiscard]] std::vector<uint8_t> EncodePolicyListInOrder(std::span<const PolicyEntry> entries);

struct DecodedPolicyList {
  std::vector<PolicyEntry> entries;  // the entries in the order they stand
  // false when the counted entries run past the body's end (or the body is
  // too short to hold its count); `entries` then holds those read in full.
  bool complete = true;
};

// Never reads past `size` bytes, whatever the count and lengths claim;
// allocates in proportion to the body, not to what a count claims. Bytes
// after the counted entries are not looked at.
[[nodiscard]] DecodedPolicyList DecodePolicyList(const uint8_t* bytes, std::size_t size);

// CRC-32, polynomial 0x04C11DB7 MSB first, initial register 0x04C11DB7, no
// reflection, no final xor.
[[nodiscard]] uint32_t PolicyDigest(const uint8_t* bytes, std::size_t size);

}  // namespace vx::management
