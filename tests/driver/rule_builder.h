// Small helpers to write rules and identities in tests.
#pragma once

#include <cstring>
#include <string>

#include "common/filter_control.h"
#include "driver/core/identity.h"

namespace vx::test {

inline void SetField(char* field, const std::string& text) {
  std::memset(field, 0, USB_PATTERN_SIZE);
  std::memcpy(field, text.data(), text.size() < USB_PATTERN_SIZE ? text.size() : USB_PATTERN_SIZE);
}

inline USB_RULE MakeRule(uint32_t flags, int32_t action, const std::string& vendor = "",
                         const std::string& product = "", const std::string& revision = "",
                         const std::string& serial = "") {
  USB_RULE rule{};
  SetField(rule.vendor, vendor);
  SetField(rule.product, product);
  SetField(rule.revision, revision);
  SetField(rule.serial, serial);
  rule.flags = flags;
  rule.action = action;
  return rule;
}

inline vx::driver::DEVICE_IDENTITY MakeIdentity(const std::string& vendor, const std::string& product,
                                                const std::string& revision, const std::string& serial) {
  vx::driver::DEVICE_IDENTITY id{};
  SetField(id.vendor, vendor);
  SetField(id.product, product);
  SetField(id.revision, revision);
  SetField(id.serial, serial);
  return id;
}

}  // namespace vx::test
