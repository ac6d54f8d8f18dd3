#include "control_rpc/listener.h"

namespace vx {

long RunControlRpcListener(RpcServerCalls& rpc) {
  long status = rpc.UseProtocolSequenceEndpoint(kControlProtocolSequence, kControlMaxCalls, kControlEndpoint);
  if (status == 0) status = rpc.RegisterInterface(kRegisterLocalOnly, kControlMaxCalls);
  if (status == 0) status = rpc.Listen(kControlMinCallThreads, kControlMaxCalls, false);
  if (status != 0) rpc.EndProcess(status);
  return status;
}

}  // namespace vx
