#include "control_rpc/windows/control_rpc_listener.h"

#include <windows.h>

#include <rpc.h>

#include <string>
#include <thread>

#include "control_rpc/listener.h"
#include "control_rpc/windows/server_routines.h"

namespace vx {
namespace {

static_assert(kRegisterLocalOnly == RPC_IF_ALLOW_LOCAL_ONLY);

class WinRpcServerCalls final : public RpcServerCalls {
 public:
  long UseProtocolSequenceEndpoint(std::wstring_view protocolSequence, unsigned maxCalls,
                                   std::wstring_view endpoint) override {
    std::wstring sequence(protocolSequence);
    std::wstring name(endpoint);
    return RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(sequence.data()), maxCalls,
                                  reinterpret_cast<RPC_WSTR>(name.data()), nullptr);
  }
  long RegisterInterface(unsigned flags, unsigned maxCalls) override {
    return RpcServerRegisterIfEx(ControlInterfaceSpec(), nullptr, nullptr, flags, maxCalls, nullptr);
  }
  long Listen(unsigned minCallThreads, unsigned maxCalls, bool dontWait) override {
    return RpcServerListen(minCallThreads, maxCalls, dontWait ? TRUE : FALSE);
  }
  void EndProcess(long status) override { ExitProcess(static_cast<UINT>(status)); }
};

}  // namespace

void ControlRpcListener() {
  WinRpcServerCalls rpc;
  RunControlRpcListener(rpc);
}

void StartControlRpcListener(MonitorShared& shared, const Registry& registry) {
  // Lives as long as the process: the interface is never unregistered.
  UseControlOperations(new ControlOperations(*shared.policy, shared.newDeviceQueue, registry));
  std::thread(ControlRpcListener).detach();
}

}  // namespace vx
