// Load for the control interface: THREADS clients at once, each calling
// GetPolicy and SetDriveLocks in turn until SECONDS have passed, then one
// last SetDriveLocks with FINAL_MASK. Every GetPolicy must show the rule
// count EXPECTED_RULES. Prints the counts; exits 0 only when no call failed.
//
//   control_rpc_load_client.exe THREADS SECONDS EXPECTED_RULES FINAL_MASK
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "control_rpc/windows/control_rpc_client.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: control_rpc_load_client THREADS SECONDS EXPECTED_RULES FINAL_MASK\n");
    return 2;
  }
  const int threads = std::atoi(argv[1]);
  const int seconds = std::atoi(argv[2]);
  const int expectedRules = std::atoi(argv[3]);
  const uint32_t finalMask = static_cast<uint32_t>(std::atoi(argv[4]));

  vx::ControlRpcClient client;  // one binding; the run time opens a connection per concurrent call
  std::atomic<long> calls{0}, failures{0}, wrongResults{0};
  std::atomic<unsigned long> firstFailure{0};
  std::atomic<int> started{0};
  auto noteFailure = [&](unsigned long status) {
    ++failures;
    unsigned long none = 0;
    firstFailure.compare_exchange_strong(none, status);
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      ++started;
      while (started.load() < threads) Sleep(1);  // all start together
      for (uint32_t i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
        DEVICE_POLICY policy;
        int result = 0;
        unsigned long status = client.GetPolicy(policy, result);
        ++calls;
        if (status != 0) {
          noteFailure(status);
          continue;
        }
        if (result != 1 || policy.count != expectedRules || policy.lockCdDvd > 1 || policy.lockFloppy > 1)
          ++wrongResults;
        status = client.SetDriveLocks(((t + i) % 4) * 2, result);
        ++calls;
        if (status != 0) {
          noteFailure(status);
        } else if (result != 1) {
          ++wrongResults;
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();

  int result = 0;
  const unsigned long finalStatus = client.SetDriveLocks(finalMask, result);
  std::printf("threads %d calls %ld failures %ld wrong %ld first-failure %lu final %lu\n", threads, calls.load(),
              failures.load(), wrongResults.load(), firstFailure.load(), finalStatus);
  return failures == 0 && wrongResults == 0 && finalStatus == 0 && result == 1 ? 0 : 1;
}
