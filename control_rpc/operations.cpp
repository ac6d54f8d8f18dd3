#include "control_rpc/operations.h"

#include <cstring>

#include "policy/language.h"

namespace vx {

// The caller is asked first, before anything of the policy is looked at, so
// a refused caller learns nothing from the result either.
int ControlOperations::SetDriveLocks(uint32_t mask) {
  if (!caller_.MayChangePolicy()) return 0;
  return policy_.SetDriveLocks(mask);
}

int ControlOperations::GetDriveLocks() { return static_cast<int>(policy_.GetDriveLocks()); }

int ControlOperations::CheckPassword(std::string_view candidate) { return policy_.CheckPassword(candidate); }

int ControlOperations::ChangePassword(std::string_view current, std::string_view newPassword, uint32_t followParent) {
  if (!caller_.MayChangePolicy()) return 0;
  return policy_.ChangePassword(current, newPassword, followParent);
}

int ControlOperations::GetPolicy(DEVICE_POLICY& policy) {
  policy_.GetPolicy(policy);
  return 1;
}

int ControlOperations::SetPolicy(const DEVICE_POLICY& policy) {
  if (!caller_.MayChangePolicy()) return 0;
  return policy_.SetPolicy(policy);
}

int ControlOperations::Ping() { return 1; }

int ControlOperations::Reserved() { return 0; }

int ControlOperations::PopDeviceArrival(USB_RULE& entry) {
  USB_RULE oldest;
  if (!newDeviceQueue_.TakeOne(oldest)) return 0;
  // Each text whole and zero-terminated, nothing after its terminator.
  USB_RULE out{};
  StoreFieldText(out.vendor, FieldText(oldest.vendor));
  StoreFieldText(out.product, FieldText(oldest.product));
  StoreFieldText(out.revision, FieldText(oldest.revision));
  StoreFieldText(out.serial, FieldText(oldest.serial));
  out.flags = 0;
  out.action = oldest.action;
  entry = out;
  return 1;
}

int ControlOperations::GetLanguage(uint32_t size, uint8_t* name) {
  if (size < kLanguageBufferMinSize || size > kLanguageBufferMaxSize) return 0;
  const std::optional<std::string> language = ReadLanguage(registry_);
  if (!language || language->size() + 1 > size) return 0;
  std::memcpy(name, language->c_str(), language->size() + 1);
  return 1;
}

}  // namespace vx
