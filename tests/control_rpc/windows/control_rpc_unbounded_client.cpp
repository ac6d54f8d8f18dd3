// A client of the control interface made from its description without the
// bound on GetLanguage's size, as a client of someone else's making could
// be: it sends whatever size it is given, so a test can show that the
// service's run time refuses a size above the bound before the routine runs.
// Prints "status S result R" (R stays -1 when the routine did not run).
//
//   control_rpc_unbounded_client.exe SIZE
#include <windows.h>

#include <rpc.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "control_rpc/listener.h"
#include "control_rpc/windows/guarded_call.h"
#include "unbounded/DeviceControl.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: control_rpc_unbounded_client SIZE\n");
    return 2;
  }
  const unsigned long size = std::strtoul(argv[1], nullptr, 10);
  std::wstring sequence(vx::kControlProtocolSequence), endpoint(vx::kControlEndpoint);
  RPC_WSTR binding = nullptr;
  if (RpcStringBindingComposeW(nullptr, reinterpret_cast<RPC_WSTR>(sequence.data()), nullptr,
                               reinterpret_cast<RPC_WSTR>(endpoint.data()), nullptr, &binding) != RPC_S_OK ||
      RpcBindingFromStringBindingW(binding, &DeviceControl_IfHandle) != RPC_S_OK) {
    std::fprintf(stderr, "no binding\n");
    return 2;
  }
  (void)RpcStringFreeW(&binding);  // only the string's memory

  // Room for what the service may write back; the client stub writes the
  // reply into it. A refused call writes nothing.
  struct Call {
    unsigned int size;
    std::vector<unsigned char> name;
    int result = -1;
  } call{static_cast<unsigned int>(size), std::vector<unsigned char>(70000)};
  const unsigned long status = VxGuardedCall(
      [](void* context) {
        auto& c = *static_cast<Call*>(context);
        c.result = GetLanguage(c.size, c.name.data());
      },
      &call);
  std::printf("status %lu result %d\n", status, call.result);
  (void)RpcBindingFree(&DeviceControl_IfHandle);  // the process ends next
  return 0;
}
