// AES-128-GCM sealing of the policy record: 131,344 bytes of ciphertext
// followed by the 16-byte tag, under a key and nonce fixed in the program.
// The same record always seals to the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "policy/policy_state.h"

namespace vx {

inline constexpr std::size_t kPolicyKeySize = 16;
inline constexpr std::size_t kPolicyNonceSize = 12;
inline constexpr std::size_t kPolicyTagSize = 16;
inline constexpr std::size_t kPolicyFileSize = kPolicyStateSize + kPolicyTagSize;  // 131,360

using SealedPolicy = std::array<uint8_t, kPolicyFileSize>;

// The fixed key and nonce, each assembled where it is needed (on the stack)
// from four 32-bit words, little-endian; the nonce is the first 12 of its 16
// bytes. They are part of the file format: changing either makes every
// existing policy file unreadable. Wiped again when the object ends.
struct PolicyCipherKey {
  PolicyCipherKey();
  ~PolicyCipherKey();
  PolicyCipherKey(const PolicyCipherKey&) = delete;
  PolicyCipherKey& operator=(const PolicyCipherKey&) = delete;

  uint8_t key[kPolicyKeySize];
  uint8_t nonce[16];  // the first kPolicyNonceSize bytes are used
};

void SealPolicy(const PolicyState& state, SealedPolicy& out);

// Seals any plaintext the same way: ciphertext of the same length followed
// by the tag. SealPolicy is this over one record.
[[nodiscard]] std::vector<uint8_t> SealBytes(std::span<const uint8_t> plaintext);

// Authenticates and decrypts `sealed` (ciphertext followed by its tag) into
// `out`. False when the tag does not verify, the input is shorter than a tag,
// or the plaintext is not exactly one record; `out` is then untouched.
[[nodiscard]] bool OpenSealedPolicy(std::span<const uint8_t> sealed, PolicyState& out);

}  // namespace vx
