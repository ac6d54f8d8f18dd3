// The installer seam of the native tests: the file is written to the disk
// for real (management/posix), each write's size is recorded, and a process
// start is recorded instead of made.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "management/posix/posix_update_file.h"
#include "management/update_installer.h"

namespace vx::management::test {

struct RecordedStart {
  std::wstring commandLine;
  std::wstring currentDirectory;
};

class RecordingInstaller final : public UpdateInstaller {
 public:
  std::unique_ptr<UpdateFile> CreateTarget(const std::wstring& path) override;
  bool StartProcess(const std::wstring& commandLine, const std::wstring& currentDirectory) override;

  std::vector<std::wstring> Opened() const;
  std::vector<std::size_t> Writes() const;
  std::vector<RecordedStart> Starts() const;
  bool startSucceeds = true;

 private:
  class RecordingFile;
  mutable std::mutex mutex_;
  std::vector<std::wstring> opened_;
  std::vector<std::size_t> writes_;
  std::vector<RecordedStart> starts_;
};

}  // namespace vx::management::test
