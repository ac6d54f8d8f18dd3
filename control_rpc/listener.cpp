#include "control_rpc/listener.h"

namespace vx {

long RunControlRpcListener(RpcServerCalls& rpc) {
  long status = rpc.UseProtocolSequenceEndpoint(kControlProtocolSequence, kControlMaxCalls, kControlEndpoint);
  if (status == 0) status = rpc.RegisterInterface(kRegisterLocalOnly, kControlMaxCalls);
  if (status == 0) status = rpc.Listen(kControlMinCallThreads, kControlMaxCalls, false);
  if (status != 0) rpc.EndProcess(status);
  return status;
}

bool StopControlRpcServer(RpcServerCalls& rpc, const std::function<bool(uint32_t ms)>& listenerEnded, int attempts) {
  bool ended = false;
  for (int attempt = 0; attempt < attempts && !ended; ++attempt) {
    // Not listening yet is a status, not a failure: the next attempt asks again.
    (void)rpc.StopListening();
    ended = listenerEnded(kStopWaitMs);
  }
  if (!ended) return false;
  // An interface never registered (the listener failed, or never started)
  // has nothing left to wait for: the status does not matter then.
  (void)rpc.UnregisterInterfaceAfterCalls();
  return true;
}

}  // namespace vx
