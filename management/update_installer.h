// Where a pushed installer goes: the file it is written to and the process
// that starts it. On Windows _wfopen/fwrite/fclose and CreateProcessW
// (management/windows/win_update_installer.h); tests write the file for real
// and record the start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vx::management {

class UpdateFile {
 public:
  virtual ~UpdateFile() = default;
  // Writes all `count` bytes; false when any of them could not be written.
  [[nodiscard]] virtual bool Write(const uint8_t* bytes, std::size_t count) = 0;
  // Closes the file; false when what was written could not be flushed. Called
  // at most once; a file destroyed unclosed is closed then.
  [[nodiscard]] virtual bool Close() = 0;
};

class UpdateInstaller {
 public:
  virtual ~UpdateInstaller() = default;
  // Creates the file, or cuts an existing one to length 0, for binary
  // writing. nullptr when it cannot be opened.
  [[nodiscard]] virtual std::unique_ptr<UpdateFile> CreateTarget(const std::wstring& path) = 0;
  // Starts a new process: no application name, `commandLine`, handles not
  // inherited, the service's environment, `currentDirectory`. Does not wait
  // for it. False when it could not be started.
  [[nodiscard]] virtual bool StartProcess(const std::wstring& commandLine, const std::wstring& currentDirectory) = 0;
};

}  // namespace vx::management
