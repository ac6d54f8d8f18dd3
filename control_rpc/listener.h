// ControlRpcListener's order of work, over a seam for the three calls of the
// RPC run time: the pipe endpoint, the interface registration for local
// callers only, and the listen call that does not return while the server
// listens. Any failure ends the process with the run time's status.
#pragma once

#include <cstdint>
#include <string_view>

namespace vx {

inline constexpr std::wstring_view kControlProtocolSequence = L"ncacn_np";
inline constexpr std::wstring_view kControlEndpoint = L"\\pipe\\DeviceControlInterface";
inline constexpr unsigned kControlMaxCalls = 200;
inline constexpr unsigned kControlMinCallThreads = 10;
// The run time's "local callers only" registration flag: a network caller
// reaching the pipe is refused before any routine runs.
inline constexpr unsigned kRegisterLocalOnly = 0x0020;

class RpcServerCalls {
 public:
  virtual ~RpcServerCalls() = default;
  // Each returns the run time's status, 0 for success.
  virtual long UseProtocolSequenceEndpoint(std::wstring_view protocolSequence, unsigned maxCalls,
                                           std::wstring_view endpoint) = 0;
  // The interface with the routine table of its description, no manager
  // type, no security callback.
  virtual long RegisterInterface(unsigned flags, unsigned maxCalls) = 0;
  virtual long Listen(unsigned minCallThreads, unsigned maxCalls, bool dontWait) = 0;
  // Ends the process with `status` as its exit code (returns only in tests).
  virtual void EndProcess(long status) = 0;
};

// Makes the three calls in order; on the first nonzero status, ends the
// process with it and returns it. Returns 0 only if the listen call returns.
long RunControlRpcListener(RpcServerCalls& rpc);

}  // namespace vx
