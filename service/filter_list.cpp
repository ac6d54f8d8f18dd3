#include "service/filter_list.h"

#include <algorithm>

namespace vx {

std::vector<std::u16string> ParseMultiString(const std::vector<uint8_t>& bytes) {
  std::vector<std::u16string> entries;
  std::u16string current;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (unit != 0) {
      current.push_back(unit);
      continue;
    }
    if (current.empty()) return entries;  // the closing zero
    entries.push_back(std::move(current));
    current.clear();
  }
  if (!current.empty()) entries.push_back(std::move(current));  // an entry without its zero
  return entries;
}

std::vector<uint8_t> FormatMultiString(const std::vector<std::u16string>& entries) {
  std::vector<uint8_t> bytes;
  auto put = [&](char16_t unit) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (const auto& entry : entries) {
    for (char16_t unit : entry) put(unit);
    put(0);
  }
  put(0);
  return bytes;
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
