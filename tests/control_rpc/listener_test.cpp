// The listener's three calls of the RPC run time, their arguments and order,
// the process exit on a failure, and the stop, through the seam.
#include "control_rpc/listener.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vx {
namespace {

class RecordingRpc final : public RpcServerCalls {
 public:
  explicit RecordingRpc(std::vector<long> statuses) : statuses_(std::move(statuses)) {}

  long UseProtocolSequenceEndpoint(std::wstring_view protocolSequence, unsigned maxCalls,
                                   std::wstring_view endpoint) override {
    sequence = protocolSequence;
    endpointName = endpoint;
    endpointMaxCalls = maxCalls;
    return Next("endpoint");
  }
  long RegisterInterface(unsigned flags, unsigned maxCalls) override {
    registerFlags = flags;
    registerMaxCalls = maxCalls;
    return Next("register");
  }
  long Listen(unsigned minThreads, unsigned maxCalls, bool dontWait) override {
    listenMinThreads = minThreads;
    listenMaxCalls = maxCalls;
    listenDontWait = dontWait;
    return Next("listen");
  }
  void EndProcess(long status) override { exitStatuses.push_back(status); }
  long StopListening() override {
    calls.push_back("stop");
    return listening ? 0 : 1715;  // RPC_S_NOT_LISTENING
  }
  long UnregisterInterfaceAfterCalls() override {
    calls.push_back("unregister");
    return 0;
  }

  bool listening = true;

  std::vector<std::string> calls;
  std::vector<long> exitStatuses;
  std::wstring sequence, endpointName;
  unsigned endpointMaxCalls = 0, registerFlags = 0xFFFF, registerMaxCalls = 0, listenMinThreads = 0, listenMaxCalls = 0;
  bool listenDontWait = true;

 private:
  long Next(const char* call) {
    calls.push_back(call);
    return calls.size() <= statuses_.size() ? statuses_[calls.size() - 1] : 0;
  }
  std::vector<long> statuses_;
};

TEST(ControlRpcListener, EndpointThenLocalOnlyRegistrationThenWaitingListen) {
  RecordingRpc rpc({0, 0, 0});
  ASSERT_EQ(RunControlRpcListener(rpc), 0);
  EXPECT_EQ(rpc.calls, (std::vector<std::string>{"endpoint", "register", "listen"}));
  EXPECT_EQ(rpc.sequence, L"ncacn_np");
  EXPECT_EQ(rpc.endpointName, L"\\pipe\\DeviceControlInterface");
  EXPECT_EQ(rpc.endpointMaxCalls, 200u);
  EXPECT_EQ(rpc.registerFlags, 0x0020u);  // local callers only, nothing else
  EXPECT_EQ(rpc.registerMaxCalls, 200u);
  EXPECT_EQ(rpc.listenMinThreads, 10u);
  EXPECT_EQ(rpc.listenMaxCalls, 200u);
  EXPECT_FALSE(rpc.listenDontWait);
  EXPECT_TRUE(rpc.exitStatuses.empty());
}

TEST(ControlRpcListener, AFailedCallEndsTheProcessWithItsStatus) {
  const struct {
    std::vector<long> statuses;
    std::size_t callsMade;
    long status;
  } cases[] = {
      {{1740}, 1, 1740},        // endpoint already used
      {{0, 1717}, 2, 1717},     // interface refused
      {{0, 0, 1713}, 3, 1713},  // already listening
  };
  for (const auto& c : cases) {
    RecordingRpc rpc(c.statuses);
    EXPECT_EQ(RunControlRpcListener(rpc), c.status);
    EXPECT_EQ(rpc.calls.size(), c.callsMade);
    EXPECT_EQ(rpc.exitStatuses, std::vector<long>{c.status});
  }
}

TEST(ControlRpcListenerStop, StopsListeningWaitsForTheListenerThenUnregistersAfterTheLastCall) {
  const struct {
    const char* what;
    int endsAfterStops;  // the listener thread ends after this many stops; 0: never
    bool listening;
    std::vector<std::string> calls;
    bool stopped;
  } cases[] = {
      {"listening: one stop", 1, true, {"stop", "unregister"}, true},
      // The stop came before the listen call began, so the run time had no
      // listen to end: it is asked again until the listener ends.
      {"stop before the listen began", 3, false, {"stop", "stop", "stop", "unregister"}, true},
      // A listener that never ends leaves the interface registered: calls
      // may still be running in it.
      {"listener never ends", 0, true, {"stop", "stop", "stop", "stop"}, false},
  };
  for (const auto& c : cases) {
    RecordingRpc rpc({});
    rpc.listening = c.listening;
    int waits = 0;
    std::vector<uint32_t> waitedMs;
    const bool stopped = StopControlRpcServer(
        rpc,
        [&](uint32_t ms) {
          waitedMs.push_back(ms);
          return c.endsAfterStops != 0 && ++waits >= c.endsAfterStops;
        },
        4);
    EXPECT_EQ(stopped, c.stopped) << c.what;
    EXPECT_EQ(rpc.calls, c.calls) << c.what;
    EXPECT_EQ(waitedMs, std::vector<uint32_t>(std::count(c.calls.begin(), c.calls.end(), "stop"), kStopWaitMs))
        << c.what;
    EXPECT_TRUE(rpc.exitStatuses.empty()) << c.what;
  }
}

}  // namespace
}  // namespace vx
