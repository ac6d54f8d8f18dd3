#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_io.h"

namespace vx::platform {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) (void)::close(fd_);  // only on paths that already failed or only read
  }
  int get() const { return fd_; }
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, std::span<const uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Makes the rename itself durable.
void SyncDirectoryOf(const std::filesystem::path& path) {
  std::filesystem::path directory = path.parent_path();
  if (directory.empty()) directory = ".";
  FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The data itself is on the disk already; a failed directory sync only
  // weakens the rename's durability, which nothing here could improve.
  if (dir.get() >= 0) (void)::fsync(dir.get());
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadFilePrefix(const std::filesystem::path& path, std::size_t maxBytes) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return std::nullopt;
  std::vector<uint8_t> bytes(maxBytes);
  std::size_t done = 0;
  while (done < maxBytes) {
    ssize_t n = ::read(file.get(), bytes.data() + done, maxBytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

bool ReplaceFileContents(const std::filesystem::path& path, std::span<const uint8_t> data) {
  const std::filesystem::path temporary = ReplacementFileFor(path);
  FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (file.get() < 0) return false;
  bool ok = WriteAll(file.get(), data) && ::fsync(file.get()) == 0;
  ok = file.Close() && ok;
  if (ok) ok = ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    (void)::unlink(temporary.c_str());  // a stale temporary file is harmless: the next save replaces it
    return false;
  }
  SyncDirectoryOf(path);
  return true;
}

}  // namespace vx::platform
