// The control interface over the real named pipe under Wine: the listener in
// the test server's process, vxctl.exe and this test's own client in others.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "control_rpc/windows/control_rpc_client.h"
#include "tests/control_rpc/windows/server_fixture.h"

namespace vx {
namespace {

using test::ProcessOutcome;

TEST(ControlRpcStoppedService, VxctlSaysSoAndExitsNonZero) {
  test::TempDir dir;
  for (const wchar_t* args : {L"ping", L"policy show --json", L"arrivals", L"locks set --cdrom on"}) {
    const ProcessOutcome run = test::Vxctl(args, dir.path());
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 3u) << run.err;
    EXPECT_EQ(run.err, "vxctl: the Vestara Device Control service is not running (RPC error 1722)\n");
  }
  // The client catches the run time's exception: a status, not a crash.
  ControlRpcClient client;
  int result = -5;
  EXPECT_EQ(client.Ping(result), kRpcServerUnavailable);
  EXPECT_EQ(result, -5);
  DEVICE_POLICY policy{};
  policy.count = 42;
  EXPECT_EQ(client.GetPolicy(policy, result), kRpcServerUnavailable);
  EXPECT_EQ(policy.count, 42);
}

class ControlRpcUnderWine : public test::ServedInterface {};

TEST_F(ControlRpcUnderWine, EveryOperationRoundTripsWithWholeRecords) {
  ControlRpcClient client;
  int result = -1;
  ASSERT_EQ(client.Ping(result), 0u);
  EXPECT_EQ(result, 1);
  for (int number = 7; number <= 17; ++number) {
    result = -1;
    EXPECT_EQ(client.Reserved(number, result), 0u) << number;
    EXPECT_EQ(result, 0) << number;
  }

  // The default policy, then a record filled to its last byte both ways.
  DEVICE_POLICY policy;
  std::memset(&policy, 0xCC, sizeof policy);
  ASSERT_EQ(client.GetPolicy(policy, result), 0u);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(policy.count, 1);
  EXPECT_EQ(policy.rules[0].action, ACTION_ALLOW);
  EXPECT_EQ(policy.ruleUsb__Inherit, 1);
  EXPECT_EQ(policy.password__Inherit, 1);
  EXPECT_EQ(policy.padding[1], 0);  // nothing of the server's heap crosses

  DEVICE_POLICY sent{};
  for (int i = 0; i < 124; ++i) {
    USB_RULE& rule = sent.rules[i];
    std::memset(rule.vendor, 'A' + i % 26, 63);
    std::memset(rule.product, 'a' + i % 26, 63);
    std::memset(rule.revision, '0' + i % 10, 63);
    std::memset(rule.serial, 'Z' - i % 26, 63);
    rule.flags = 0x100u * i + 0xFF;
    rule.action = 1 + i % 3;
  }
  sent.count = 124;
  sent.lockCdDvd = 1;
  sent.lockFloppy = 7;
  ASSERT_EQ(client.SetPolicy(sent, result), 0u);
  EXPECT_EQ(result, 1);
  DEVICE_POLICY read;
  std::memset(&read, 0xCC, sizeof read);
  ASSERT_EQ(client.GetPolicy(read, result), 0u);
  EXPECT_EQ(read.count, 124);
  EXPECT_EQ(std::memcmp(read.rules, sent.rules, 124 * sizeof(USB_RULE)), 0);
  EXPECT_EQ(read.lockCdDvd, 1);
  EXPECT_EQ(read.lockFloppy, 7);
  EXPECT_EQ(read.ruleUsb__Inherit, 0);
  EXPECT_EQ(read.password__Inherit, 1);  // the last flag byte, at 33,805

  sent.count = 125;
  ASSERT_EQ(client.SetPolicy(sent, result), 0u);
  EXPECT_EQ(result, 0);

  ASSERT_EQ(client.SetDriveLocks(2, result), 0u);
  ASSERT_EQ(client.GetDriveLocks(result), 0u);
  EXPECT_EQ(result, 2);

  ASSERT_EQ(client.CheckPassword("", result), 0u);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(client.ChangePassword("wrong", "x", 0, result), 0u);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(client.ChangePassword("", std::string(127, 'p'), 0, result), 0u);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(client.CheckPassword(std::string(127, 'p'), result), 0u);
  EXPECT_EQ(result, 1);

  uint8_t name[16];
  std::memset(name, 0xAA, sizeof name);
  ASSERT_EQ(client.GetLanguage(9, name, result), 0u);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(client.GetLanguage(10, name, result), 0u);
  EXPECT_EQ(result, 1);
  EXPECT_STREQ(reinterpret_cast<char*>(name), "english");

  // Whatever disks the prefix holds were queued at start; then nothing.
  USB_RULE entry;
  for (int i = 0; i < 1000 && client.PopDeviceArrival(entry, result) == 0 && result == 1; ++i) {
  }
  ASSERT_EQ(client.PopDeviceArrival(entry, result), 0u);
  EXPECT_EQ(result, 0);
}

TEST_F(ControlRpcUnderWine, VxctlCommands) {
  ProcessOutcome run = Run(L"policy show");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_NE(run.out.find("  1. allow      every disk\n"), std::string::npos) << run.out;

  EXPECT_EQ(Run(L"follow-parent rules off").exitCode, 0u);
  EXPECT_EQ(Run(L"follow-parent cdrom off").exitCode, 0u);
  run = Run(L"rule add --vendor SanDisk --product \"Cruzer Blade\" --exact product --action read-only --at 1");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(run.out, "Rule 1 added: read-only vendor contains \"SanDisk\" and product is \"Cruzer Blade\"\n");
  run = Run(L"rule list");
  EXPECT_EQ(run.out,
            "1. read-only  vendor contains \"SanDisk\" and product is \"Cruzer Blade\"\n2. allow      every disk\n");

  run = Run(L"rule add --vendor " + std::wstring(64, L'v') + L" --action block");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_EQ(run.err, "vxctl: --vendor: the vendor text is 64 characters; a pattern holds at most 63\n");

  run = Run(L"locks set --cdrom off");
  EXPECT_EQ(run.exitCode, 0u) << run.err;
  EXPECT_EQ(run.out, "CD/DVD drives:  unlocked\nFloppy drives:  locked\n");

  // An option the command does not take is refused before anything is read or sent.
  run = Run(L"password change --password X", "\nignored\n");
  EXPECT_EQ(run.exitCode, 2u);
  EXPECT_EQ(run.err,
            "vxctl: password change does not take --password (vxctl password change --help tells what it takes)\n");
  run = Run(L"password change --help");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.out.rfind("usage: vxctl password change [--current TEXT] [--new TEXT]\n", 0), 0u) << run.out;

