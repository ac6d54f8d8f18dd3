// Texts that agents send (computer names, device vendor, product and serial)
// are untrusted UTF-16. They are stored faithfully and never interpreted:
// each UTF-16 unit becomes one character, written in UTF-8. A unit in the
// surrogate range (0xD800..0xDFFF) is written as its own three-byte form
// rather than paired, so no unit is lost or merged and AgentTextUnits gives
// back exactly what arrived; a reader that needs strict UTF-8 (a JSON
// writer, a terminal) must replace those three-byte forms itself.
#pragma once

#include <string>
#include <string_view>

namespace vx::server {

[[nodiscard]] std::string AgentTextToUtf8(std::u16string_view units);

// The units a stored text came from (the inverse of AgentTextToUtf8 for its
// own output; bytes that are not such a form become U+FFFD).
[[nodiscard]] std::u16string AgentTextUnits(std::string_view utf8);

}  // namespace vx::server
