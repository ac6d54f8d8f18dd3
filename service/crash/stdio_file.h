// C stdio files on wide-character paths on Windows and byte paths elsewhere,
// with 64-bit positions in 32-bit builds too. POSIX and Windows each have
// their own implementation.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace VXSecureBundle {

// fopen on Windows' wide path (_wfopen) or the byte path elsewhere.
[[nodiscard]] std::FILE* OpenStdioFile(const std::filesystem::path& path, const char* mode);

// The size of an open file, found by seeking to its end and back to its start.
// -1 when the file cannot be sought.
[[nodiscard]] int64_t StdioFileSize(std::FILE* file);

// The current position, -1 on failure.
[[nodiscard]] int64_t StdioFilePosition(std::FILE* file);

// Cuts the file at `size` and puts the position there. False on failure.
[[nodiscard]] bool TruncateStdioFile(std::FILE* file, int64_t size);

}  // namespace VXSecureBundle
