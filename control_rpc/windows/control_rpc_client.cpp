#include "control_rpc/windows/control_rpc_client.h"

#include <windows.h>

#include <rpc.h>

#include <cstring>

#include "control_rpc/listener.h"
#include "control_rpc/windows/guarded_call.h"
// The shared records are defined: the generated header declares only the
// interface and its client stubs.
#define VX_DEVICE_POLICY_DEFINED
#include "control_rpc/DeviceControl.h"

namespace vx {
namespace {

// Runs `call` through VxGuardedCall, which catches the run time's exceptions.
template <typename Call>
unsigned long Guarded(Call& call) {
  return VxGuardedCall([](void* context) { (*static_cast<Call*>(context))(); }, &call);
}

// Runs `call` when the binding exists; its result reaches `result` only when
// the call ran.
template <typename Call>
unsigned long Run(unsigned long bindStatus, int& result, Call&& call) {
  if (bindStatus != 0) return bindStatus;
  int value = 0;
  auto guarded = [&] { value = call(); };
  const unsigned long status = Guarded(guarded);
  if (status == 0) result = value;
  return status;
}

}  // namespace

ControlRpcClient::ControlRpcClient() {
  std::wstring sequence(kControlProtocolSequence);
  std::wstring endpoint(kControlEndpoint);
  RPC_WSTR binding = nullptr;
  bindStatus_ = RpcStringBindingComposeW(nullptr, reinterpret_cast<RPC_WSTR>(sequence.data()), nullptr,
                                         reinterpret_cast<RPC_WSTR>(endpoint.data()), nullptr, &binding);
  if (bindStatus_ == 0) {
    bindStatus_ = RpcBindingFromStringBindingW(binding, &DeviceControl_IfHandle);
    (void)RpcStringFreeW(&binding);  // only the text's memory: nothing to do if it fails
  }
}

ControlRpcClient::~ControlRpcClient() {
  // A binding that cannot be freed is gone with the process all the same.
  if (bindStatus_ == 0) (void)RpcBindingFree(&DeviceControl_IfHandle);
}

unsigned long ControlRpcClient::SetDriveLocks(uint32_t mask, int& result) {
  return Run(bindStatus_, result, [&] { return ::SetDriveLocks(mask); });
}

unsigned long ControlRpcClient::GetDriveLocks(int& result) {
  return Run(bindStatus_, result, [&] { return ::GetDriveLocks(); });
}

unsigned long ControlRpcClient::CheckPassword(const std::string& candidate, int& result) {
  return Run(bindStatus_, result, [&] { return ::CheckPassword(candidate.c_str()); });
}

unsigned long ControlRpcClient::ChangePassword(const std::string& current, const std::string& newPassword,
                                               uint32_t followParent, int& result) {
  return Run(bindStatus_, result, [&] { return ::ChangePassword(current.c_str(), newPassword.c_str(), followParent); });
}

unsigned long ControlRpcClient::GetPolicy(DEVICE_POLICY& policy, int& result) {
  // Received into a copy, so a failed call leaves `policy` as it was.
  DEVICE_POLICY received;
  std::memset(&received, 0, sizeof received);
  const unsigned long status = Run(bindStatus_, result, [&] { return ::GetPolicy(&received); });
  if (status == 0) policy = received;
  return status;
}

unsigned long ControlRpcClient::SetPolicy(const DEVICE_POLICY& policy, int& result) {
  return Run(bindStatus_, result, [&] { return ::SetPolicy(&policy); });
}

unsigned long ControlRpcClient::Ping(int& result) {
  return Run(bindStatus_, result, [] { return ::Ping(); });
}

unsigned long ControlRpcClient::Reserved(int number, int& result) {
  using Routine = int (*)();
  static constexpr Routine routines[] = {::Reserved7,  ::Reserved8,  ::Reserved9,  ::Reserved10,
                                         ::Reserved11, ::Reserved12, ::Reserved13, ::Reserved14,
                                         ::Reserved15, ::Reserved16, ::Reserved17};
  if (number < 7 || number > 17) return RPC_S_PROCNUM_OUT_OF_RANGE;
  return Run(bindStatus_, result, [&] { return routines[number - 7](); });
}

unsigned long ControlRpcClient::PopDeviceArrival(USB_RULE& entry, int& result) {
  USB_RULE received;
  std::memset(&received, 0, sizeof received);
  const unsigned long status = Run(bindStatus_, result, [&] { return ::PopDeviceArrival(&received); });
  if (status == 0) entry = received;
  return status;
}

unsigned long ControlRpcClient::GetLanguage(uint32_t size, uint8_t* name, int& result) {
  return Run(bindStatus_, result, [&] { return ::GetLanguage(size, name); });
}

}  // namespace vx
