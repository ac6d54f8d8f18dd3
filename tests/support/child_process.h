// A program a test starts as a child process, its standard output and
// error in files, and the small waits such tests make.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vx::test {

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// Polls `condition` until it holds or `bound` passed.
inline bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds bound) {
  const auto end = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return true;
}

// A program started with its standard output and error in files.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& arguments, const std::filesystem::path& out,
               const std::filesystem::path& err)
      : out_(out), err_(err) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return;  // not started: Started() says so
    const bool redirected =
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600) == 0 &&
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600) == 0;
    if (!redirected || posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    // Destroying the actions cannot fail for an initialized object.
    (void)posix_spawn_file_actions_destroy(&actions);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() {
    if (pid_ <= 0 || exited_) return;
    // A program that ended on its own has nothing to kill; Wait reaps it either way.
    (void)::kill(pid_, SIGKILL);
    (void)Wait();  // reaped so no zombie outlives the test; its code no longer matters
  }

  [[nodiscard]] bool Started() const { return pid_ > 0; }
  // Sends `signal`; false when the program could not be signalled.
  [[nodiscard]] bool Signal(int signal) const { return pid_ > 0 && ::kill(pid_, signal) == 0; }
  // Waits for the program to end; its exit code, or -1 when it did not exit.
  [[nodiscard]] int Wait() {
    if (pid_ <= 0) return -1;
    if (exited_) return code_;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) return -1;
    }
    return Record(status);
  }
  // Whether the program has ended (then Wait gives its code at once).
  [[nodiscard]] bool Exited() {
    if (pid_ <= 0 || exited_) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    (void)Record(status);  // kept for Wait
    return true;
  }
  [[nodiscard]] pid_t Pid() const { return pid_; }
  [[nodiscard]] std::string Output() const { return ReadFile(out_); }
  [[nodiscard]] std::string Errors() const { return ReadFile(err_); }

 private:
  std::filesystem::path out_, err_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;

  int Record(int status) {
    exited_ = true;
    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return code_;
  }
};

}  // namespace vx::test
