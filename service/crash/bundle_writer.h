// Writes crash bundles: a short plain header, then named entries whose
// contents are zlib-compressed in 2 MiB chunks, an end mark, and a SHA-1
// digest. Everything between the header and the digest is scrambled with the
// caller's key; the digest covers those bytes before scrambling.
//
//   offset 0   "VXBUNDLE!\r\n" and a zero byte
//   offset 12  format byte, 1
//   offset 13  header values A, B, C (32-bit little-endian)
//   offset 25  entries (scrambled), each:
//                name length n (with its zero), name and zero, chunk count,
//                per chunk: compressed length, raw length, compressed bytes
//              end mark: a 32-bit 0 (scrambled)
//   last 20    SHA-1 of the unscrambled entries and end mark
#pragma once

#include <cryptopp/sha.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace VXSecureBundle {

inline constexpr char kBundleMagic[12] = "VXBUNDLE!\r\n";
inline constexpr uint8_t kBundleFormat = 1;
inline constexpr std::size_t kBundleHeaderSize = 25;
inline constexpr std::size_t kBundleDigestSize = 20;
inline constexpr uint32_t kBundleChunkSize = 2097152;
inline constexpr std::size_t kMaxKeyLength = 11;
inline constexpr std::size_t kMaxBundlePathLength = 32767;

// Compresses `sourceLength` bytes into `destination`, whose capacity is
// `*destinationLength` (zlib's compressBound of the source); sets the
// compressed length. Returns zlib's status (0 is success).
using ChunkCompressor = int (*)(uint8_t* destination, unsigned long* destinationLength, const uint8_t* source,
                                unsigned long sourceLength);

// zlib's compress at its default level.
int ZlibCompress(uint8_t* destination, unsigned long* destinationLength, const uint8_t* source,
                 unsigned long sourceLength);

class BundleWriter {
 public:
  explicit BundleWriter(ChunkCompressor compressor = &ZlibCompress);
  BundleWriter(const BundleWriter&) = delete;
  BundleWriter& operator=(const BundleWriter&) = delete;
  // Closes an open bundle as Close does.
  ~BundleWriter();

  // Replaces the scrambling key. A key of 0 or more than 11 bytes is refused
  // (false) and the previous key stays.
  [[nodiscard]] bool SetKey(const uint8_t* key, std::size_t length);

  // Closes a bundle still open, then creates or truncates `path` and writes
  // the plain header. False, with nothing left open, when no key is set, the
  // path is too long, or the file cannot be created or its header written.
  [[nodiscard]] bool Open(const std::filesystem::path& path, uint32_t headerA, uint32_t headerB, uint32_t headerC);

  // Adds the whole of `source` as the entry `name`. False when no bundle is
  // open or the source cannot be opened; the bundle is then unchanged. A read,
  // compression or write failure part-way also returns false and removes the
  // partial entry, so the bundle keeps only whole entries.
  [[nodiscard]] bool AddFile(const std::filesystem::path& source, const char* name);

  // Writes the end mark, then reopens the file and appends the digest. When
  // that fails (or an earlier write failed), prints "ERROR! Couldn't create
  // bundle" and removes the file rather than leave a bundle without a valid
  // digest. True when a bundle was open.
  [[nodiscard]] bool Close();

  bool IsOpen() const { return open_; }

 private:
  // Hashes `data`, scrambles it in place for its file offset and writes it.
  [[nodiscard]] bool WriteScrambled(uint8_t* data, std::size_t size);
  [[nodiscard]] bool WriteScrambledWord(uint32_t value);
  [[nodiscard]] bool WriteEntry(std::FILE* source, int64_t size, const char* name);
  // Cuts the file back to `offset` and restores the digest state taken there.
  void RollBack(int64_t offset, const CryptoPP::SHA1& digestAtOffset);
  void DiscardBundle();

  ChunkCompressor compressor_;
  uint8_t key_[kMaxKeyLength] = {};
  std::size_t keyLength_ = 0;
  std::FILE* file_ = nullptr;
  bool open_ = false;
  bool damaged_ = false;
  int64_t position_ = 0;
  std::filesystem::path path_;
  CryptoPP::SHA1 digest_;
};

}  // namespace VXSecureBundle
