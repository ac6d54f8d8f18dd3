#include "policy/policy_store.h"

#include <cstring>

#include "policy/policy_file.h"

namespace vx {
namespace {

// Compares without an early exit, so the time taken does not tell how much
// of a guess was right.
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

}  // namespace

PolicyStore::PolicyStore(std::filesystem::path policyFile)
    : policyFile_(std::move(policyFile)), state_(std::make_unique<PolicyState>()) {
  std::memset(state_.get(), 0, sizeof *state_);
}

void PolicyStore::LoadPolicy() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ReadPolicyFile(policyFile_, *state_)) BuildDefaultPolicy(*state_);
  ApplyParentValues();
  // A failed save is silent: the values in memory stay in force, and the
  // next change saves again.
  (void)SaveLocked();
}

bool PolicyStore::SavePolicy() {
  std::lock_guard<std::mutex> lock(mutex_);
  return SaveLocked();
}

int PolicyStore::SetDriveLocks(uint32_t mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  TakeDriveLockMask(*state_, mask);
  ApplyParentValues();
  (void)SaveLocked();  // silent: the change is in force; its result is the interface's 1
  return 1;
}

int PolicyStore::ChangePassword(std::string_view current, std::string_view newPassword, uint32_t followParent) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!SameText(current, FieldText(state_->password))) return 0;
  if (state_->password__Lock) return 0;
  if (newPassword.size() > kMaxPasswordLength) return 0;
  if (followParent) {
    state_->password__Inherit = 1;
  } else {
    state_->password__Inherit = 0;
    StoreFieldText(state_->password, newPassword);
  }
  ApplyParentValues();
  // Saved like every other change, so the new password survives a restart; a
  // failed save is silent like theirs.
  (void)SaveLocked();
  return 1;
}

int PolicyStore::SetPolicy(const DEVICE_POLICY& policy) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!TakeDevicePolicy(*state_, policy)) return 0;
  ApplyParentValues();
  (void)SaveLocked();  // silent: the change is in force
  return 1;
}

void PolicyStore::ChangeParentValues(const std::function<void(PolicyState&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(*state_);
  ApplyParentValues();
  (void)SaveLocked();  // silent: the change is in force
}

uint32_t PolicyStore::GetDriveLocks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return DriveLockMaskOf(*state_);
}

int PolicyStore::CheckPassword(std::string_view candidate) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return SameText(candidate, FieldText(state_->password)) ? 1 : 0;
}

void PolicyStore::GetPolicy(DEVICE_POLICY& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  FillDevicePolicy(*state_, out);
}

uint64_t PolicyStore::Generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

bool PolicyStore::ClearPolicyChanged(uint64_t acceptedGeneration) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (acceptedGeneration != generation_) return false;
  policyChanged_.store(false);
  return true;
}

void PolicyStore::ApplyParentValues() {
  CopyParentValues(*state_);
  ++generation_;
  policyChanged_.store(true);
}

bool PolicyStore::SaveLocked() const { return WritePolicyFile(policyFile_, *state_); }

}  // namespace vx
