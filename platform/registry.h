// The few registry values the service reads and the filter list it edits,
// behind an interface so that the portable code is tested with a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

// The service's own key under HKEY_LOCAL_MACHINE.
inline constexpr std::wstring_view kProductKeyPath = L"Software\\Vestara\\DeviceControl";

// Registry value types, with the platform's numbers.
enum RegistryType : uint32_t {
  kRegistryString = 1,        // REG_SZ
  kRegistryExpandString = 2,  // REG_EXPAND_SZ
  kRegistryBinary = 3,        // REG_BINARY
  kRegistryDword = 4,         // REG_DWORD
  kRegistryMultiString = 7,   // REG_MULTI_SZ
  kRegistryQword = 11,        // REG_QWORD
};

struct RegistryValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};

class Registry {
 public:
  virtual ~Registry() = default;

  // A value under HKEY_LOCAL_MACHINE\keyPath. nullopt when the key or value
  // is missing, cannot be read, or holds more than `maxBytes` bytes.
  [[nodiscard]] virtual std::optional<RegistryValue> ReadValue(std::wstring_view keyPath, std::wstring_view valueName,
                                                               std::size_t maxBytes) const = 0;

  // Creates the key when needed and sets the value. False on failure.
  [[nodiscard]] virtual bool WriteValue(std::wstring_view keyPath, std::wstring_view valueName,
                                        const RegistryValue& value) = 0;
};

// Registry data as UTF-16LE code units, every whole unit (a trailing odd byte
// is ignored), and code units back as data.
std::u16string Utf16Units(const std::vector<uint8_t>& data);
std::vector<uint8_t> Utf16Data(std::u16string_view units);

// The units up to the first zero unit (all of them when there is none).
std::u16string_view TextBeforeZero(std::u16string_view units);

// The single-byte text of a REG_SZ or REG_EXPAND_SZ value (UTF-16LE), up to
// its first zero unit (a trailing odd byte is ignored). nullopt for any other
// type or a unit above 0x00FF, which no single-byte text can hold.
std::optional<std::string> SingleByteText(const RegistryValue& value);

// A REG_SZ value holding `text` and its terminator, as the platform stores it.
RegistryValue StringValue(std::wstring_view text);

}  // namespace vx
