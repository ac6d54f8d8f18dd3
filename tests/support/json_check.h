// Whether a text is one complete JSON value (RFC 8259), with blanks around
// it allowed: enough for a test to tell that a program's output is whole.
#pragma once

#include <string_view>

namespace vx::test {

[[nodiscard]] bool IsCompleteJson(std::string_view text);

}  // namespace vx::test
