// The disk class's "UpperFilters" list (REG_MULTI_SZ): zero-terminated wide
// texts closed by one more zero. Its entries are service names, which the
// platform compares without regard to letter case: "vxdevfltr" already
// loads the filter. So install adds the filter's entry only when no entry
// names it in any case, and removal drops every entry that names it.
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

// Whether two service names are the same name: equal once ASCII letters are
// folded. The filter's name is ASCII, and no other character folds to an
// ASCII letter, so this is the platform's comparison for it.
bool SameServiceName(std::u16string_view a, std::u16string_view b);

// The list with `entry` appended, unless an entry already names it.
std::vector<std::u16string> WithFilterEntry(std::vector<std::u16string> entries, const std::u16string& entry);

// The list without any entry that names `entry`, in whatever letter case.
std::vector<std::u16string> WithoutFilterEntry(const std::vector<std::u16string>& entries, const std::u16string& entry);

}  // namespace vx
