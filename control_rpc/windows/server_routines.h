// The server side of the interface description: the routines its stub calls.
#pragma once

#include <rpc.h>

#include "control_rpc/operations.h"

namespace vx {

// The interface's server description, for RpcServerRegisterIfEx.
RPC_IF_HANDLE ControlInterfaceSpec();

void UseControlOperations(ControlOperations* operations);

}  // namespace vx
