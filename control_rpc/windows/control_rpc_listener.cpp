#include "control_rpc/windows/control_rpc_listener.h"

#include <windows.h>

#include <rpc.h>

#include <mutex>
#include <string>

#include "control_rpc/listener.h"
#include "control_rpc/windows/rpc_caller_identity.h"
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
  long StopListening() override { return RpcMgmtStopServerListening(nullptr); }
  long UnregisterInterfaceAfterCalls() override { return RpcServerUnregisterIf(ControlInterfaceSpec(), nullptr, TRUE); }
};

// The listener's thread, kept so that a stop can wait for it. Process-wide
// and never freed, like everything the call threads use.
struct ListenerThread {
  std::mutex mutex;
  HANDLE handle = nullptr;
  bool stopped = false;
};
ListenerThread& listenerThread = *new ListenerThread;

DWORD WINAPI RunListener(LPVOID) {
  ControlRpcListener();
  return 0;
}

}  // namespace

void ControlRpcListener() {
  WinRpcServerCalls rpc;
  // A failure has ended the process already; 0 means a stop ended the listen.
  (void)RunControlRpcListener(rpc);
}

void StartControlRpcListener(MonitorShared& shared, const Registry& registry) {
  std::lock_guard<std::mutex> lock(listenerThread.mutex);
  if (listenerThread.stopped || listenerThread.handle) return;
  // Both live as long as the process: a call may still run while it exits.
  static const RpcCallerIdentity& caller = *new RpcCallerIdentity;
  UseControlOperations(new ControlOperations(*shared.policy, shared.newDeviceQueue, registry, caller));
  listenerThread.handle = CreateThread(nullptr, 0, RunListener, nullptr, 0, nullptr);
}

bool StopControlRpcListener() {
  std::lock_guard<std::mutex> lock(listenerThread.mutex);
  listenerThread.stopped = true;
  WinRpcServerCalls rpc;
  const HANDLE thread = listenerThread.handle;
  return StopControlRpcServer(
      rpc, [thread](uint32_t ms) { return thread == nullptr || WaitForSingleObject(thread, ms) == WAIT_OBJECT_0; });
}

}  // namespace vx