  EXPECT_EQ(Run(L"password change", "\nsecret\n").exitCode, 0u);
  run = Run(L"password check --password wrong");
  EXPECT_EQ(run.exitCode, 1u);
  EXPECT_EQ(run.err, "vxctl: the password is wrong\n");
  EXPECT_EQ(Run(L"password check", "secret\n").exitCode, 0u);

  EXPECT_EQ(Run(L"language --json").out, "{\"language\": \"english\"}\n");
  run = Run(L"policy show --json");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.out.find("\"cdrom\": {\"locked\": false, \"followParent\": false"), std::string::npos) << run.out;
  EXPECT_EQ(Run(L"rule remove 1").exitCode, 0u);
  EXPECT_EQ(Run(L"rule list").out, "1. allow      every disk\n");
}

// GetLanguage's buffer is one the run time allocates at the size the caller
// names, before the routine runs: the interface bounds the size at 65,536
// bytes. A client made without the bound sends larger sizes, and the
// service's run time refuses each (the bound error, a status: the routine
// never ran, so no result came back); 65,536 bytes still work, and so does
// the service afterwards.
TEST_F(ControlRpcUnderWine, LanguageSizeAboveTheBoundIsRefusedByTheRunTime) {
  auto unbounded = [&](const std::wstring& size) {
    return test::RunProcess(test::Quoted(VX_UNBOUNDED_CLIENT_PATH) + L" " + size, installDir_.path());
  };
  ProcessOutcome run = unbounded(L"65536");
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.out, "status 0 result 1\n") << run.err;
  for (const wchar_t* size : {L"65537", L"1048576", L"4294967295"}) {
    run = unbounded(size);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.out, "status 1734 result -1\n") << "size " << std::string(size, size + wcslen(size)) << run.err;
  }

  // This project's own client holds the bound too: the same refusal.
  ControlRpcClient client;
  std::vector<uint8_t> name(70000, 0xAA);
  int result = -5;
  EXPECT_EQ(client.GetLanguage(65537, name.data(), result), 1734u);
  EXPECT_EQ(result, -5);
  EXPECT_EQ(name[0], 0xAA);
  ASSERT_EQ(client.GetLanguage(65536, name.data(), result), 0u);
  EXPECT_EQ(result, 1);
  EXPECT_STREQ(reinterpret_cast<char*>(name.data()), "english");
  ASSERT_EQ(client.Ping(result), 0u);
  EXPECT_EQ(result, 1);
}

