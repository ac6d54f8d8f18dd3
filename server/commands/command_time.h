// Times as the administration commands take and show them: a person types
// and reads the machine's local time, a program reads seconds since 1970.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vx::server {

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or "YYYY-MM-DDTHH:MM:SS" in local time (a
// blank may stand for the T, as the commands print it; a date alone is its
// midnight), or seconds since 1970 (digits only). nullopt for anything else,
// including a date that does not exist (2023-02-29, 24:00).
[[nodiscard]] std::optional<int64_t> ParseTimeArgument(std::string_view text);

// "YYYY-MM-DD HH:MM:SS" in local time; the seconds as digits when the
// platform cannot convert them.
[[nodiscard]] std::string LocalTimeText(int64_t seconds);

}  // namespace vx::server
