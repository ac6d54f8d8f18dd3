// Programs started from a Wine test as processes of their own, with their
// standard output and error caught in files.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

namespace vx::test {

struct ProcessOutcome {
  DWORD exitCode = 0xFFFFFFFF;
  bool finished = false;  // false: still running at the timeout, then ended
  std::string out;        // line ends as "\n"
  std::string err;
};

// Runs `commandLine` in `directory` with `input` on standard input and waits
// at most `timeoutMs`.
ProcessOutcome RunProcess(const std::wstring& commandLine, const std::filesystem::path& directory,
                          const std::string& input = "", DWORD timeoutMs = 30000);

// A program left running for the length of a test, ended when this goes.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::wstring& commandLine, const std::filesystem::path& directory);
  ~BackgroundProcess() { Stop(); }
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool Started() const { return process_ != nullptr; }
  bool Running() const;
  void Stop();

 private:
  HANDLE process_ = nullptr;
};

// "\"path\" args", for a command line.
std::wstring Quoted(const std::wstring& path);

}  // namespace vx::test
