// The control interface's identity as the generated server description
// holds it: what a client binds to and which routine serves each operation
// number. A change of the interface description that moves or drops an
// operation fails here, before any client notices.
#include <gtest/gtest.h>
#include <windows.h>

#include <rpc.h>
#include <rpcndr.h>

#include <cstring>

#include "common/filter_control.h"
#include "policy/device_policy.h"
// The shared records are defined: the generated header declares only the
// interface and its routines.
#define VX_DEVICE_POLICY_DEFINED
#include "control_rpc/DeviceControl.h"

namespace vx {
namespace {

const RPC_SERVER_INTERFACE& ServerInterface() {
  return *static_cast<const RPC_SERVER_INTERFACE*>(DeviceControl_v1_0_s_ifspec);
}

bool SameGuid(const GUID& guid, const GUID& expected) { return std::memcmp(&guid, &expected, sizeof guid) == 0; }

// A routine as the table holds it (any function type, through the generic one).
template <typename Function>
SERVER_ROUTINE Routine(Function* function) {
  return reinterpret_cast<SERVER_ROUTINE>(reinterpret_cast<void (*)()>(function));
}

TEST(ControlInterfaceIdentity, UuidVersionAndTransferSyntax) {
  const RPC_SERVER_INTERFACE& server = ServerInterface();
  EXPECT_EQ(server.Length, sizeof(RPC_SERVER_INTERFACE));
  const GUID interfaceId = {0x037c4400, 0x5995, 0x403b, {0xad, 0x2e, 0xf5, 0xfa, 0x3f, 0xe6, 0x76, 0xc9}};
  EXPECT_TRUE(SameGuid(server.InterfaceId.SyntaxGUID, interfaceId));
  EXPECT_EQ(server.InterfaceId.SyntaxVersion.MajorVersion, 1);
  EXPECT_EQ(server.InterfaceId.SyntaxVersion.MinorVersion, 0);
  const GUID ndr = {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}};
  EXPECT_TRUE(SameGuid(server.TransferSyntax.SyntaxGUID, ndr));
  EXPECT_EQ(server.TransferSyntax.SyntaxVersion.MajorVersion, 2);
  EXPECT_EQ(server.TransferSyntax.SyntaxVersion.MinorVersion, 0);
  // No endpoint of its own in the description: the listener names the pipe.
  EXPECT_EQ(server.RpcProtseqEndpointCount, 0u);
}

TEST(ControlInterfaceIdentity, TwentyOperationsWithTheRoutinesInTheirPlaces) {
  const RPC_SERVER_INTERFACE& server = ServerInterface();
  ASSERT_NE(server.DispatchTable, nullptr);
  ASSERT_EQ(server.DispatchTable->DispatchTableCount, 20u);
  // Every slot goes through the one interpreted stub (NdrServerCall2, here
  // through the program's import thunk), which finds its routine in the
  // server information's table.
  ASSERT_NE(server.DispatchTable->DispatchTable[0], nullptr);
  for (unsigned slot = 1; slot < 20; ++slot)
    EXPECT_EQ(server.DispatchTable->DispatchTable[slot], server.DispatchTable->DispatchTable[0]) << "slot " << slot;

  const auto* info = static_cast<const MIDL_SERVER_INFO*>(server.InterpreterInfo);
  ASSERT_NE(info, nullptr);
  ASSERT_NE(info->DispatchTable, nullptr);
  const SERVER_ROUTINE expected[20] = {
      Routine(&SetDriveLocks),
      Routine(&GetDriveLocks),
      Routine(&CheckPassword),
      Routine(&ChangePassword),
      Routine(&GetPolicy),
      Routine(&SetPolicy),
      Routine(&Ping),
      Routine(&Reserved7),
      Routine(&Reserved8),
      Routine(&Reserved9),
      Routine(&Reserved10),
      Routine(&Reserved11),
      Routine(&Reserved12),
      Routine(&Reserved13),
      Routine(&Reserved14),
      Routine(&Reserved15),
      Routine(&Reserved16),
      Routine(&Reserved17),
      Routine(&PopDeviceArrival),
      Routine(&GetLanguage),
  };
  // PopDeviceArrival at 18 and GetLanguage at 19, after the reserved places.
  for (unsigned slot = 0; slot < 20; ++slot) EXPECT_EQ(info->DispatchTable[slot], expected[slot]) << "slot " << slot;
}

}  // namespace
}  // namespace vx
