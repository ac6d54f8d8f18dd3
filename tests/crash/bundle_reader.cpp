#include "tests/crash/bundle_reader.h"

#include <cryptopp/sha.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace vx::test {
namespace {

constexpr std::size_t kHeaderSize = 25;
constexpr std::size_t kDigestSize = 20;

class BodyCursor {
 public:
  explicit BodyCursor(const std::vector<uint8_t>& body) : body_(body) {}
  bool Word(uint32_t& value) {
    if (body_.size() - offset_ < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(body_[offset_ + i]) << (8 * i);
    offset_ += 4;
    return true;
  }
  const uint8_t* Take(std::size_t size) {
    if (body_.size() - offset_ < size) return nullptr;
    const uint8_t* start = body_.data() + offset_;
    offset_ += size;
    return start;
  }
  bool AtEnd() const { return offset_ == body_.size(); }

 private:
  const std::vector<uint8_t>& body_;
  std::size_t offset_ = 0;
};

uint32_t HeaderWord(std::span<const uint8_t> bytes, std::size_t offset) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}

bool ReadEntry(BodyCursor& cursor, uint32_t nameLength, BundleEntry& entry, std::string& error) {
  const uint8_t* name = cursor.Take(nameLength);
  if (name == nullptr || name[nameLength - 1] != 0) {
    error = "entry name runs past the body or has no zero";
    return false;
  }
  entry.name.assign(reinterpret_cast<const char*>(name), nameLength - 1);
  uint32_t chunkCount = 0;
  if (!cursor.Word(chunkCount)) {
    error = "no chunk count for " + entry.name;
    return false;
  }
  for (uint32_t chunk = 0; chunk < chunkCount; ++chunk) {
    uint32_t packedLength = 0, rawLength = 0;
    if (!cursor.Word(packedLength) || !cursor.Word(rawLength)) {
      error = "chunk header missing in " + entry.name;
      return false;
    }
    const uint8_t* packed = cursor.Take(packedLength);
    if (packed == nullptr) {
      error = "chunk runs past the body in " + entry.name;
      return false;
    }
    std::size_t start = entry.contents.size();
    entry.contents.resize(start + rawLength);
    uLongf unpackedLength = rawLength;
    if (uncompress(entry.contents.data() + start, &unpackedLength, packed, packedLength) != Z_OK ||
        unpackedLength != rawLength) {
      error = "chunk does not inflate to its raw length in " + entry.name;
      return false;
    }
    entry.rawLengths.push_back(rawLength);
  }
  return true;
}

}  // namespace

std::vector<uint8_t> Sha1Of(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> digest(CryptoPP::SHA1::DIGESTSIZE);
  CryptoPP::SHA1().CalculateDigest(digest.data(), bytes.data(), bytes.size());
  return digest;
}

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<Bundle> ReadBundle(std::span<const uint8_t> bytes, std::span<const uint8_t> key, std::string& error) {
  if (bytes.size() < kHeaderSize + 4 + kDigestSize) {
    error = "shorter than an empty bundle";
    return std::nullopt;
  }
  if (std::memcmp(bytes.data(), "VXBUNDLE!\r\n\0", 12) != 0 || bytes[12] != 1) {
    error = "bad magic or format byte";
    return std::nullopt;
  }
  Bundle bundle;
  bundle.headerA = HeaderWord(bytes, 13);
  bundle.headerB = HeaderWord(bytes, 17);
  bundle.headerC = HeaderWord(bytes, 21);
  const std::size_t bodyEnd = bytes.size() - kDigestSize;
  for (std::size_t offset = kHeaderSize; offset < bodyEnd; ++offset)
    bundle.plainBody.push_back(bytes[offset] ^ key[offset % key.size()]);
  bundle.digest.assign(bytes.begin() + static_cast<std::ptrdiff_t>(bodyEnd), bytes.end());
  if (Sha1Of(bundle.plainBody) != bundle.digest) {
    error = "digest does not match the unscrambled body";
    return std::nullopt;
  }

  BodyCursor cursor(bundle.plainBody);
  for (;;) {
    uint32_t nameLength = 0;
    if (!cursor.Word(nameLength)) {
      error = "no end mark";
      return std::nullopt;
    }
    if (nameLength == 0) break;
    BundleEntry entry;
    if (!ReadEntry(cursor, nameLength, entry, error)) return std::nullopt;
    bundle.entries.push_back(std::move(entry));
  }
  if (!cursor.AtEnd()) {
    error = "bytes after the end mark";
    return std::nullopt;
  }
  return bundle;
}

std::optional<Bundle> ReadBundleFile(const std::filesystem::path& path, std::span<const uint8_t> key,
                                     std::string& error) {
  std::vector<uint8_t> bytes = ReadWholeFile(path);
  return ReadBundle(bytes, key, error);
}

}  // namespace vx::test
