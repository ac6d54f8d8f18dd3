// ControlRpcListener's order of work, over a seam for the calls of the RPC
// run time: the pipe endpoint, the interface registration for local callers
// only, and the listen call that does not return while the server listens.
// Any failure ends the process with the run time's status. A stop asks the
// run time to stop listening, waits for the listener to return and for the
// calls in progress to complete, so that nothing the routines use is freed
// under a running call.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace vx {

inline constexpr std::wstring_view kControlProtocolSequence = L"ncacn_np";
inline constexpr std::wstring_view kControlEndpoint = L"\\pipe\\DeviceControlInterface";
inline constexpr unsigned kControlMaxCalls = 200;
inline constexpr unsigned kControlMinCallThreads = 10;
// The run time's "local callers only" registration flag: a network caller
// reaching the pipe is refused before any routine runs.
inline constexpr unsigned kRegisterLocalOnly = 0x0020;
// How often a stop asks the listener to end before it gives up, each time
// waiting up to kStopWaitMs for the listener thread.
inline constexpr int kStopAttempts = 100;
inline constexpr uint32_t kStopWaitMs = 100;

class RpcServerCalls {
 public:
  virtual ~RpcServerCalls() = default;
  // Each returns the run time's status, 0 for success.
  [[nodiscard]] virtual long UseProtocolSequenceEndpoint(std::wstring_view protocolSequence, unsigned maxCalls,
                                                         std::wstring_view endpoint) = 0;
  // The interface with the routine table of its description, no manager
  // type, no security callback.
  [[nodiscard]] virtual long RegisterInterface(unsigned flags, unsigned maxCalls) = 0;
  [[nodiscard]] virtual long Listen(unsigned minCallThreads, unsigned maxCalls, bool dontWait) = 0;
  // Ends the process with `status` as its exit code (returns only in tests).
  virtual void EndProcess(long status) = 0;
  // Asks the waiting listen call to return; it returns once the calls in
  // progress have completed. Not listening (yet) is a nonzero status.
  [[nodiscard]] virtual long StopListening() = 0;
  // Unregisters the interface, waiting for its calls still in progress.
  [[nodiscard]] virtual long UnregisterInterfaceAfterCalls() = 0;
};

// Makes the three calls in order; on the first nonzero status, ends the
// process with it and returns it. Returns 0 only if the listen call returns,
// which it does after a stop.
[[nodiscard]] long RunControlRpcListener(RpcServerCalls& rpc);

// Stops what RunControlRpcListener serves. `listenerEnded(ms)` waits up to
// `ms` for the thread running RunControlRpcListener and tells whether it has
// ended (true when none was started). The stop is asked again while the
// listener has not ended, since a stop asked before the listen call began is
// lost; then the interface is unregistered after its last call. True once no
// call is in progress; false, with nothing unregistered, when the listener
// did not end within `attempts` tries.
[[nodiscard]] bool StopControlRpcServer(RpcServerCalls& rpc, const std::function<bool(uint32_t ms)>& listenerEnded,
                                        int attempts = kStopAttempts);

}  // namespace vx
