// A single-byte text as a JSON string: quotes, backslashes and control
// characters escaped, bytes from 0x80 up written as \u00XX (read as Latin-1),
// so the output is always valid JSON whatever a device reports.
#pragma once

#include <string>
#include <string_view>

namespace vx {

std::string JsonString(std::string_view text);

}  // namespace vx
