#include "platform/windows/win_registry.h"

#include <windows.h>

namespace vx {
namespace {

class KeyHandle {
 public:
  KeyHandle() = default;
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  ~KeyHandle() {
    if (key_) (void)RegCloseKey(key_);  // a key this object opened; nothing to act on
  }
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

std::optional<RegistryValue> WinRegistry::ReadValue(std::wstring_view keyPath, std::wstring_view valueName,
                                                    std::size_t maxBytes) const {
  const std::wstring key(keyPath), name(valueName);
  KeyHandle handle;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, handle.out()) != ERROR_SUCCESS)
    return std::nullopt;
  RegistryValue value;
  value.data.resize(maxBytes);
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(maxBytes);
  LONG status =
      RegQueryValueExW(handle.get(), name.c_str(), nullptr, &type, maxBytes ? value.data.data() : nullptr, &size);
  if (status != ERROR_SUCCESS || size > maxBytes) return std::nullopt;
  value.type = type;
  value.data.resize(size);
  return value;
}

bool WinRegistry::WriteValue(std::wstring_view keyPath, std::wstring_view valueName, const RegistryValue& value) {
  const std::wstring key(keyPath), name(valueName);
  KeyHandle handle;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, handle.out(), nullptr) !=
      ERROR_SUCCESS)
    return false;
  return RegSetValueExW(handle.get(), name.c_str(), 0, value.type, value.data.data(),
                        static_cast<DWORD>(value.data.size())) == ERROR_SUCCESS;
}

}  // namespace vx
