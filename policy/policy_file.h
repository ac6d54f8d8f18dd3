// The policy file: the sealed policy record at a wide-character path.
#pragma once

#include <filesystem>

#include "policy/policy_state.h"

namespace vx {

// Fills `state` from the file. False, with `state` untouched, when the file
// cannot be read or does not authenticate as exactly one record.
[[nodiscard]] bool ReadPolicyFile(const std::filesystem::path& path, PolicyState& state);

// Writes the sealed record beside the file, flushes it and replaces the file
// in one step, so an interrupted save leaves the previous file. False when
// the file could not be written; the previous file then stays.
[[nodiscard]] bool WritePolicyFile(const std::filesystem::path& path, const PolicyState& state);

}  // namespace vx
