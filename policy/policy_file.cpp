#include "policy/policy_file.h"

#include <memory>

#include "platform/file_io.h"
#include "policy/policy_cipher.h"

namespace vx {

bool ReadPolicyFile(const std::filesystem::path& path, PolicyState& state) {
  // One byte more than a sealed record, so a longer file is seen as such.
  auto bytes = platform::ReadFilePrefix(path, kPolicyFileSize + 1);
  if (!bytes) return false;
  return OpenSealedPolicy(*bytes, state);
}

bool WritePolicyFile(const std::filesystem::path& path, const PolicyState& state) {
  auto sealed = std::make_unique<SealedPolicy>();
  SealPolicy(state, *sealed);
  return platform::ReplaceFileContents(path, *sealed);
}

}  // namespace vx
