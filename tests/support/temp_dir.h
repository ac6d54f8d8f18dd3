// A fresh directory for one test, removed afterwards.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>

namespace vx::test {

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
      path_ = base / ("vx-test-" + std::to_string(Pid()) + "-" + std::to_string(counter++));
      if (std::filesystem::create_directory(path_)) break;
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  static long Pid();
  std::filesystem::path path_;
};

}  // namespace vx::test