// USB storage disks made in the registry are seen by the monitor's next
// pass, judged by the rules, and come back from vxctl arrivals with their
// action, oldest first.
class RegistryDisk {
 public:
  RegistryDisk(const std::wstring& device, const std::wstring& instance)
      : device_(L"SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\" + device) {
    HKEY key = nullptr;
    created_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (device_ + L"\\" + instance).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                               nullptr, &key, nullptr) == ERROR_SUCCESS;
    if (!created_) return;
    const wchar_t classGuid[] = L"{4d36e967-e325-11ce-bfc1-08002be10318}";
    RegSetValueExW(key, L"ClassGUID", 0, REG_SZ, reinterpret_cast<const BYTE*>(classGuid), sizeof classGuid);
    RegCloseKey(key);
  }
  ~RegistryDisk() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, device_.c_str()); }
  bool Created() const { return created_; }

 private:
  std::wstring device_;
  bool created_ = false;
};

TEST_F(ControlRpcUnderWine, RegistryDisksArriveWithTheirActionsOldestFirst) {
  ASSERT_EQ(Run(L"follow-parent rules off").exitCode, 0u);
  ASSERT_EQ(Run(L"rule add --vendor VxProbe --action block --at 1").exitCode, 0u);
  Run(L"arrivals");  // whatever the prefix held at start

  const std::string blocked =
      "{\"vendor\": \"VxProbe\", \"product\": \"Rpc Disk\", \"revision\": \"2.10\", \"serial\": "
      "\"VXRPC0001\", \"action\": \"block\", \"actionCode\": 1}";
  const std::string allowed =
      "{\"vendor\": \"VxOther\", \"product\": \"Rpc Disk\", \"revision\": \"1.00\", \"serial\": "
      "\"VXRPC0002\", \"action\": \"allow\", \"actionCode\": 3}";
  std::string seen;
  auto waitFor = [&](const std::string& entry) {
    for (int attempt = 0; attempt < 20 && seen.find(entry) == std::string::npos; ++attempt) {
      Sleep(500);
      const ProcessOutcome run = Run(L"arrivals --json");
      ASSERT_EQ(run.exitCode, 0u) << run.err;
      seen += run.out;
    }
  };
  RegistryDisk first(L"Disk&Ven_VxProbe&Prod_Rpc_Disk&Rev_2.10", L"VXRPC0001&0");
  ASSERT_TRUE(first.Created());
  waitFor(blocked);
  RegistryDisk second(L"Disk&Ven_VxOther&Prod_Rpc_Disk&Rev_1.00", L"VXRPC0002&0");
  ASSERT_TRUE(second.Created());
  waitFor(allowed);
  ASSERT_NE(seen.find(blocked), std::string::npos) << seen;
  ASSERT_NE(seen.find(allowed), std::string::npos) << seen;
  EXPECT_LT(seen.find(blocked), seen.find(allowed));
  // Each arrival is handed out once.
  EXPECT_EQ(seen.find(blocked, seen.find(blocked) + 1), std::string::npos);
}

}  // namespace
}  // namespace vx
