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

namespace {

char16_t FoldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

}  // namespace

bool SameServiceName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return FoldAscii(x) == FoldAscii(y); });
}

std::vector<std::u16string> WithFilterEntry(std::vector<std::u16string> entries, const std::u16string& entry) {
  const bool listed =
      std::any_of(entries.begin(), entries.end(), [&](const std::u16string& e) { return SameServiceName(e, entry); });
  if (!listed) entries.push_back(entry);
  return entries;
}

std::vector<std::u16string> WithoutFilterEntry(const std::vector<std::u16string>& entries,
                                               const std::u16string& entry) {
  std::vector<std::u16string> kept;
  std::copy_if(entries.begin(), entries.end(), std::back_inserter(kept),
               [&](const std::u16string& e) { return !SameServiceName(e, entry); });
  return kept;
}

}  // namespace vx
