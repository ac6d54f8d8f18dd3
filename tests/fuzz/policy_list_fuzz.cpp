// Any policySet body: the decoder stays inside the body (ASan checks the
// exact-size input), reserves no more than the body can hold, and yields
// entries whose re-encoding is canonical: no longer than the input, decoded
// back to the same entries, unchanged when encoded again, with every cut of it
// incomplete and every tail after it unread. The client's storing rules keep
// each parent text within its field.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "management/protocol/parent_policy.h"
#include "management/protocol/policy_list.h"

namespace {

using vx::management::DecodedPolicyList;
using vx::management::PolicyEntry;

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckEntryShape(const PolicyEntry& entry) {
  Check(entry.key.find('\0') == std::string::npos);
  if (entry.kind != vx::management::kNumberEntry) Check(entry.number == 0);
  if (entry.kind != vx::management::kTextEntry) Check(entry.text.empty());
  Check(entry.text.find(u'\0') == std::u16string::npos);
}

DecodedPolicyList Decode(const std::vector<uint8_t>& bytes, std::size_t size) {
  // An exact-size copy of the first `size` bytes, so a read past them is seen.
  std::vector<uint8_t> copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
  return vx::management::DecodePolicyList(copy.empty() ? nullptr : copy.data(), copy.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const DecodedPolicyList decoded = vx::management::DecodePolicyList(size ? data : nullptr, size);
  // Each entry takes at least 8 bytes after the 4-byte count.
  Check(decoded.entries.size() <= (size >= 4 ? (size - 4) / 8 : 0));
  Check(decoded.entries.capacity() <= size / 8 + 1);
  if (size < 4) Check(!decoded.complete);
  for (const PolicyEntry& entry : decoded.entries) CheckEntryShape(entry);

  // A decoded entry is never longer than the bytes it came from.
  const std::vector<uint8_t> canonical = vx::management::EncodePolicyListInOrder(decoded.entries);
  if (size >= 4) Check(canonical.size() <= size);
  if (decoded.complete) Check(std::memcmp(canonical.data(), data, 4) == 0);

  // The canonical bytes decode to the same entries and encode to themselves.
  const DecodedPolicyList again = Decode(canonical, canonical.size());
  Check(again.complete);
  Check(again.entries == decoded.entries);
  Check(vx::management::EncodePolicyListInOrder(again.entries) == canonical);

  // A few cuts of the canonical bytes: incomplete, only whole entries kept.
  for (std::size_t cut : {std::size_t{0}, canonical.size() / 3, canonical.size() / 2, canonical.size() - 1}) {
    if (cut >= canonical.size()) continue;
    const DecodedPolicyList part = Decode(canonical, cut);
    Check(!part.complete);
    Check(part.entries.size() < decoded.entries.size() || decoded.entries.empty());
    Check(std::equal(part.entries.begin(), part.entries.end(), decoded.entries.begin()));
  }

  // Bytes after the counted entries are not read.
  std::vector<uint8_t> withTail = canonical;
  withTail.insert(withTail.end(), data, data + std::min<std::size_t>(size, 16));
  const DecodedPolicyList tailed = Decode(withTail, withTail.size());
  Check(tailed.complete && tailed.entries == decoded.entries);

  // What a client would store stays inside its fields.
  const vx::management::ParentPolicy stored = vx::management::ApplyPolicyEntries(decoded.entries, {});
  Check(stored.ruleUsb__Parent.size() <= vx::management::kMaxParentRuleText);
  Check(stored.password__Parent.size() <= vx::management::kMaxParentPassword);
  Check(stored.ruleUsb__Parent.find('\0') == std::string::npos);
  Check(stored.password__Parent.find('\0') == std::string::npos);
  return 0;
}
