// 200 clients at once against the listener for 30 seconds, under Wine.
#include <gtest/gtest.h>

#include "policy/policy_store.h"
#include "tests/control_rpc/windows/server_fixture.h"

namespace vx {
namespace {

class ControlRpcLoad : public test::ServedInterface {};

TEST_F(ControlRpcLoad, TwoHundredClientsForThirtySeconds) {
  ASSERT_EQ(Run(L"follow-parent rules off").exitCode, 0u);
  ASSERT_EQ(Run(L"follow-parent cdrom off").exitCode, 0u);
  ASSERT_EQ(Run(L"follow-parent floppy off").exitCode, 0u);
  ASSERT_EQ(Run(L"rule add --vendor SanDisk --action block --at 1").exitCode, 0u);
  ASSERT_EQ(Run(L"rule add --serial 4C53 --exact serial --action read-only --at 2").exitCode, 0u);

  // Every call must succeed; the last change sets the floppy lock alone.
  const test::ProcessOutcome load =
      test::RunProcess(test::Quoted(VX_LOAD_CLIENT_PATH) + L" 200 30 3 4", installDir_.path(), "", 180000);
  ASSERT_TRUE(load.finished);
  EXPECT_EQ(load.exitCode, 0u) << load.out << load.err;
  std::cout << load.out;

  EXPECT_EQ(Run(L"locks show --json").out, "{\"mask\": 4, \"cdrom\": false, \"floppy\": true}\n");
  const test::ProcessOutcome rules = Run(L"rule list");
  EXPECT_EQ(rules.out,
            "1. block      vendor contains \"SanDisk\"\n2. read-only  serial is \"4C53\"\n3. allow      every disk\n");

  // The policy file holds the same after the service ends.
  server_.reset();
  PolicyStore restarted(installDir_ / "configdb.dat");
  restarted.LoadPolicy();
  EXPECT_EQ(restarted.GetDriveLocks(), 4u);
  DEVICE_POLICY policy;
  restarted.GetPolicy(policy);
  EXPECT_EQ(policy.count, 3);
  EXPECT_STREQ(policy.rules[1].serial, "4C53");
}

}  // namespace
}  // namespace vx
