#include "server/commands/api_token.h"

#include <sys/random.h>

#include <cryptopp/misc.h>
#include <cryptopp/sha.h>
#include <cerrno>

namespace vx::server {

std::optional<std::string> MakeApiToken() {
  uint8_t bytes[kApiTokenLength / 2];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    filled += static_cast<std::size_t>(got);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (uint8_t byte : bytes) {
    token += kDigits[byte >> 4];
    token += kDigits[byte & 0x0F];
  }
  return token;
}

ApiTokenHash HashApiToken(std::string_view token) {
  ApiTokenHash hash{};
  CryptoPP::SHA256().CalculateDigest(hash.data(), reinterpret_cast<const CryptoPP::byte*>(token.data()), token.size());
  return hash;
}

std::optional<int64_t> MatchApiToken(std::span<const ApiTokenRecord> tokens, std::string_view presented) {
  // Hashing first makes every comparison the same length, whatever was sent.
  const ApiTokenHash hash = HashApiToken(presented);
  std::optional<int64_t> matched;
  for (const ApiTokenRecord& token : tokens) {
    const bool same = CryptoPP::VerifyBufsEqual(hash.data(), token.hash.data(), hash.size());
    if (same && !token.revokedAt) matched = token.tokenId;
  }
  return matched;
}

}  // namespace vx::server
