// Reads a crash bundle back for tests: undoes the scrambling, checks the
// digest and unpacks every entry. The product itself never reads bundles.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vx::test {

struct BundleEntry {
  std::string name;
  std::vector<uint32_t> rawLengths;  // one per chunk
  std::vector<uint8_t> contents;     // the chunks, uncompressed and joined
};

struct Bundle {
  uint32_t headerA = 0;
  uint32_t headerB = 0;
  uint32_t headerC = 0;
  std::vector<BundleEntry> entries;
  std::vector<uint8_t> plainBody;  // entries and end mark, unscrambled
  std::vector<uint8_t> digest;     // the last 20 bytes
};

// The bundle, or nullopt with the reason in `error` when it is malformed or
// its digest does not match.
std::optional<Bundle> ReadBundle(std::span<const uint8_t> bytes, std::span<const uint8_t> key, std::string& error);
std::optional<Bundle> ReadBundleFile(const std::filesystem::path& path, std::span<const uint8_t> key,
                                     std::string& error);

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path);

// SHA-1 of `bytes`.
std::vector<uint8_t> Sha1Of(std::span<const uint8_t> bytes);

}  // namespace vx::test
