#include "service/filter_list.h"

#include <algorithm>

#include "platform/registry.h"

namespace vx {

std::vector<std::u16string> ParseMultiString(const std::vector<uint8_t>& bytes) {
  std::vector<std::u16string> entries;
  const std::u16string units = Utf16Units(bytes);
  std::u16string_view rest = units;
  // An empty entry is the closing zero; an entry at the end may lack its zero.
  while (!rest.empty()) {
    const std::u16string_view entry = TextBeforeZero(rest);
    if (entry.empty()) break;
    entries.emplace_back(entry);
    rest.remove_prefix(std::min(rest.size(), entry.size() + 1));
  }
  return entries;
}

std::vector<uint8_t> FormatMultiString(const std::vector<std::u16string>& entries) {
  std::u16string units;
  for (const auto& entry : entries) {
    units += entry;
    units.push_back(u'\0');
  }
  units.push_back(u'\0');
  return Utf16Data(units);
}

std::vector<std::u16string> WithFilterEntry(std::vector<std::u16string> entries, const std::u16string& entry) {
  if (std::find(entries.begin(), entries.end(), entry) == entries.end()) entries.push_back(entry);
  return entries;
}

std::vector<std::u16string> WithoutFilterEntry(const std::vector<std::u16string>& entries,
                                               const std::u16string& entry) {
  std::vector<std::u16string> kept;
  std::copy_if(entries.begin(), entries.end(), std::back_inserter(kept),
               [&](const std::u16string& e) { return e != entry; });
  return kept;
}

}  // namespace vx
