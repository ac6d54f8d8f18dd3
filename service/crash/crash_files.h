// Names of the files a crash leaves in the program's directory, and the key
// its bundle is scrambled with.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vx::crash {

// The one-byte scrambling key of crash bundles. Part of the bundle format:
// whoever unpacks a bundle needs the same byte.
inline constexpr uint8_t kCrashBundleKey = 0xA7;

inline constexpr std::size_t kModulePathCapacity = 1000;

// The directory of a program path, without its trailing backslash: the path
// cut at its last backslash, "." when it has none.
[[nodiscard]] std::wstring ModuleDirectoryOf(std::wstring_view modulePath);

// "<moduleDir>\<appCode as 8 hex digits>-<time>-<second draw>-<first draw>":
// the four code bytes as lower-case hex pairs, the low 32 bits of `time` as
// a signed decimal, the draws in lower-case hex.
[[nodiscard]] std::wstring CrashBaseName(std::wstring_view moduleDir, const char (&appCode)[4], int64_t time,
                                         int secondDraw, int firstDraw);

// The base name with an extension such as L".clg", as a path of this
// platform (on other systems than Windows the backslashes of the base name
// are separators too).
[[nodiscard]] std::filesystem::path CrashFilePath(std::wstring_view baseName, std::wstring_view extension);

}  // namespace vx::crash
