// The console page's files, embedded into the program at build time
// (cmake/EmbedFiles.cmake turns server/console/ into console_assets.cpp), so
// serve needs no web server and no files beside it.
#pragma once

#include <span>
#include <string_view>

namespace vx::server {

struct ConsoleAsset {
  std::string_view path;         // as requested: "/", "/console.js", ...
  std::string_view contentType;  // with its charset for text
  std::string_view bytes;
};

[[nodiscard]] std::span<const ConsoleAsset> ConsoleAssets();

}  // namespace vx::server
