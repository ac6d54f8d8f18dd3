#include "service/crash/bundle_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>

#include "service/crash/stdio_file.h"

namespace VXSecureBundle {
namespace {

void PutWord(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

struct FileCloser {
  // A source file is only read: its close has nothing to lose.
  void operator()(std::FILE* file) const { (void)std::fclose(file); }
};
using SourceFile = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

int ZlibCompress(uint8_t* destination, unsigned long* destinationLength, const uint8_t* source,
                 unsigned long sourceLength) {
  uLongf length = *destinationLength;
  int status = compress(destination, &length, source, sourceLength);
  *destinationLength = length;
  return status;
}

BundleWriter::BundleWriter(ChunkCompressor compressor) : compressor_(compressor ? compressor : &ZlibCompress) {}

BundleWriter::~BundleWriter() {
  // Close's result only says a bundle was open, which was just tested.
  if (open_) (void)Close();
}

bool BundleWriter::SetKey(const uint8_t* key, std::size_t length) {
  if (key == nullptr || length == 0 || length > kMaxKeyLength) return false;
  std::memcpy(key_, key, length);
  keyLength_ = length;
  return true;
}

bool BundleWriter::Open(const std::filesystem::path& path, uint32_t headerA, uint32_t headerB, uint32_t headerC) {
  if (open_) (void)Close();  // known to have been open
  if (keyLength_ == 0 || path.native().size() > kMaxBundlePathLength) return false;

  file_ = OpenStdioFile(path, "wb");
  if (file_ == nullptr) return false;

  uint8_t header[kBundleHeaderSize];
  std::memcpy(header, kBundleMagic, sizeof kBundleMagic);
  header[12] = kBundleFormat;
  PutWord(header + 13, headerA);
  PutWord(header + 17, headerB);
  PutWord(header + 21, headerC);
  if (std::fwrite(header, 1, sizeof header, file_) != sizeof header) {
    // The header did not go out whole: the file goes, whatever its close says.
    (void)std::fclose(file_);
    file_ = nullptr;
    std::error_code ignored;
    (void)std::filesystem::remove(path, ignored);
    return false;
  }

  digest_.Restart();
  position_ = static_cast<int64_t>(kBundleHeaderSize);
  path_ = path;
  damaged_ = false;
  open_ = true;
  return true;
}

bool BundleWriter::WriteScrambled(uint8_t* data, std::size_t size) {
  digest_.Update(data, size);
  std::size_t keyIndex = static_cast<std::size_t>(static_cast<uint64_t>(position_) % keyLength_);
  for (std::size_t i = 0; i < size; ++i) {
    data[i] ^= key_[keyIndex];
    if (++keyIndex == keyLength_) keyIndex = 0;
  }
  std::size_t written = std::fwrite(data, 1, size, file_);
  position_ += static_cast<int64_t>(written);
  return written == size;
}

bool BundleWriter::WriteScrambledWord(uint32_t value) {
  uint8_t bytes[4];
  PutWord(bytes, value);
  return WriteScrambled(bytes, sizeof bytes);
}

bool BundleWriter::AddFile(const std::filesystem::path& source, const char* name) {
  if (!open_ || name == nullptr) return false;
  SourceFile input(OpenStdioFile(source, "rb"));
  if (!input) return false;
  int64_t size = StdioFileSize(input.get());
  if (size < 0) return false;

  const int64_t entryStart = position_;
  const CryptoPP::SHA1 digestAtEntry = digest_;
  if (WriteEntry(input.get(), size, name)) return true;
  RollBack(entryStart, digestAtEntry);
  return false;
}

bool BundleWriter::WriteEntry(std::FILE* source, int64_t size, const char* name) {
  const uint64_t chunkCount = (static_cast<uint64_t>(size) + kBundleChunkSize - 1) / kBundleChunkSize;
  const std::size_t nameLength = std::strlen(name) + 1;
  if (chunkCount > std::numeric_limits<uint32_t>::max() || nameLength > std::numeric_limits<uint32_t>::max())
    return false;

  std::unique_ptr<uint8_t[]> nameBytes(new uint8_t[nameLength]);
  std::memcpy(nameBytes.get(), name, nameLength);
  if (!WriteScrambledWord(static_cast<uint32_t>(nameLength)) || !WriteScrambled(nameBytes.get(), nameLength) ||
      !WriteScrambledWord(static_cast<uint32_t>(chunkCount)))
    return false;
  if (chunkCount == 0) return true;

  // The chunks are read as the size found at the start gives them, so the
  // chunk count written above always matches the chunks that follow, even if
  // the file changes meanwhile.
  const std::size_t rawCapacity = static_cast<std::size_t>(std::min<int64_t>(size, kBundleChunkSize));
  const unsigned long packedCapacity = compressBound(static_cast<uLong>(rawCapacity));
  std::unique_ptr<uint8_t[]> raw(new uint8_t[rawCapacity]);
  std::unique_ptr<uint8_t[]> packed(new uint8_t[packedCapacity]);
  int64_t consumed = 0;
  for (uint64_t chunk = 0; chunk < chunkCount; ++chunk) {
    const std::size_t wanted = static_cast<std::size_t>(std::min<int64_t>(size - consumed, kBundleChunkSize));
    const std::size_t got = std::fread(raw.get(), 1, wanted, source);
    if (std::ferror(source)) return false;
    consumed += static_cast<int64_t>(got);

    unsigned long packedLength = packedCapacity;
    if (compressor_(packed.get(), &packedLength, raw.get(), got) != Z_OK || packedLength > packedCapacity) return false;
    if (!WriteScrambledWord(static_cast<uint32_t>(packedLength)) || !WriteScrambledWord(static_cast<uint32_t>(got)) ||
        !WriteScrambled(packed.get(), packedLength))
      return false;
  }
  return true;
}

void BundleWriter::RollBack(int64_t offset, const CryptoPP::SHA1& digestAtOffset) {
  digest_ = digestAtOffset;
  position_ = offset;
  if (!TruncateStdioFile(file_, offset)) damaged_ = true;
}

bool BundleWriter::Close() {
  if (!open_) return false;
  if (!WriteScrambledWord(0)) damaged_ = true;
  uint8_t digest[kBundleDigestSize];
  digest_.Final(digest);
  if (std::fclose(file_) != 0) damaged_ = true;
  file_ = nullptr;
  open_ = false;

  if (damaged_) {
    DiscardBundle();
    return true;
  }
  std::FILE* appended = OpenStdioFile(path_, "ab");
  if (appended == nullptr) {
    DiscardBundle();
    return true;
  }
  bool ok = std::fwrite(digest, 1, sizeof digest, appended) == sizeof digest;
  ok = std::fclose(appended) == 0 && ok;
  if (!ok) DiscardBundle();
  return true;
}

void BundleWriter::DiscardBundle() {
  // The message is the only trace a crashed process can leave; a removal that
  // fails leaves a bundle whose digest does not check, which a reader refuses.
  (void)std::fputs("ERROR! Couldn't create bundle\n", stdout);
  std::error_code ignored;
  (void)std::filesystem::remove(path_, ignored);
}

}  // namespace VXSecureBundle
