#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <memory>

#include "platform/file_io.h"

namespace vx::platform {
namespace {

struct FileCloser {
  // Only reached on a path that already failed; the write's own close is checked.
  void operator()(FILE* file) const { (void)fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace

std::optional<std::vector<uint8_t>> ReadFilePrefix(const std::filesystem::path& path, std::size_t maxBytes) {
  File file(_wfopen(path.c_str(), L"rb"));
  if (!file) return std::nullopt;
  std::vector<uint8_t> bytes(maxBytes);
  std::size_t done = fread(bytes.data(), 1, maxBytes, file.get());
  if (ferror(file.get())) return std::nullopt;
  bytes.resize(done);
  return bytes;
}

bool ReplaceFileContents(const std::filesystem::path& path, std::span<const uint8_t> data) {
  const std::filesystem::path temporary = ReplacementFileFor(path);
  File file(_wfopen(temporary.c_str(), L"wb"));
  if (!file) return false;
  bool ok = fwrite(data.data(), 1, data.size(), file.get()) == data.size();
  ok = ok && fflush(file.get()) == 0 && _commit(_fileno(file.get())) == 0;
  ok = (fclose(file.release()) == 0) && ok;
  if (ok) ok = MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  if (!ok) {
    // A temporary file left behind is harmless: the next save replaces it.
    (void)DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace vx::platform
