#include "tests/management/support/recording_installer.h"

namespace vx::management::test {

class RecordingInstaller::RecordingFile final : public UpdateFile {
 public:
  RecordingFile(RecordingInstaller& owner, std::unique_ptr<UpdateFile> file) : owner_(owner), file_(std::move(file)) {}
  bool Write(const uint8_t* bytes, std::size_t count) override {
    {
      std::lock_guard<std::mutex> lock(owner_.mutex_);
      owner_.writes_.push_back(count);
    }
    return file_->Write(bytes, count);
  }
  bool Close() override { return file_->Close(); }

 private:
  RecordingInstaller& owner_;
  std::unique_ptr<UpdateFile> file_;
};

std::unique_ptr<UpdateFile> RecordingInstaller::CreateTarget(const std::wstring& path) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    opened_.push_back(path);
  }
  auto file = CreatePosixUpdateFile(path);
  if (!file) return nullptr;
  return std::make_unique<RecordingFile>(*this, std::move(file));
}

bool RecordingInstaller::StartProcess(const std::wstring& commandLine, const std::wstring& currentDirectory) {
  std::lock_guard<std::mutex> lock(mutex_);
  starts_.push_back(RecordedStart{commandLine, currentDirectory});
  return startSucceeds;
}

std::vector<std::wstring> RecordingInstaller::Opened() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return opened_;
}

std::vector<std::size_t> RecordingInstaller::Writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

std::vector<RecordedStart> RecordingInstaller::Starts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return starts_;
}

}  // namespace vx::management::test
