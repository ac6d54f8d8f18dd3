// Whole-file reads and crash-safe replacement, on wide-character paths on
// Windows and byte paths elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace vx::platform {

// Reads at most `maxBytes` from the start of the file. nullopt when the file
// cannot be opened or read.
[[nodiscard]] std::optional<std::vector<uint8_t>> ReadFilePrefix(const std::filesystem::path& path,
                                                                 std::size_t maxBytes);

// Writes `data` to "<path>.tmp" in the same directory, flushes it to the disk
// and then replaces `path` with it in one step. On any failure the temporary
// file is removed, `path` keeps its previous content and false is returned.
[[nodiscard]] bool ReplaceFileContents(const std::filesystem::path& path, std::span<const uint8_t> data);

// The temporary file that ReplaceFileContents writes before the replacement.
[[nodiscard]] std::filesystem::path ReplacementFileFor(const std::filesystem::path& path);

}  // namespace vx::platform
