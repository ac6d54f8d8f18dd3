// vxctl's commands over the real operations, policy store and device queue.
#include "tools/vxctl/vxctl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "management/connection_record.h"
#include "management/management_settings.h"
#include "policy/rule_words.h"
#include "tests/control_rpc/local_control_service.h"
#include "tests/control_rpc/scripted_caller.h"
#include "tests/support/fake_registry.h"
#include "tests/support/json_check.h"
#include "tests/support/reference_policy.h"
#include "tests/support/temp_dir.h"
#include "tools/vxctl/command_table.h"
#include "tools/vxctl/json_text.h"

namespace vx {
namespace {

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

class VxctlTest : public ::testing::Test {
 protected:
  VxctlTest() : store_(dir_ / "configdb.dat"), ops_(store_, queue_, registry_, caller_), service_(ops_) {
    store_.LoadPolicy();
  }

  Outcome Vxctl(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = RunVxctl(args, service_, in, out, err);
    return {code, out.str(), err.str()};
  }

  // vxctl run by a process whose own rights `administrator` tells.
  Outcome VxctlWithRights(bool administrator, std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    const int code = RunVxctl(args, service_, in, out, err, {}, [administrator] { return administrator; });
    return {code, out.str(), err.str()};
  }

  // vxctl at a console where a person types `answers` in turn; each
  // question asked is kept. An answer of nullopt is the console's input
  // ending.
  Outcome VxctlAtConsole(std::vector<std::string> args, std::vector<std::optional<std::string>> answers,
                         std::vector<std::string>& questions) {
    std::istringstream in("standard input is not read at a console\n");
    std::ostringstream out, err;
    const SecretReader console = [&](const char* question) -> std::optional<std::string> {
      questions.push_back(question);
      if (answers.empty()) return std::nullopt;
      std::optional<std::string> answer = answers.front();
      answers.erase(answers.begin());
      return answer;
    };
    const int code = RunVxctl(args, service_, in, out, err, console);
    return {code, out.str(), err.str()};
  }

  // vxctl with the registry of its server commands.
  Outcome VxctlServer(std::vector<std::string> args, Registry& registry, bool administrator = true) {
    std::istringstream in;
    std::ostringstream out, err;
    const int code = RunVxctl(
        args, service_, in, out, err, {}, [administrator] { return administrator; }, &registry);
    return {code, out.str(), err.str()};
  }

  // Makes the rule list and both locks local, as an administrator would.
  void MakeLocal() {
    ASSERT_EQ(Vxctl({"follow-parent", "rules", "off"}).code, 0);
    ASSERT_EQ(Vxctl({"follow-parent", "cdrom", "off"}).code, 0);
    ASSERT_EQ(Vxctl({"follow-parent", "floppy", "off"}).code, 0);
  }

  DEVICE_POLICY Policy() {
    DEVICE_POLICY policy;
    store_.GetPolicy(policy);
    return policy;
  }

