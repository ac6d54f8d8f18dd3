// The disk class's "UpperFilters" list (REG_MULTI_SZ): zero-terminated wide
// texts closed by one more zero. Install adds the filter's entry once;
// removal drops every copy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx {

inline constexpr char16_t kFilterServiceName[] = u"VXDevFltr";

// The entries of a stored value, read from its bytes only: an empty value,
// a missing closing zero or a trailing odd byte still give the entries
// present. An empty entry ends the list, as the platform reads it.
std::vector<std::u16string> ParseMultiString(const std::vector<uint8_t>& bytes);

// The value bytes of a list: each entry with its zero, then one closing zero.
std::vector<uint8_t> FormatMultiString(const std::vector<std::u16string>& entries);

// The list with `entry` appended, unless it already holds it exactly.
std::vector<std::u16string> WithFilterEntry(std::vector<std::u16string> entries, const std::u16string& entry);

// The list without any entry exactly equal to `entry` (letter case counts).
std::vector<std::u16string> WithoutFilterEntry(const std::vector<std::u16string>& entries, const std::u16string& entry);

}  // namespace vx
