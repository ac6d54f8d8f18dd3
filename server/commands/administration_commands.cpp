#include "server/commands/administration_commands.h"

#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "server/commands/agents_command.h"
#include "server/commands/command_support.h"
#include "server/commands/database_option.h"
#include "server/commands/drift_command.h"
#include "server/commands/instances_command.h"
#include "server/commands/policy_commands.h"
#include "server/commands/push_command.h"
#include "server/commands/reports_command.h"
#include "server/commands/token_commands.h"
#include "server/data_directory.h"
#include "server/store/open_store.h"

namespace vx::server {
namespace {

// How a command opens the store.
enum class Access {
  Read,          // read-only: a missing store is refused
  Change,        // read-write, but only a store that exists (a mistyped --db creates nothing)
  ChangeOrMake,  // read-write, created when missing (a fleet default may be set before serve first runs)
};

// The values of every command's options. One instance lives as long as the
// App: CLI11 writes into it while parsing, the callbacks read it.
struct CommandValues {
  explicit CommandValues(const AdministrationEnvironment& env) : environment(env) {}
  AdministrationEnvironment environment;
  std::string agentsDb, reportsDb, policyDb, driftDb, pushDb, tokenDb, instancesDb;
  bool agentsJson = false, reportsJson = false, showJson = false, driftJson = false, tokenJson = false,
       instancesJson = false;
  std::string tokenName, tokenId;
  std::string approveId, revokeId;
  ReportsOptions reports;
  std::optional<std::string> showAgent;
  PolicySetOptions set;
  PushOptions push;
};

[[noreturn]] void EndWith(int code) { throw CLI::RuntimeError(code); }

// Opens the store for one command, or ends the program with exit code 3.
std::unique_ptr<Store> OpenStoreFor(const std::string& db, Access access, std::ostream& err) {
  const StoreLocation location = StoreLocationOrDefault(db);
  const std::string shown = location.Shown();
  const bool sqlite = location.engine == StoreEngine::Sqlite;
  const std::string missing =
      "there is no store at " + shown + ": serve creates it at its first start, or --db names another";
  std::error_code error;
  if (sqlite && access == Access::Change && !std::filesystem::exists(location.file, error))
    EndWith(Refuse(err, kExitStoreFailure, missing));
  if (sqlite && access == Access::ChangeOrMake && db.empty()) {
    const std::string problem = EnsureDataDirectory(location.file.parent_path());
    if (!problem.empty()) EndWith(Refuse(err, kExitStoreFailure, "the store cannot be made: " + problem));
  }
  StoreOpenOptions options;
  options.readOnly = access == Access::Read;
  // A database that holds no store yet is given one only where a file would
  // be made: a mistyped URL of an existing database gains no tables.
  if (!sqlite && access == Access::Change) {
    StoreOpenOptions probe = options;
    probe.readOnly = true;
    const auto present = OpenStore(location, probe);
    if (!present && present.failure() == StoreFailure::NotFound) EndWith(Refuse(err, kExitStoreFailure, missing));
  }
  StoreResult<std::unique_ptr<Store>> opened = OpenStore(location, options);
  if (!opened && opened.failure() == StoreFailure::NotFound) EndWith(Refuse(err, kExitStoreFailure, missing));
  if (!opened)
    EndWith(Refuse(err, kExitStoreFailure,
                   "the store " + shown + " cannot be opened: " + opened.error() +
                       (access == Access::Read ? "" : " (changes need an account that may write it)")));
  return std::move(opened).value();
}

// Runs a command over a store that is opened for it and closed after it.
template <typename Command>
void Run(const std::string& db, Access access, const AdministrationEnvironment& environment, Command command) {
  std::unique_ptr<Store> store = OpenStoreFor(db, access, environment.err);
  const int code = command(*store);
  store.reset();
  if (code != kExitDone) EndWith(code);
}

void AddAgents(CLI::App& app, const std::shared_ptr<CommandValues>& values) {
  CLI::App* agents = app.add_subcommand("agents",
                                        "the agents: id, computer, address, enrollment, connected, last "
                                        "seen, drive locks, policy standing, report backlog");
  AddDatabaseOption(*agents, values->agentsDb);
  agents->add_flag("--json", values->agentsJson, "one JSON array of objects");
  CLI::App* approve = agents->add_subcommand("approve", "let an agent in (its enrollment becomes approved)");
  approve->add_option("ID", values->approveId, "the agent id (32 hexadecimal digits)")->required();
  approve->fallthrough();
  CLI::App* revoke = agents->add_subcommand("revoke", "refuse an agent from now on (it is disconnected)");
  revoke->add_option("ID", values->revokeId, "the agent id (32 hexadecimal digits)")->required();
  revoke->fallthrough();
  agents->require_subcommand(0, 1);

  approve->callback([values] {
    const AdministrationEnvironment& env = values->environment;
    Run(values->agentsDb, Access::Change, env, [&](Store& store) {
      return RunAgentsEnrollment(store, values->approveId, Enrollment::Approved, env.now(), env.out, env.err);
    });
  });
  revoke->callback([values] {
    const AdministrationEnvironment& env = values->environment;
    Run(values->agentsDb, Access::Change, env, [&](Store& store) {
      return RunAgentsEnrollment(store, values->revokeId, Enrollment::Revoked, env.now(), env.out, env.err);
    });
  });
  agents->callback([values, approve, revoke] {
    if (approve->parsed() || revoke->parsed()) return;
    const AdministrationEnvironment& env = values->environment;
    Run(values->agentsDb, Access::Read, env,
        [&](Store& store) { return RunAgentsList(store, values->agentsJson, env.out, env.err); });
  });
}

void AddReports(CLI::App& app, const std::shared_ptr<CommandValues>& values) {
  CLI::App* reports = app.add_subcommand("reports", "the report rows the agents sent, oldest first per agent");
  AddDatabaseOption(*reports, values->reportsDb);
  reports->add_option("--agent", values->reports.agent, "only this agent's rows");
  reports->add_option("--since", values->reports.since,
                      "only rows from this time on: YYYY-MM-DD[THH:MM[:SS]] (local) or seconds since 1970");
  reports->add_option("--action", values->reports.action, "only rows with this action: block, read-only or allow");
  CLI::Option* json = reports->add_flag("--json", values->reports.json, "one JSON array of objects");
  CLI::Option* csv = reports->add_flag("--csv", values->reports.csv, "comma-separated values with a header line");
  json->excludes(csv);
  reports->callback([values] {
    const AdministrationEnvironment& env = values->environment;
    Run(values->reportsDb, Access::Read, env,
        [&](Store& store) { return RunReports(store, values->reports, env.out, env.err); });
  });
}

void AddPolicy(CLI::App& app, const std::shared_ptr<CommandValues>& values) {
  CLI::App* policy = app.add_subcommand("policy", "the parent policy assigned to the agents");
  AddDatabaseOption(*policy, values->policyDb);
  policy->require_subcommand(1);

  CLI::App* show = policy->add_subcommand("show",
                                          "the fleet default, or the assignment of one agent with the "
                                          "digest it holds");
  show->add_option("--agent", values->showAgent, "the agent id");
  show->add_flag("--json", values->showJson, "one JSON object");
  show->fallthrough();
  show->callback([values] {
    const AdministrationEnvironment& env = values->environment;
    Run(values->policyDb, Access::Read, env,
        [&](Store& store) { return RunPolicyShow(store, values->showAgent, values->showJson, env.out, env.err); });
  });

  CLI::App* set = policy->add_subcommand("set", "change the fleet default (--all) or one agent's assignment");
  PolicySetOptions& options = values->set;
  CLI::Option* agent = set->add_option("--agent", options.agent, "the agent id");
  CLI::Option* all = set->add_flag("--all", options.all, "the fleet default, for every agent without its own");
  agent->excludes(all);
  set->add_option("--rule", options.edit.rules,
                  "a rule in words, e.g. \"read-only product 'Cruzer Blade' serial 4C53 exact serial\"; given at "
                  "least once, the rules in order replace the whole list")
      ->allow_extra_args(false);
  set->add_option("--cdrom", options.edit.cdrom, "CD/DVD drives: locked or unlocked");
  set->add_option("--floppy", options.edit.floppy, "floppy drives: locked or unlocked");
  set->add_option("--lock", options.edit.locks,
                  "ITEM on|off: whether the agent's own changes of rules, cdrom, floppy or password last")
      ->type_size(2)
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false);
  set->add_option("--password", options.edit.password, "the parent password (at most 120 characters)");
  set->add_flag("--fleet", options.followFleet, "with --agent: drop its own assignment, follow the fleet default");
  set->fallthrough();
  set->callback([values] {
    const AdministrationEnvironment& env = values->environment;
    Run(values->policyDb, values->set.all ? Access::ChangeOrMake : Access::Change, env,
        [&](Store& store) { return RunPolicySet(store, values->set, env.now(), env.out, env.err); });
  });
}

void AddDrift(CLI::App& app, const std::shared_ptr<CommandValues>& values) {
  CLI::App* drift = app.add_subcommand("drift", "the agents that do not hold the policy assigned to them");
  AddDatabaseOption(*drift, values->driftDb);
  drift->add_flag("--json", values->driftJson, "one JSON array of objects");
  drift->callback([values] {
    const AdministrationEnvironment& env = values->environment;
    Run(values->driftDb, Access::Read, env,
        [&](Store& store) { return RunDrift(store, values->driftJson, env.out, env.err); });
  });
}

void AddPush(CLI::App& app, const std::shared_ptr<CommandValues>& values) {
  CLI::App* push = app.add_subcommand("push", "queue an installer that each agent named receives once and starts");
  AddDatabaseOption(*push, values->pushDb);
  push->add_option("FILE", values->push.file, "the installer")->required();
  CLI::Option* agent = push->add_option("--agent", values->push.agent, "the agent id");
  CLI::Option* all = push->add_flag("--all", values->push.all, "every agent that is not revoked");
  agent->excludes(all);
  push->callback([values] {
    const AdministrationEnvironment& env = values->environment;
    Run(values->pushDb, Access::Change, env,
        [&](Store& store) { return RunPush(store, values->push, env.now(), env.out, env.err); });
  });
}

void AddToken(CLI::App& app, const std::shared_ptr<CommandValues>& values) {
  CLI::App* token = app.add_subcommand("token", "the bearer tokens of the HTTP API (serve --http)");
  AddDatabaseOption(*token, values->tokenDb);
  token->require_subcommand(1);
  CLI::App* create = token->add_subcommand("create", "make a token and show it once (only its hash is kept)");
  create->add_option("--name", values->tokenName, "what the token is for (shown by token list)");
  create->fallthrough();
  create->callback([values] {
    const AdministrationEnvironment& env = values->environment;
    // A token may be made before serve first runs, as a fleet default may.
    Run(values->tokenDb, Access::ChangeOrMake, env,
        [&](Store& store) { return RunTokenCreate(store, values->tokenName, env.now(), env.out, env.err); });
  });
  CLI::App* list = token->add_subcommand("list", "the tokens: id, name, when made and revoked (never a token)");
  list->add_flag("--json", values->tokenJson, "one JSON array of objects");
  list->fallthrough();
  list->callback([values] {
    const AdministrationEnvironment& env = values->environment;
    Run(values->tokenDb, Access::Read, env,
        [&](Store& store) { return RunTokenList(store, values->tokenJson, env.out, env.err); });
  });
  CLI::App* revoke = token->add_subcommand("revoke", "refuse a token from the next API call on");
  revoke->add_option("ID", values->tokenId, "the token id, as token list shows it")->required();
  revoke->fallthrough();
  revoke->callback([values] {
    const AdministrationEnvironment& env = values->environment;
    Run(values->tokenDb, Access::Change, env,
        [&](Store& store) { return RunTokenRevoke(store, values->tokenId, env.now(), env.out, env.err); });
  });
}

void AddInstances(CLI::App& app, const std::shared_ptr<CommandValues>& values) {
  CLI::App* instances = app.add_subcommand(
      "instances", "the serve instances of the store: host, address, process, last heartbeat, state, agents held");
  AddDatabaseOption(*instances, values->instancesDb);
  instances->add_flag("--json", values->instancesJson, "one JSON array of objects");
  instances->callback([values] {
    const AdministrationEnvironment& env = values->environment;
    Run(values->instancesDb, Access::Read, env,
        [&](Store& store) { return RunInstancesList(store, values->instancesJson, env.now(), env.out, env.err); });
  });
}

}  // namespace

void AddAdministrationCommands(CLI::App& app, const AdministrationEnvironment& environment) {
  auto values = std::make_shared<CommandValues>(environment);
  AddAgents(app, values);
  AddReports(app, values);
  AddPolicy(app, values);
  AddDrift(app, values);
  AddPush(app, values);
  AddToken(app, values);
  AddInstances(app, values);
}

void AddAdministrationCommands(CLI::App& app) {
  AddAdministrationCommands(
      app, AdministrationEnvironment{std::cout, std::cerr, [] { return static_cast<int64_t>(std::time(nullptr)); }});
}

int AdministrationExitCode(const CLI::Error& error) {
  if (error.get_name() == "RuntimeError") return error.get_exit_code();
  if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return kExitDone;  // --help
  return kExitBadArguments;
}

}  // namespace vx::server