  test::TempDir dir_;
  PolicyStore store_;
  DeviceQueue queue_;
  test::FakeRegistry registry_;
  test::ScriptedCaller caller_;
  ControlOperations ops_;
  test::LocalControlService service_;
};

TEST_F(VxctlTest, DefaultPolicyInWords) {
  const Outcome run = Vxctl({"policy", "show"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out,
            "USB storage rules (1, follows the parent policy), the first that matches decides:\n"
            "  1. allow      every disk\n"
            "CD/DVD drives:  locked (follows the parent policy)\n"
            "Floppy drives:  locked (follows the parent policy)\n"
            "Password:       follows the parent policy\n");
}

TEST_F(VxctlTest, AddListAndRemoveRules) {
  MakeLocal();
  EXPECT_EQ(Vxctl({"rule", "add", "--vendor", "SanDisk", "--action", "block", "--at", "1"}).code, 0);
  Outcome run = Vxctl({"rule", "add", "--product", "Cruzer Blade", "--serial", "4C53", "--exact", "product", "serial",
                       "--action", "read-only", "--at", "2"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "Rule 2 added: read-only product is \"Cruzer Blade\" and serial is \"4C53\"\n");

  run = Vxctl({"rule", "list"});
  EXPECT_EQ(run.out,
            "1. block      vendor contains \"SanDisk\"\n"
            "2. read-only  product is \"Cruzer Blade\" and serial is \"4C53\"\n"
            "3. allow      every disk\n");
  const DEVICE_POLICY policy = Policy();
  ASSERT_EQ(policy.count, 3);
  EXPECT_STREQ(policy.rules[0].vendor, "SanDisk");
  EXPECT_EQ(policy.rules[0].flags, RULE_CHECK_VENDOR);
  EXPECT_EQ(policy.rules[0].action, ACTION_BLOCK);
  EXPECT_EQ(policy.rules[1].flags, RULE_CHECK_PRODUCT | RULE_EXACT_PRODUCT | RULE_CHECK_SERIAL | RULE_EXACT_SERIAL);

  run = Vxctl({"rule", "list", "--json"});
  EXPECT_NE(run.out.find("{\"number\": 1, \"action\": \"block\", \"actionCode\": 1, \"flags\": 1, \"match\": "
                         "{\"vendor\": {\"text\": \"SanDisk\", \"exact\": false}}"),
            std::string::npos)
      << run.out;

  EXPECT_EQ(Vxctl({"rule", "remove", "1"}).out, "Rule 1 removed: block vendor contains \"SanDisk\"\n");
  EXPECT_EQ(Policy().count, 2);
  EXPECT_STREQ(Policy().rules[0].product, "Cruzer Blade");
  // Appended at the end without --at.
  EXPECT_EQ(Vxctl({"rule", "add", "--action", "block"}).out, "Rule 3 added: block every disk\n");
}

TEST_F(VxctlTest, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  MakeLocal();
  const int changesBefore = service_.changes;
  const std::vector<std::vector<std::string>> cases = {
      {"rule", "add", "--vendor", std::string(64, 'v'), "--action", "block"},
      {"rule", "add", "--serial", std::string(200, 's'), "--action", "allow"},
      // A pattern with a control character would reach every terminal that lists it.
      {"rule", "add", "--product", "Stick\x1b[2J", "--action", "block"},
      {"rule", "add", "--vendor", "A"},
      {"rule", "add", "--vendor", "A", "--action", "deny"},
      {"rule", "add", "--vendor", "A", "--exact", "serial", "--action", "block"},
      {"rule", "add", "--vendor", "A", "--exact", "--action", "block"},
      {"rule", "add", "--vendor", "A", "--exact", "colour", "--action", "block"},
      {"rule", "add", "--action", "block", "--at", "0"},
      {"rule", "add", "--action", "block", "--at", "3"},
      {"rule", "add", "--action", "block", "--at", "x"},
      {"rule", "add", "--vendor", "A", "--vendor", "B", "--action", "block"},
      {"rule", "remove", "2"},
      {"rule", "remove", "-1"},
      {"locks", "set"},
      {"locks", "set", "--cdrom", "yes"},
      {"password", "change", "--current", "", "--new", std::string(128, 'p')},
      {"follow-parent", "printer", "on"},
      {"follow-parent", "rules", "maybe"},
      {"rules", "list"},
      {"ping", "--colour"},
      {"ping", "--vendor"},
  };
  for (const auto& args : cases) {
    const Outcome run = Vxctl(args);
    EXPECT_EQ(run.code, kExitBadArguments) << args[0] << " " << args[1] << ": " << run.err;
    EXPECT_EQ(run.err.rfind("vxctl: ", 0), 0u) << run.err;
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(service_.changes, changesBefore);
  EXPECT_EQ(Policy().count, 1);
}

TEST_F(VxctlTest, TheRuleListHoldsAtMost124Rules) {
  MakeLocal();
  for (int i = 1; i < 124; ++i)
    ASSERT_EQ(Vxctl({"rule", "add", "--serial", std::to_string(i), "--action", "block"}).code, 0);
  EXPECT_EQ(Policy().count, 124);
  const int changesBefore = service_.changes;
  // A sound command that the full list has no room for: a refusal, not a
  // bad argument (regression: it exited 2).
  const Outcome run = Vxctl({"rule", "add", "--vendor", "One too many", "--action", "block"});
  EXPECT_EQ(run.code, kExitRefused);
  EXPECT_EQ(run.err, "vxctl: the rule list already holds the most rules it can (124)\n");
  EXPECT_EQ(service_.changes, changesBefore);
}

TEST_F(VxctlTest, RuleChangesRefusedWhileTheListFollowsOrIsLocked) {
  Outcome run = Vxctl({"rule", "add", "--vendor", "A", "--action", "block"});
  EXPECT_EQ(run.code, kExitRefused);
  EXPECT_NE(run.err.find("follow-parent rules off"), std::string::npos);
  MakeLocal();
  store_.ChangeParentValues([](PolicyState& s) { s.ruleUsb__Lock = 1; });
  run = Vxctl({"rule", "remove", "1"});
  EXPECT_EQ(run.code, kExitRefused);
  EXPECT_NE(run.err.find("management server"), std::string::npos);
  EXPECT_EQ(service_.changes, 3);  // only MakeLocal's
}

TEST_F(VxctlTest, DriveLocks) {
  // Following the parent, a local lock change would not last.
  Outcome run = Vxctl({"locks", "set", "--cdrom", "off"});
  EXPECT_EQ(run.code, kExitRefused);
  EXPECT_NE(run.err.find("follow-parent cdrom off"), std::string::npos);

  MakeLocal();
  run = Vxctl({"locks", "set", "--cdrom", "off"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(run.out, "CD/DVD drives:  unlocked\nFloppy drives:  locked\n");
  EXPECT_EQ(ops_.GetDriveLocks(), 4);
  EXPECT_EQ(Vxctl({"locks", "set", "--floppy", "off", "--cdrom", "on"}).code, 0);
  EXPECT_EQ(Vxctl({"locks", "show", "--json"}).out, "{\"mask\": 2, \"cdrom\": true, \"floppy\": false}\n");
}

TEST_F(VxctlTest, Passwords) {
  EXPECT_EQ(Vxctl({"password", "check", "--password", ""}).code, 0);
  EXPECT_EQ(Vxctl({"password", "check"}, "\n").code, 0);  // from standard input
  Outcome run = Vxctl({"password", "change"}, "\nn3w\n");
  EXPECT_EQ(run.code, 0) << run.err;
  run = Vxctl({"password", "check", "--json"}, "old\n");
  EXPECT_EQ(run.code, kExitRefused);
  EXPECT_EQ(run.out, "{\"right\": false}\n");
  EXPECT_EQ(run.err, "vxctl: the password is wrong\n");
  EXPECT_EQ(Vxctl({"password", "check", "--password", "n3w"}).out, "The password is right.\n");
  EXPECT_EQ(Vxctl({"password", "change", "--current", "wrong", "--new", "x"}).code, kExitRefused);
  EXPECT_EQ(ops_.CheckPassword("n3w"), 1);

  // Following the parent takes the parent's password; off keeps it locally.
  store_.ChangeParentValues([](PolicyState& s) { StoreFieldText(s.password__Parent, "parent"); });
  EXPECT_EQ(Vxctl({"follow-parent", "password", "on", "--password", "n3w"}).code, 0);
  EXPECT_EQ(ops_.CheckPassword("parent"), 1);
  EXPECT_EQ(Vxctl({"follow-parent", "password", "off", "--password", "parent"}).code, 0);
  EXPECT_EQ(Policy().password__Inherit, 0);
  EXPECT_EQ(ops_.CheckPassword("parent"), 1);

  store_.ChangeParentValues([](PolicyState& s) { s.password__Lock = 1; });
  run = Vxctl({"password", "change", "--current", "parent", "--new", "x"});
  EXPECT_EQ(run.code, kExitRefused);
  EXPECT_EQ(run.err, "vxctl: the password is set by the management server\n");
}

TEST_F(VxctlTest, PasswordsTypedAtTheConsoleAreAskedFor) {
  std::vector<std::string> questions;
  const Outcome run = VxctlAtConsole({"password", "change"}, {"", "typed", "typed"}, questions);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(questions, (std::vector<std::string>{"Current password: ", "New password: ", "New password again: "}));
  EXPECT_EQ(ops_.CheckPassword("typed"), 1);

  // A new password given as an option is not asked for.
  questions.clear();
  EXPECT_EQ(VxctlAtConsole({"password", "change", "--new", "opt"}, {"typed"}, questions).code, 0);
  EXPECT_EQ(questions, std::vector<std::string>{"Current password: "});
  EXPECT_EQ(ops_.CheckPassword("opt"), 1);
}

// Input that ends before a password is given, and two new passwords that
// differ, are refused before anything is sent: an ended input once set the
// password to "" (regression).
TEST_F(VxctlTest, PasswordInputThatEndsOrDisagreesSendsNothing) {
  ASSERT_EQ(Vxctl({"password", "change", "--current", "", "--new", "s3cret"}).code, 0);
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    std::string err;
  } fromInput[] = {
      {"change, no input at all",
       {"password", "change"},
       "",
       "vxctl: the input ended before the current password was given; nothing was sent\n"},
      {"change, input ends after the current password",
       {"password", "change"},
       "s3cret\n",
       "vxctl: the input ended before the new password was given; nothing was sent\n"},
      {"change with --current, no input",
       {"password", "change", "--current", "s3cret"},
       "",
       "vxctl: the input ended before the new password was given; nothing was sent\n"},
      {"check, no input",
       {"password", "check"},
       "",
       "vxctl: the input ended before the password was given; nothing was sent\n"},
      {"follow-parent password, no input",
       {"follow-parent", "password", "on"},
       "",
       "vxctl: the input ended before the password was given; nothing was sent\n"},
  };
  for (const auto& c : fromInput) {
    const int callsBefore = service_.calls;
    const Outcome run = Vxctl(c.args, c.input);
    EXPECT_EQ(run.code, kExitBadArguments) << c.what;
    EXPECT_EQ(run.err, c.err) << c.what;
    EXPECT_EQ(service_.calls, callsBefore) << c.what << ": something was sent";
  }

  const struct {
    const char* what;
    std::vector<std::optional<std::string>> answers;
    std::string err;
  } atConsole[] = {
      {"the two new passwords differ",
       {"s3cret", "one", "other"},
       "vxctl: the two new passwords differ; nothing was sent\n"},
      {"console ends before the current password",
       {},
       "vxctl: the input ended before the current password was given; nothing was sent\n"},
      {"console ends before the new password",
       {"s3cret", std::nullopt},
       "vxctl: the input ended before the new password was given; nothing was sent\n"},
      {"console ends before the second new password",
       {"s3cret", "one", std::nullopt},
       "vxctl: the input ended before the new password was given a second time; nothing was sent\n"},
  };
  for (const auto& c : atConsole) {
    const int callsBefore = service_.calls;
    std::vector<std::string> questions;
    const Outcome run = VxctlAtConsole({"password", "change"}, c.answers, questions);
    EXPECT_EQ(run.code, kExitBadArguments) << c.what;
    EXPECT_EQ(run.err, c.err) << c.what;
    EXPECT_EQ(service_.calls, callsBefore) << c.what << ": something was sent";
  }
  EXPECT_EQ(ops_.CheckPassword("s3cret"), 1);

  // A last line without its line end is still a password.
  EXPECT_EQ(Vxctl({"password", "check"}, "s3cret").code, 0);
}

// The service serves policy changes only to administrators and answers
// anyone else with 0, the same 0 as for a wrong password: vxctl tells the two
// apart by its own rights.
TEST_F(VxctlTest, ARefusedChangeFromANonAdministratorSaysRunAsAdministrator) {
  MakeLocal();
  caller_.Become(test::Caller::User);
  const DEVICE_POLICY before = Policy();
  const std::string runAsAdministrator = std::string("vxctl: ") + kRunAsAdministrator + "\n";
  const std::vector<std::vector<std::string>> changes = {
      {"locks", "set", "--cdrom", "on"},
      {"rule", "add", "--vendor", "A", "--action", "block"},
      {"rule", "remove", "1"},
      {"follow-parent", "rules", "on"},
      {"follow-parent", "password", "on", "--password", ""},
      {"password", "change", "--current", "", "--new", "x"},
      {"password", "change", "--current", "wrong", "--new", "x"},
  };
  for (const auto& args : changes) {
    const Outcome run = VxctlWithRights(false, args);
    EXPECT_EQ(run.code, kExitRefused) << args[0] << " " << args[1];
    EXPECT_EQ(run.err, runAsAdministrator) << args[0] << " " << args[1];
    EXPECT_EQ(run.out, "") << args[0] << " " << args[1];
  }
  const DEVICE_POLICY after = Policy();
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
  EXPECT_EQ(ops_.CheckPassword(""), 1);

  // Reads work for anyone.
  EXPECT_EQ(VxctlWithRights(false, {"policy", "show"}).code, 0);
  EXPECT_EQ(VxctlWithRights(false, {"password", "check", "--password", ""}).code, 0);

  // An administrator who types a wrong password is told so, not to run as
  // administrator.
  caller_.Become(test::Caller::Administrator);
  Outcome run = VxctlWithRights(true, {"password", "change", "--current", "wrong", "--new", "x"});
  EXPECT_EQ(run.code, kExitRefused);
  EXPECT_EQ(run.err, "vxctl: the current password is wrong; nothing changed\n");
  run = VxctlWithRights(true, {"locks", "set", "--cdrom", "on"});
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(ops_.GetDriveLocks() & 2, 2);
}

TEST_F(VxctlTest, FollowParentKeepsTheValuesInForce) {
  EXPECT_EQ(Vxctl({"follow-parent", "rules", "off"}).out, "The rule list is now local.\n");
  DEVICE_POLICY policy = Policy();
  EXPECT_EQ(policy.ruleUsb__Inherit, 0);
  EXPECT_EQ(policy.count, 1);  // the parent's allow-all rule, now local
  EXPECT_EQ(policy.lockCdDvd__Inherit, 1);
  EXPECT_EQ(Vxctl({"follow-parent", "rules", "on"}).code, 0);
  EXPECT_EQ(Policy().ruleUsb__Inherit, 1);
}

TEST_F(VxctlTest, ArrivalsUntilEmpty) {
  queue_.Push(test::MakeRule("Kingston", "DataTraveler 2.0", "1.00", "0019E06B", 0, ACTION_BLOCK));
  queue_.Push(test::MakeRule("Odd\"Vendor\xE9", "Disk", "1", "2", 0, ACTION_ALLOW));
  Outcome run = Vxctl({"arrivals", "--json"});
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.out,
            "[{\"vendor\": \"Kingston\", \"product\": \"DataTraveler 2.0\", \"revision\": \"1.00\", \"serial\": "
            "\"0019E06B\", \"action\": \"block\", \"actionCode\": 1},\n"
            " {\"vendor\": \"Odd\\\"Vendor\\u00e9\", \"product\": \"Disk\", \"revision\": \"1\", \"serial\": \"2\", "
            "\"action\": \"allow\", \"actionCode\": 3}]\n");
  EXPECT_EQ(queue_.Size(), 0u);
  EXPECT_EQ(Vxctl({"arrivals"}).out, "No USB storage disk has arrived since the last call.\n");
  EXPECT_EQ(Vxctl({"arrivals", "--json"}).out, "[]\n");
}

TEST_F(VxctlTest, LanguageAndPing) {
  EXPECT_EQ(Vxctl({"language"}).out, "english\n");
  registry_.WriteValue(kProductKeyPath, L"Language", StringValue(L"1055"));
  EXPECT_EQ(Vxctl({"language", "--json"}).out, "{\"language\": \"turkish\"}\n");
  registry_.WriteValue(kProductKeyPath, L"Language", StringValue(L"2057"));
  EXPECT_EQ(Vxctl({"language"}).code, kExitRefused);
  EXPECT_EQ(Vxctl({"ping"}).out, "The service is running.\n");
}

TEST_F(VxctlTest, StoppedServiceGivesAClearMessage) {
  service_.stopped = true;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"ping"}, {"policy", "show", "--json"}, {"arrivals"}, {"rule", "add", "--action", "block"}}) {
    const Outcome run = Vxctl(args);
    EXPECT_EQ(run.code, kExitServiceFailure);
    EXPECT_EQ(run.err, "vxctl: the Vestara Device Control service is not running (RPC error 1722)\n");
  }
}

// A registry whose writes are refused, as HKLM is to a standard user.
class ReadOnlyRegistry final : public Registry {
 public:
  std::optional<RegistryValue> ReadValue(std::wstring_view key, std::wstring_view name,
                                         std::size_t maxBytes) const override {
    return values.ReadValue(key, name, maxBytes);
  }
  bool WriteValue(std::wstring_view, std::wstring_view, const RegistryValue&) override { return false; }
  test::FakeRegistry values;
};

TEST_F(VxctlTest, ServerShowTellsTheSettingsAndTheConnection) {
  test::FakeRegistry settings;
  // Nothing configured, no client id yet, nothing published: nothing is created by reading.
  Outcome run = VxctlServer({"server", "show"}, settings);
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_NE(run.out.find("Management server:  (none)\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Server mode:        0 (no management server)\n"), std::string::npos);
  EXPECT_NE(run.out.find("Client id:          none yet"), std::string::npos);
  EXPECT_NE(run.out.find("Connected now:      unknown: the service has not published its connection"),
            std::string::npos);
  EXPECT_FALSE(settings.ReadValue(kProductKeyPath, L"ClientId", 16));

  ASSERT_EQ(VxctlServer({"server", "set", "--host", "mgmt.example.lan"}, settings).code, kExitOk);
  const std::vector<uint8_t> id = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                   0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  (void)settings.WriteValue(kProductKeyPath, L"ClientId", RegistryValue{kRegistryBinary, id});
  ASSERT_TRUE(management::PublishConnection(settings, {true, "10.1.2.3", 13911, 1'700'000'000, 2}));
  run = VxctlServer({"server", "show"}, settings);
  EXPECT_NE(run.out.find("Management server:  mgmt.example.lan\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Server mode:        1 (a management server is configured)\n"), std::string::npos);
  EXPECT_NE(run.out.find("Client id:          00112233445566778899aabbccddeeff\n"), std::string::npos);
  EXPECT_NE(run.out.find("Connected now:      yes, to 10.1.2.3:13911 since "), std::string::npos);
  EXPECT_NE(run.out.find("(2 connections since the service started)"), std::string::npos);

  run = VxctlServer({"server", "show", "--json"}, settings);
  EXPECT_EQ(
      run.out,
      "{\"serverMode\": 1, \"serverHost\": \"mgmt.example.lan\", \"clientId\": "
      "\"00112233445566778899aabbccddeeff\", \"serviceRunning\": true,\n \"connection\": {\"connected\": true, "
      "\"serverAddress\": \"10.1.2.3\", \"serverPort\": 13911, \"changedAt\": 1700000000, \"connections\": 2}}\n");

  ASSERT_TRUE(management::PublishConnection(settings, {false, "10.1.2.3", 13911, 1'700'000'100, 2}));
  EXPECT_NE(VxctlServer({"server", "show"}, settings).out.find("no; the last connection, to 10.1.2.3:13911, ended at "),
            std::string::npos);

  // A record left behind by a service that no longer runs is not shown as current.
  service_.stopped = true;
  run = VxctlServer({"server", "show", "--json"}, settings);
  EXPECT_EQ(run.code, kExitOk);
  EXPECT_NE(run.out.find("\"serviceRunning\": false,\n \"connection\": null}"), std::string::npos) << run.out;
  EXPECT_NE(VxctlServer({"server", "show"}, settings).out.find("Connected now:      no: the service is not running"),
            std::string::npos);
}

TEST_F(VxctlTest, ServerSetWritesWhatTheServiceReadsAtItsStart) {
  test::FakeRegistry settings;
  Outcome run = VxctlServer({"server", "set", "--host", "127.0.0.1"}, settings);
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_EQ(run.out,
            "The management server is now 127.0.0.1 (ServerMode 1).\n"
            "The service applies it at its next start: restart the service\n"
            "(sc stop VestaraDeviceControlWinService, then sc start VestaraDeviceControlWinService).\n");
  StoredManagementSettings stored = ReadStoredManagementSettings(settings);
  EXPECT_EQ(stored.serverMode, 1u);
  EXPECT_EQ(stored.serverHost, "127.0.0.1");

  run = VxctlServer({"server", "set", "--off"}, settings);
  EXPECT_EQ(run.code, kExitOk);
  EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
            "The management client is now off (ServerMode 0; the server name 127.0.0.1 is kept).");
  stored = ReadStoredManagementSettings(settings);
  EXPECT_EQ(stored.serverMode, 0u);
  EXPECT_EQ(stored.serverHost, "127.0.0.1");
}

TEST_F(VxctlTest, ServerSetRefusals) {
  const struct {
    std::vector<std::string> args;
    int code;
    const char* message;
  } cases[] = {
      {{"server", "set"}, kExitBadArguments, "vxctl: server set takes --host NAME or --off\n"},
      {{"server", "set", "--host", "a", "--off"}, kExitBadArguments, "vxctl: server set takes --host NAME or --off\n"},
      {{"server", "set", "--host"}, kExitBadArguments, "vxctl: --host needs a value\n"},
      {{"server", "set", "--host", ""}, kExitBadArguments, "vxctl: the server's name is empty\n"},
      {{"server", "set", "--host", std::string(64, 'h')},
       kExitBadArguments,
       "vxctl: the server's name is 64 characters; it holds at most 63\n"},
      {{"server", "set", "--host", "two words"},
       kExitBadArguments,
       "vxctl: the server's name may hold letters, digits, '.', '-' and '_' only, not \" \"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.size() > 3 ? c.args[3] : "");
    test::FakeRegistry settings;
    const Outcome run = VxctlServer(c.args, settings);
    EXPECT_EQ(run.code, c.code);
    EXPECT_EQ(run.err, c.message);
    EXPECT_FALSE(settings.ReadValue(kProductKeyPath, L"ServerMode", 4)) << "nothing is written";
  }

  // The registry refuses a standard user's write; an administrator's refused write is told apart.
  ReadOnlyRegistry readOnly;
  Outcome run = VxctlServer({"server", "set", "--off"}, readOnly, /*administrator=*/false);
  EXPECT_EQ(run.code, kExitRefused);
  EXPECT_EQ(run.err, "vxctl: only an administrator may change the management settings: run as administrator\n");
  run = VxctlServer({"server", "set", "--host", "mgmt"}, readOnly, /*administrator=*/true);
  EXPECT_EQ(run.code, kExitRefused);
  EXPECT_EQ(run.err, "vxctl: the registry refused the change of the management settings\n");

  // Without a registry (a build that has none) the commands fail, nothing is sent.
  std::istringstream in;
  std::ostringstream out, err;
  EXPECT_EQ(RunVxctl({"server", "show"}, service_, in, out, err), kExitServiceFailure);
}

// The words of a command line as a shell passes them: blanks part them,
// double quotes hold blanks in.
std::vector<std::string> ShellWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (c == ' ' && !quoted) {
      if (any) words.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) words.push_back(word);
  return words;
}

std::string FirstLine(const char* text) {
  const std::string all(text);
  return all.substr(0, all.find('\n'));
}

TEST_F(VxctlTest, EveryCommandTellsItsUsageWhatItDoesAndAnExample) {
  const Outcome usage = Vxctl({"--help"});
  ASSERT_EQ(usage.code, kExitOk);
  for (const VxctlCommand& command : VxctlCommands()) {
    const std::string name = CommandName(command);
    SCOPED_TRACE(name);
    std::vector<std::string> args = command.words;
    args.push_back("--help");
    const Outcome run = Vxctl(args);
    EXPECT_EQ(run.code, kExitOk) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("usage: vxctl " + FirstLine(command.usage) + "\n", 0), 0u) << run.out;
    ASSERT_GT(std::strlen(command.summary), 1u);
    EXPECT_NE(run.out.find(command.summary + 1), std::string::npos) << run.out;  // its first letter a capital
    EXPECT_NE(run.out.find(std::string("\nExample: ") + command.example + "\n"), std::string::npos) << run.out;
    std::vector<std::string> help = {"help"};
    help.insert(help.end(), command.words.begin(), command.words.end());
    EXPECT_EQ(Vxctl(help).out, run.out);

    // The usage text lists it with what it does.
    const std::size_t listed = usage.out.find("  " + FirstLine(command.usage));
    ASSERT_NE(listed, std::string::npos) << usage.out;
    EXPECT_NE(usage.out.find(command.summary, listed), std::string::npos);

    // The usage names exactly the options the command takes.
    for (const std::string& option : command.options)
      EXPECT_NE(std::string(command.usage).find("--" + option), std::string::npos) << option;
    const std::string text = command.usage;
    for (std::size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
      const std::size_t end = text.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at + 2);
      const std::string option = text.substr(at + 2, end - at - 2);
      EXPECT_NE(std::find(command.options.begin(), command.options.end(), option), command.options.end())
          << "the usage names --" << option;
    }

    // The example is a command line the command takes.
    std::vector<std::string> example = ShellWords(command.example);
    ASSERT_EQ(example.at(0), "vxctl");
    example.erase(example.begin());
    CommandLine line;
    ASSERT_EQ(ReadCommandLine(example, line), std::nullopt);
    EXPECT_EQ(FindCommand(line.words), &command);
    EXPECT_FALSE(CheckAgainstCommand(command, line).has_value());
  }
  EXPECT_EQ(service_.calls, 0) << "help sent something";

  // A group lists its commands; unknown words are refused.
  const Outcome group = Vxctl({"rule", "--help"});
  EXPECT_EQ(group.code, kExitOk);
  EXPECT_EQ(group.out.rfind("  rule list [--json]", 0), 0u) << group.out;
  EXPECT_NE(group.out.find("  rule remove N"), std::string::npos);
  EXPECT_EQ(group.out.find("locks"), std::string::npos);
  EXPECT_EQ(Vxctl({"printer", "--help"}).code, kExitBadArguments);
  EXPECT_EQ(Vxctl({"help"}).out, usage.out);
  EXPECT_NE(usage.out.find("asked for at the console without echo"), std::string::npos);
}

// An option the command does not take is refused, not ignored, and so are
// missing or extra words: nothing is read, nothing is sent.
TEST_F(VxctlTest, OptionsAndWordsACommandDoesNotTakeAreRefused) {
  MakeLocal();
  const struct {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      // Regression: --password was ignored and the passwords read from standard input.
      {{"password", "change", "--password", "x"},
       "vxctl: password change does not take --password (vxctl password change --help tells what it takes)\n"},
      {{"password", "check", "--current", "x"},
       "vxctl: password check does not take --current (vxctl password check --help tells what it takes)\n"},
      {{"rule", "list", "--vendor", "A"},
       "vxctl: rule list does not take --vendor (vxctl rule list --help tells what it takes)\n"},
      {{"rule", "add", "--action", "block", "--json"},
       "vxctl: rule add does not take --json (vxctl rule add --help tells what it takes)\n"},
      {{"rule", "remove", "1", "--exact", "vendor"},
       "vxctl: rule remove does not take --exact (vxctl rule remove --help tells what it takes)\n"},
      {{"locks", "show", "--cdrom", "on"},
       "vxctl: locks show does not take --cdrom (vxctl locks show --help tells what it takes)\n"},
      {{"ping", "--off"}, "vxctl: ping does not take --off (vxctl ping --help tells what it takes)\n"},
      {{"server", "show", "--host", "h"},
       "vxctl: server show does not take --host (vxctl server show --help tells what it takes)\n"},
      {{"follow-parent", "rules", "off", "--password", "x"}, "vxctl: --password is for follow-parent password only\n"},
      {{"rule", "remove"}, "vxctl: rule remove needs more words; usage: vxctl rule remove N\n"},
      {{"follow-parent", "rules"},
       "vxctl: follow-parent needs more words; usage: vxctl follow-parent rules|cdrom|floppy|password on|off "
       "[--password TEXT]\n"},
      {{"ping", "now"}, "vxctl: ping does not take \"now\"; usage: vxctl ping [--json]\n"},
      {{"rule", "list", "all"}, "vxctl: rule list does not take \"all\"; usage: vxctl rule list [--json]\n"},
      {{"rule"}, "vxctl: unknown command \"rule\" (vxctl help lists the commands)\n"},
  };
  const int callsBefore = service_.calls;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    const Outcome run = Vxctl(c.args, "\nnew\n");
    EXPECT_EQ(run.code, kExitBadArguments);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(service_.calls, callsBefore);
  EXPECT_EQ(ops_.CheckPassword(""), 1);
}

// While the management server sets an item, the service puts the parent's
// value back after every change: the item cannot become local, and vxctl
// says so instead of "is now local" (regression).
TEST_F(VxctlTest, FollowParentOffIsRefusedWhileTheServerSetsTheItem) {
  const struct {
    const char* item;
    uint8_t PolicyState::*lock;
    uint8_t DEVICE_POLICY::*inherit;
    const char* err;
  } cases[] = {
      {"rules", &PolicyState::ruleUsb__Lock, &DEVICE_POLICY::ruleUsb__Inherit,
       "vxctl: the rule list is set by the management server; local changes would not last\n"},
      {"cdrom", &PolicyState::lockCdDvd__Lock, &DEVICE_POLICY::lockCdDvd__Inherit,
       "vxctl: the CD/DVD lock is set by the management server; local changes would not last\n"},
      {"floppy", &PolicyState::lockFloppy__Lock, &DEVICE_POLICY::lockFloppy__Inherit,
       "vxctl: the floppy lock is set by the management server; local changes would not last\n"},
      {"password", &PolicyState::password__Lock, &DEVICE_POLICY::password__Inherit,
       "vxctl: the password is set by the management server\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.item);
    store_.ChangeParentValues([&](PolicyState& s) { s.*c.lock = 1; });
    std::vector<std::string> off = {"follow-parent", c.item, "off"};
    if (std::string(c.item) == "password") off.insert(off.end(), {"--password", ""});
    const int changesBefore = service_.changes;
    Outcome run = Vxctl(off);
    EXPECT_EQ(run.code, kExitRefused);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(service_.changes, changesBefore);
    EXPECT_EQ(Policy().*c.inherit, 1);
    store_.ChangeParentValues([&](PolicyState& s) { s.*c.lock = 0; });
    // Once the server lets go, the same command works.
    run = Vxctl(off);
    EXPECT_EQ(run.code, kExitOk) << run.err;
    EXPECT_EQ(Policy().*c.inherit, 0);
  }
}

TEST_F(VxctlTest, ChangingAPasswordThatFollowsTheParentSaysItBecomesLocal) {
  ASSERT_EQ(Policy().password__Inherit, 1);
  Outcome run = Vxctl({"password", "change", "--current", "", "--new", "s3cret"});
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_EQ(run.out, "The password is changed.\nIt no longer follows the parent policy: the password is now local.\n");
  EXPECT_EQ(Policy().password__Inherit, 0);
  EXPECT_EQ(ops_.CheckPassword("s3cret"), 1);
  run = Vxctl({"password", "change", "--current", "s3cret", "--new", "again"});
  EXPECT_EQ(run.out, "The password is changed.\n");
}

// With --json, standard output holds one complete JSON text or nothing,
// whichever call of the command the service fails at; the message goes to
// standard error. arrivals keeps what it took.
TEST_F(VxctlTest, JsonStaysWholeWhenTheServiceFailsPartWay) {
  MakeLocal();
  const std::vector<std::vector<std::string>> commands = {
      {"ping", "--json"},
      {"policy", "show", "--json"},
      {"rule", "list", "--json"},
      {"locks", "show", "--json"},
      {"locks", "set", "--cdrom", "on", "--json"},
      {"password", "check", "--password", "", "--json"},
      {"password", "check", "--password", "wrong", "--json"},
      {"arrivals", "--json"},
      {"language", "--json"},
      {"server", "show", "--json"},
  };
  test::FakeRegistry settings;
  for (const auto& args : commands) {
    for (int failAt = 1; failAt <= 5; ++failAt) {
      SCOPED_TRACE(args[0] + " " + args[1] + ", failing at call " + std::to_string(failAt));
      queue_.Push(test::MakeRule("Kingston", "DataTraveler", "1.00", "1", 0, ACTION_BLOCK));
      queue_.Push(test::MakeRule("SanDisk", "Cruzer", "1.26", "2", 0, ACTION_ALLOW));
      service_.failFromCall = service_.calls + failAt;
      const Outcome run = VxctlServer(args, settings);
      service_.failFromCall = 0;
      USB_RULE taken;
      while (ops_.PopDeviceArrival(taken) == 1) {
      }  // each case starts with the same two disks
      if (run.code == kExitOk || !run.out.empty()) {
        EXPECT_TRUE(test::IsCompleteJson(run.out)) << run.out;
      }
      if (run.code == kExitServiceFailure) {
        EXPECT_NE(run.err.find("(RPC error 1726)"), std::string::npos) << run.err;
      }
    }
  }

  // Regression: arrivals that failed part-way wrote the disks it took as
  // plain lines into its JSON. The disk not taken stays queued.
  queue_.Push(test::MakeRule("Kingston", "DataTraveler", "1.00", "1", 0, ACTION_BLOCK));
  queue_.Push(test::MakeRule("SanDisk", "Cruzer", "1.26", "2", 0, ACTION_ALLOW));
  service_.failFromCall = service_.calls + 2;
  const Outcome run = Vxctl({"arrivals", "--json"});
  service_.failFromCall = 0;
  EXPECT_EQ(run.code, kExitServiceFailure);
  EXPECT_EQ(run.out,
            "[{\"vendor\": \"Kingston\", \"product\": \"DataTraveler\", \"revision\": \"1.00\", \"serial\": \"1\", "
            "\"action\": \"block\", \"actionCode\": 1}]\n");
  EXPECT_EQ(run.err, "vxctl: the call to the service failed (RPC error 1726)\n");
  EXPECT_EQ(queue_.Size(), 1u);
  // A failure before anything was taken shows nothing.
  service_.stopped = true;
  EXPECT_EQ(Vxctl({"arrivals", "--json"}).out, "");
}

TEST(VxctlJsonCheck, TellsWholeJsonFromBrokenText) {
  const struct {
    const char* text;
    bool whole;
  } cases[] = {
      {"{\"a\": [1, -2.5e3, true, false, null, \"x\\u00e9\\n\"]}\n", true},
      {"[]", true},
      {"  {}  ", true},
      {"", false},
      {"[", false},
      {"{\"a\": 1", false},
      {"[1,]", false},
      {"{\"a\" 1}", false},
      {"\"tab\there\"", false},
      {"[1] [2]", false},
      {"Kingston DataTraveler: block\n", false},
      {"01", false},
  };
  for (const auto& c : cases) EXPECT_EQ(test::IsCompleteJson(c.text), c.whole) << c.text;
}

TEST(VxctlWords, RulesAndJsonText) {
  USB_RULE rule = test::MakeRule("SanDisk", "Cruzer", "1.26", "X", RULE_CHECK_VENDOR | RULE_EXACT_PRODUCT, 7);
  EXPECT_EQ(MatchWords(rule), "vendor contains \"SanDisk\"");  // exact without check: not examined
  EXPECT_EQ(ActionWords(rule.action), "allow (action 7)");
  std::memset(rule.vendor, 'V', sizeof rule.vendor);  // no terminator: read as 64 characters, no further
  EXPECT_EQ(RuleFieldText(rule, 0), std::string(64, 'V'));
  EXPECT_EQ(JsonString(std::string("a\\b\n\x01\x7f", 6)), "\"a\\\\b\\u000a\\u0001\\u007f\"");
}

}  // namespace
}  // namespace vx
