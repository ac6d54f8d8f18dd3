// An in-memory Registry for tests.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "platform/registry.h"

namespace vx::test {

class FakeRegistry final : public Registry {
 public:
  std::optional<RegistryValue> ReadValue(std::wstring_view keyPath, std::wstring_view valueName,
                                         std::size_t maxBytes) const override {
    auto it = values_.find({std::wstring(keyPath), std::wstring(valueName)});
    if (it == values_.end() || it->second.data.size() > maxBytes) return std::nullopt;
    return it->second;
  }
  bool WriteValue(std::wstring_view keyPath, std::wstring_view valueName, const RegistryValue& value) override {
    values_[{std::wstring(keyPath), std::wstring(valueName)}] = value;
    return true;
  }

 private:
  std::map<std::pair<std::wstring, std::wstring>, RegistryValue> values_;
};

}  // namespace vx::test
