#include "tests/control_rpc/windows/child_process.h"

#include <atomic>
#include <fstream>
#include <sstream>

namespace vx::test {
namespace {

HANDLE InheritableFile(const std::filesystem::path& path, DWORD access, DWORD creation) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, creation,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  std::string out;
  for (char c : text.str())
    if (c != '\r') out += c;
  return out;
}

std::filesystem::path ScratchName(const std::filesystem::path& directory, const char* what) {
  static std::atomic<int> counter{0};
  return directory / ("child-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + "." + what);
}

}  // namespace

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

ProcessOutcome RunProcess(const std::wstring& commandLine, const std::filesystem::path& directory,
                          const std::string& input, DWORD timeoutMs) {
  ProcessOutcome outcome;
  const auto inPath = ScratchName(directory, "in");
  const auto outPath = ScratchName(directory, "out");
  const auto errPath = ScratchName(directory, "err");
  std::ofstream(inPath, std::ios::binary) << input;
  HANDLE in = InheritableFile(inPath, GENERIC_READ, OPEN_EXISTING);
  HANDLE out = InheritableFile(outPath, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = InheritableFile(errPath, GENERIC_WRITE, CREATE_ALWAYS);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  std::wstring line = commandLine;
  const std::wstring cwd = directory.wstring();
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, cwd.c_str(), &startup, &process)) {
    outcome.finished = WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (!outcome.finished) TerminateProcess(process.hProcess, 0xFFFFFFFF);
    GetExitCodeProcess(process.hProcess, &outcome.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  outcome.out = ReadText(outPath);
  outcome.err = ReadText(errPath);
  std::error_code ignored;
  for (const auto& path : {inPath, outPath, errPath}) std::filesystem::remove(path, ignored);
  return outcome;
}

BackgroundProcess::BackgroundProcess(const std::wstring& commandLine, const std::filesystem::path& directory) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring line = commandLine;
  const std::wstring cwd = directory.wstring();
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, cwd.c_str(), &startup, &process)) {
    CloseHandle(process.hThread);
    process_ = process.hProcess;
  }
}

bool BackgroundProcess::Running() const {
  return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

void BackgroundProcess::Stop() {
  if (!process_) return;
  TerminateProcess(process_, 0);
  WaitForSingleObject(process_, 10000);
  CloseHandle(process_);
  process_ = nullptr;
}

}  // namespace vx::test
