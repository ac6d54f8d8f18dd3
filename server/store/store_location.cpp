#include "server/store/store_location.h"

namespace vx::server {
namespace {

constexpr std::string_view kSchemes[] = {"postgresql://", "postgres://"};

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

std::string StoreLocation::Shown() const {
  return engine == StoreEngine::Postgres ? UrlWithoutPassword(url) : file.string();
}

StoreLocation StoreLocationOf(std::string_view text) {
  StoreLocation location;
  for (std::string_view scheme : kSchemes) {
    if (StartsWith(text, scheme)) {
      location.engine = StoreEngine::Postgres;
      location.url = std::string(text);
      return location;
    }
  }
  location.file = std::filesystem::path(std::string(text));
  return location;
}

std::string UrlWithoutPassword(std::string_view url) {
  std::string shown(url);
  // The authority: after the scheme, up to the first '/', '?' or '#'.
  const std::size_t schemeEnd = shown.find("://");
  if (schemeEnd != std::string::npos) {
    const std::size_t start = schemeEnd + 3;
    const std::size_t end = shown.find_first_of("/?#", start);
    const std::size_t authorityEnd = end == std::string::npos ? shown.size() : end;
    const std::size_t at = shown.rfind('@', authorityEnd == 0 ? 0 : authorityEnd - 1);
    if (at != std::string::npos && at >= start) {
      const std::size_t colon = shown.find(':', start);
      if (colon != std::string::npos && colon < at) shown.replace(colon + 1, at - colon - 1, "***");
    }
  }
  // A password among the query parameters.
  const std::size_t query = shown.find('?');
  if (query != std::string::npos) {
    std::size_t at = query + 1;
    while (at < shown.size()) {
      const std::size_t next = shown.find('&', at);
      const std::size_t paramEnd = next == std::string::npos ? shown.size() : next;
      constexpr std::string_view kKey = "password=";
      if (shown.compare(at, kKey.size(), kKey) == 0) {
        shown.replace(at + kKey.size(), paramEnd - at - kKey.size(), "***");
        at = shown.find('&', at);
        if (at == std::string::npos) break;
        ++at;
        continue;
      }
      if (next == std::string::npos) break;
      at = next + 1;
    }
  }
  return shown;
}

}  // namespace vx::server
