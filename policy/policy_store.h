// The one owner of the policy. Every writer holds the mutex for its whole
// change, ApplyParentValues and save; every reader holds it while it copies
// out. ApplyParentValues sets `policyChanged` and advances the generation, so
// the monitor clears the flag only when the generation both drivers accepted
// is still the current one (see Monitor::RunPass in monitor/monitor_loop.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "policy/device_policy.h"
#include "policy/policy_state.h"

namespace vx {

class PolicyStore {
 public:
  // `policyFile` is the policy file's full path (installDir + "configdb.dat").
  explicit PolicyStore(std::filesystem::path policyFile);
  PolicyStore(const PolicyStore&) = delete;
  PolicyStore& operator=(const PolicyStore&) = delete;

  // Fills the record from the policy file, or with the default policy when
  // the file is missing or unusable; then applies and saves. Called by the
  // monitor thread only, once, before the control interface and the
  // management client start.
  void LoadPolicy();

  // Writes the record as it is now. Failures are silent: the values in memory
  // stay in force. Returns whether the file was written, for tests.
  [[nodiscard]] bool SavePolicy();

  // Local writers. Only the control interface's routines may call these, and
  // only for a caller that is an Administrator or LocalSystem: checking the
  // caller is the interface's duty, this store checks the values. Results are
  // the interface's: 1 for success, 0 for a refusal (a wrong current
  // password, a locked password, a password or rule count too long), which
  // changes nothing.
  [[nodiscard]] int SetDriveLocks(uint32_t mask);
  [[nodiscard]] int ChangePassword(std::string_view current, std::string_view newPassword, uint32_t followParent);
  [[nodiscard]] int SetPolicy(const DEVICE_POLICY& policy);

  // The management server's writer: only the management client may call it,
  // for the server the registry configures. `change` sets parent values and
  // lock flags; then the values are applied and saved.
  void ChangeParentValues(const std::function<void(PolicyState&)>& change);

  // Readers.
  [[nodiscard]] uint32_t GetDriveLocks() const;
  [[nodiscard]] int CheckPassword(std::string_view candidate) const;
  void GetPolicy(DEVICE_POLICY& out) const;

  // Runs `reader` on the record under the mutex; the reader copies out what
  // it needs and must not keep the reference.
  template <typename Reader>
  auto Read(Reader&& reader) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reader(static_cast<const PolicyState&>(*state_));
  }

  // Same, with the generation of the values the reader saw, for a reader that
  // later reports them as accepted.
  template <typename Reader>
  auto ReadWithGeneration(Reader&& reader, uint64_t& generation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    generation = generation_;
    return reader(static_cast<const PolicyState&>(*state_));
  }

  // The generation of the values now in force, and the flag that says they
  // have not yet reached both drivers.
  [[nodiscard]] uint64_t Generation() const;
  [[nodiscard]] bool PolicyChanged() const { return policyChanged_.load(); }

  // Clears `policyChanged` when `acceptedGeneration`, the generation both
  // drivers accepted, is still current; a change made while they were sent
  // the values keeps the flag set for the next pass. False when it stays.
  [[nodiscard]] bool ClearPolicyChanged(uint64_t acceptedGeneration);

  const std::filesystem::path& PolicyFile() const { return policyFile_; }

 private:
  void ApplyParentValues();               // mutex held
  [[nodiscard]] bool SaveLocked() const;  // mutex held

  const std::filesystem::path policyFile_;
  mutable std::mutex mutex_;
  std::unique_ptr<PolicyState> state_;
  uint64_t generation_ = 0;
  std::atomic<bool> policyChanged_{false};
};

}  // namespace vx
