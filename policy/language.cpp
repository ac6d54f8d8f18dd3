#include "policy/language.h"

#include <cctype>

namespace vx {

std::optional<std::string> MapLanguage(const std::optional<RegistryValue>& value) {
  if (!value) return "english";
  // A value that is not text counts as unreadable.
  if (value->type != kRegistryString && value->type != kRegistryExpandString) return "english";
  std::optional<std::string> text = SingleByteText(*value);
  if (!text) return std::nullopt;  // text that no locale identifier spells
  if (text->empty()) return "english";
  for (char& c : *text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (*text == "1033") return "english";
  if (*text == "1055") return "turkish";
  return std::nullopt;
}

std::optional<std::string> ReadLanguage(const Registry& registry) {
  return MapLanguage(registry.ReadValue(kProductKeyPath, L"Language", kLanguageValueMaxBytes));
}

}  // namespace vx
