// The user interface language: the registry value "Language" under the
// service's key holds a locale identifier as text, read on every request.
#pragma once

#include <optional>
#include <string>

#include "platform/registry.h"

namespace vx {

inline constexpr std::size_t kLanguageValueMaxBytes = 200;

// Maps the value as read: missing, unreadable or empty gives "english",
// "1033" gives "english", "1055" gives "turkish" (compared in lower case);
// anything else gives no language.
[[nodiscard]] std::optional<std::string> MapLanguage(const std::optional<RegistryValue>& value);

// Reads "Language" (at most 200 bytes) and maps it.
[[nodiscard]] std::optional<std::string> ReadLanguage(const Registry& registry);

}  // namespace vx
