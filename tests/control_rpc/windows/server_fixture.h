// The control interface served by control_rpc_test_server.exe in a process
// of its own, over a fresh install directory, and vxctl.exe run against it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/control_rpc/windows/child_process.h"
#include "tests/support/temp_dir.h"

namespace vx::test {

// Runs vxctl.exe with `args` (already quoted where needed) in `directory`.
inline ProcessOutcome Vxctl(const std::wstring& args, const std::filesystem::path& directory,
                            const std::string& input = "") {
  return RunProcess(Quoted(VX_VXCTL_PATH) + L" " + args, directory, input);
}

class ServedInterface : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<BackgroundProcess>(Quoted(VX_TEST_SERVER_PATH) + L" 600", installDir_.path());
    ASSERT_TRUE(server_->Started());
    // The listener is up once a ping is answered.
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (Vxctl(L"ping", installDir_.path()).exitCode == 0) return;
      ASSERT_TRUE(server_->Running()) << "the test server ended";
      Sleep(200);
    }
    FAIL() << "the test server does not answer";
  }
  void TearDown() override { server_.reset(); }

  ProcessOutcome Run(const std::wstring& args, const std::string& input = "") {
    return Vxctl(args, installDir_.path(), input);
  }

  TempDir installDir_;
  std::unique_ptr<BackgroundProcess> server_;
};

}  // namespace vx::test
