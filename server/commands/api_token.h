// The bearer tokens of the HTTP API: what one is, how it is kept and how a
// presented one is checked.
//
// A token is 64 lowercase hexadecimal digits from the system's random
// source (256 bits), shown once when it is made. The store keeps only its
// SHA-256, so a copy of the store file lets no one call the API; a presented
// token is hashed and compared with every token in use, each comparison in
// constant time, so the time a refusal takes tells nothing about how close a
// guess came.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "server/store/store.h"

namespace vx::server {

inline constexpr std::size_t kApiTokenLength = 64;

// A new token, or nullopt when the system's random source cannot be read.
[[nodiscard]] std::optional<std::string> MakeApiToken();

[[nodiscard]] ApiTokenHash HashApiToken(std::string_view token);

// The id of the token in use (not revoked) that `presented` is, or nullopt.
// Every token in use is compared, whatever the outcome.
[[nodiscard]] std::optional<int64_t> MatchApiToken(std::span<const ApiTokenRecord> tokens, std::string_view presented);

}  // namespace vx::server
