#include "tools/vxctl/vxctl.h"

#include <cstring>
#include <istream>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>

#include "policy/policy_state.h"
#include "policy/rule_text.h"
#include "policy/rule_words.h"
#include "tools/vxctl/json_text.h"
#include "tools/vxctl/server_commands.h"

namespace vx {
namespace {

constexpr unsigned long kRpcServerUnavailable = 1722;  // nothing listens on the pipe
constexpr int kMaxArrivalsPerRun = 100000;             // the queue is emptied by this command; a bound all the same

// A failed command: its message and exit code.
struct Failure {
  int code;
  std::string message;
};

// The command line: words in order, options with their values.
struct CommandLine {
  std::vector<std::string> words;
  std::map<std::string, std::string> options;
  std::vector<std::string> exactFields;
  bool json = false;
  bool exactGiven = false;
  bool off = false;  // server set --off
};

const std::set<std::string> kValueOptions = {"vendor", "product", "revision", "serial",  "action", "at",
                                             "cdrom",  "floppy",  "password", "current", "new",    "host"};

std::optional<Failure> Parse(const std::vector<std::string>& args, CommandLine& line) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      line.words.push_back(arg);
      continue;
    }
    const std::string name = arg.substr(2);
    if (name == "json") {
      line.json = true;
    } else if (name == "off") {
      line.off = true;
    } else if (name == "exact") {
      line.exactGiven = true;
      std::size_t before = line.exactFields.size();
      while (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) line.exactFields.push_back(args[++i]);
      if (line.exactFields.size() == before) return Failure{kExitBadArguments, "--exact needs at least one field"};
    } else if (kValueOptions.count(name)) {
      if (i + 1 >= args.size()) return Failure{kExitBadArguments, arg + " needs a value"};
      if (line.options.count(name)) return Failure{kExitBadArguments, arg + " is given twice"};
      line.options[name] = args[++i];
    } else {
      return Failure{kExitBadArguments, "unknown option " + arg};
    }
  }
  return std::nullopt;
}

std::string Option(const CommandLine& line, const std::string& name) {
  auto it = line.options.find(name);
  return it == line.options.end() ? std::string() : it->second;
}

// A whole positive number, nothing else.
std::optional<long> ParseNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::optional<bool> ParseOnOff(const std::string& text) {
  if (text == "on") return true;
  if (text == "off") return false;
  return std::nullopt;
}

std::string FlagJson(bool value) { return value ? "true" : "false"; }

// One command's run: the service, the streams, and each call's transport check.
class Session {
 public:
  Session(ControlService& service, const CommandLine& line, std::istream& in, std::ostream& out,
          const SecretReader& readSecret, const AdministratorCheck& runsAsAdministrator, Registry* registry)
      : service_(service),
        line_(line),
        in_(in),
        out_(out),
        readSecret_(readSecret),
        runsAsAdministrator_(runsAsAdministrator),
        registry_(registry) {}

  std::optional<Failure> Run();

 private:
  // Fails with the transport's message when a call did not run.
  std::optional<Failure> Check(unsigned long status) const {
    if (status == 0) return std::nullopt;
    if (status == kRpcServerUnavailable)
      return Failure{kExitServiceFailure,
                     "the Vestara Device Control service is not running (RPC error " + std::to_string(status) + ")"};
    return Failure{kExitServiceFailure, "the call to the service failed (RPC error " + std::to_string(status) + ")"};
  }
  std::optional<Failure> ReadPolicy(DEVICE_POLICY& policy) {
    int result = 0;
    return Check(service_.GetPolicy(policy, result));
  }
  std::optional<Failure> WritePolicy(const DEVICE_POLICY& policy) {
    int result = 0;
    if (auto failure = Check(service_.SetPolicy(policy, result))) return failure;
    if (result != 1) return Refused("the service refused the policy");
    return std::nullopt;
  }
  // A change the service answered with 0. The service gives the same 0 to a
  // caller that is no administrator, which, when this process is none, is
  // the reason to tell; otherwise `reason` is.
  Failure Refused(const std::string& reason) const {
    if (runsAsAdministrator_ && !runsAsAdministrator_()) return Failure{kExitRefused, kRunAsAdministrator};
    return Failure{kExitRefused, reason};
  }
  // A password from its option, or typed by a person at the console, or
  // else a line of standard input; a failure when the input ends first.
  std::optional<Failure> Password(const std::string& option, const char* question, const char* what,
                                  std::string& password) {
    if (line_.options.count(option)) {
      password = Option(line_, option);
      return std::nullopt;
    }
    std::optional<std::string> text = readSecret_ ? readSecret_(question) : ReadLine();
    if (!text) return InputEnded(what);
    password = *text;
    return std::nullopt;
  }
  // A new password: from its option, typed twice at the console (the two
  // must agree), or a line of standard input.
  std::optional<Failure> NewPassword(std::string& password) {
    if (line_.options.count("new") || !readSecret_)
      return Password("new", "New password: ", "the new password was given", password);
    const std::optional<std::string> first = readSecret_("New password: ");
    if (!first) return InputEnded("the new password was given");
    const std::optional<std::string> second = readSecret_("New password again: ");
    if (!second) return InputEnded("the new password was given a second time");
    if (*first != *second) return Failure{kExitBadArguments, "the two new passwords differ; nothing was sent"};
    password = *first;
    return std::nullopt;
  }
  // One line of standard input without its line end; nullopt when the input
  // ended before it (a last line without a line end still counts).
  std::optional<std::string> ReadLine() {
    std::string text;
    if (!std::getline(in_, text)) return std::nullopt;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
  }
  // `what` says what was still missing: "the new password was given".
  static Failure InputEnded(const char* what) {
    return Failure{kExitBadArguments, std::string("the input ended before ") + what + "; nothing was sent"};
  }

  std::optional<Failure> Ping();
  std::optional<Failure> PolicyShow();
  std::optional<Failure> RuleList();
  std::optional<Failure> RuleAdd();
  std::optional<Failure> RuleRemove();
  std::optional<Failure> LocksShow();
  std::optional<Failure> LocksSet();
  std::optional<Failure> PasswordCheck();
  std::optional<Failure> PasswordChange();
  std::optional<Failure> FollowParent();
  std::optional<Failure> Arrivals();
  std::optional<Failure> Language();
  std::optional<Failure> ServerShowCommand();
  std::optional<Failure> ServerSetCommand();

  void PrintRules(const DEVICE_POLICY& policy, const char* indent);
  std::string RulesJson(const DEVICE_POLICY& policy);
  std::optional<Failure> EditableRules(const DEVICE_POLICY& policy);

  ControlService& service_;
  const CommandLine& line_;
  std::istream& in_;
  std::ostream& out_;
  const SecretReader& readSecret_;
  const AdministratorCheck& runsAsAdministrator_;
  Registry* registry_;
};

std::optional<Failure> Session::Run() {
  const auto& w = line_.words;
  auto is = [&](const char* first, const char* second = nullptr) {
    if (w.empty() || w[0] != first) return false;
    return second == nullptr ? w.size() == 1 : (w.size() >= 2 && w[1] == second);
  };
  if (is("ping")) return Ping();
  if (is("policy", "show") && w.size() == 2) return PolicyShow();
  if (is("rule", "list") && w.size() == 2) return RuleList();
  if (is("rule", "add") && w.size() == 2) return RuleAdd();
  if (is("rule", "remove") && w.size() == 3) return RuleRemove();
  if (is("locks", "show") && w.size() == 2) return LocksShow();
  if (is("locks", "set") && w.size() == 2) return LocksSet();
  if (is("password", "check") && w.size() == 2) return PasswordCheck();
  if (is("password", "change") && w.size() == 2) return PasswordChange();
  if (!w.empty() && w[0] == "follow-parent" && w.size() == 3) return FollowParent();
  if (is("arrivals")) return Arrivals();
  if (is("language")) return Language();
  if (is("server", "show") && w.size() == 2) return ServerShowCommand();
  if (is("server", "set") && w.size() == 2) return ServerSetCommand();
  std::string command;
  for (const auto& word : w) command += (command.empty() ? "" : " ") + word;
  return Failure{kExitBadArguments, "unknown command \"" + command + "\" (vxctl help lists the commands)"};
}

std::optional<Failure> Session::Ping() {
  int result = 0;
  if (auto failure = Check(service_.Ping(result))) return failure;
  if (line_.json)
    out_ << "{\"running\": true}\n";
  else
    out_ << "The service is running.\n";
  return std::nullopt;
}

void Session::PrintRules(const DEVICE_POLICY& policy, const char* indent) {
  if (policy.count == 0) out_ << indent << "(no rules: every USB disk is allowed)\n";
  for (int32_t i = 0; i < policy.count && i < USB_MAX_RULES; ++i)
    out_ << indent << (i + 1) << ". " << RuleLine(policy.rules[i]) << "\n";
}

std::string Session::RulesJson(const DEVICE_POLICY& policy) {
  std::string json = "[";
  for (int32_t i = 0; i < policy.count && i < USB_MAX_RULES; ++i) {
    const USB_RULE& rule = policy.rules[i];
    json += i ? ", " : "";
    json += "{\"number\": " + std::to_string(i + 1) + ", \"action\": " + JsonString(ActionWords(rule.action)) +
            ", \"actionCode\": " + std::to_string(rule.action) + ", \"flags\": " + std::to_string(rule.flags) +
            ", \"match\": {";
    bool first = true;
    for (int f = 0; f < kRuleFieldCount; ++f) {
      if (!(rule.flags & kRuleFields[f].checkBit)) continue;
      json += first ? "" : ", ";
      first = false;
      json += std::string("\"") + kRuleFields[f].name + "\": {\"text\": " + JsonString(RuleFieldText(rule, f)) +
              ", \"exact\": " + FlagJson(rule.flags & kRuleFields[f].exactBit) + "}";
    }
    json += "}, \"words\": " + JsonString(MatchWords(rule)) + "}";
  }
  return json + "]";
}

// Where the value in force comes from, in words.
std::string Source(uint8_t inherit, uint8_t lock) {
  if (lock) return "set by the management server";
  if (inherit) return "follows the parent policy";
  return "local";
}

std::optional<Failure> Session::PolicyShow() {
  DEVICE_POLICY policy;
  if (auto failure = ReadPolicy(policy)) return failure;
  if (line_.json) {
    auto item = [](uint8_t inherit, uint8_t lock) {
      return "\"followParent\": " + FlagJson(inherit) + ", \"lockedByServer\": " + FlagJson(lock);
    };
    out_ << "{\"rules\": {\"count\": " << policy.count << ", " << item(policy.ruleUsb__Inherit, policy.ruleUsb__Lock)
         << ", \"list\": " << RulesJson(policy) << "},\n"
         << " \"cdrom\": {\"locked\": " << FlagJson(policy.lockCdDvd) << ", "
         << item(policy.lockCdDvd__Inherit, policy.lockCdDvd__Lock) << "},\n"
         << " \"floppy\": {\"locked\": " << FlagJson(policy.lockFloppy) << ", "
         << item(policy.lockFloppy__Inherit, policy.lockFloppy__Lock) << "},\n"
         << " \"password\": {" << item(policy.password__Inherit, policy.password__Lock) << "}}\n";
    return std::nullopt;
  }
  out_ << "USB storage rules (" << policy.count << ", " << Source(policy.ruleUsb__Inherit, policy.ruleUsb__Lock)
       << "), the first that matches decides:\n";
  PrintRules(policy, "  ");
  out_ << "CD/DVD drives:  " << (policy.lockCdDvd ? "locked" : "unlocked") << " ("
       << Source(policy.lockCdDvd__Inherit, policy.lockCdDvd__Lock) << ")\n"
       << "Floppy drives:  " << (policy.lockFloppy ? "locked" : "unlocked") << " ("
       << Source(policy.lockFloppy__Inherit, policy.lockFloppy__Lock) << ")\n"
       << "Password:       " << Source(policy.password__Inherit, policy.password__Lock) << "\n";
  return std::nullopt;
}

std::optional<Failure> Session::RuleList() {
  DEVICE_POLICY policy;
  if (auto failure = ReadPolicy(policy)) return failure;
  if (line_.json)
    out_ << RulesJson(policy) << "\n";
  else
    PrintRules(policy, "");
  return std::nullopt;
}

// A local change of the rule list lasts only when the list is neither set by
// the management server nor following the parent.
std::optional<Failure> Session::EditableRules(const DEVICE_POLICY& policy) {
  if (policy.ruleUsb__Lock)
    return Failure{kExitRefused, "the rule list is set by the management server; local changes would not last"};
  if (policy.ruleUsb__Inherit)
    return Failure{kExitRefused,
                   "the rule list follows the parent policy; run \"vxctl follow-parent rules off\" first"};
  if (policy.count < 0 || policy.count > static_cast<int32_t>(kMaxTextRules))
    return Failure{kExitServiceFailure, "the service sent a rule count of " + std::to_string(policy.count)};
  return std::nullopt;
}

std::optional<Failure> Session::RuleAdd() {
  // The options build the rule through the same model as rules in words.
  USB_RULE rule{};
  for (int i = 0; i < kRuleFieldCount; ++i) {
    const char* name = kRuleFields[i].name;
    if (!line_.options.count(name)) continue;
    if (std::optional<std::string> fault = SetRulePattern(rule, i, Option(line_, name)))
      return Failure{kExitBadArguments, std::string("--") + name + ": " + *fault};
  }
  for (const std::string& exact : line_.exactFields) {
    const std::optional<int> index = RuleFieldIndex(exact);
    if (!index)
      return Failure{kExitBadArguments, "--exact takes vendor, product, revision or serial, not \"" + exact + "\""};
    if (!(rule.flags & kRuleFields[*index].checkBit))
      return Failure{kExitBadArguments, "--exact " + exact + " needs --" + exact + " TEXT"};
    rule.flags |= kRuleFields[*index].exactBit;
  }
  if (!line_.options.count("action"))
    return Failure{kExitBadArguments, "rule add needs --action block|read-only|allow"};
  const std::optional<int32_t> action = ParseAction(Option(line_, "action"));
  if (!action) return Failure{kExitBadArguments, "--action takes block, read-only or allow"};
  rule.action = *action;
  std::optional<long> at;
  if (line_.options.count("at")) {
    at = ParseNumber(Option(line_, "at"));
    if (!at || *at < 1) return Failure{kExitBadArguments, "--at takes a rule number from 1"};
  }

  DEVICE_POLICY policy;
  if (auto failure = ReadPolicy(policy)) return failure;
  if (auto failure = EditableRules(policy)) return failure;
  if (policy.count >= static_cast<int32_t>(kMaxTextRules))
    return Failure{kExitBadArguments, "the rule list already holds the most rules it can (124)"};
  const long position = at ? *at : policy.count + 1;
  if (position > policy.count + 1)
    return Failure{kExitBadArguments, "--at " + std::to_string(position) + " is past the end; the list has " +
                                          std::to_string(policy.count) + " rules"};
  for (long i = policy.count; i >= position; --i) policy.rules[i] = policy.rules[i - 1];
  policy.rules[position - 1] = rule;
  ++policy.count;
  if (auto failure = WritePolicy(policy)) return failure;
  out_ << "Rule " << position << " added: " << ActionWords(rule.action) << " " << MatchWords(rule) << "\n";
  return std::nullopt;
}

std::optional<Failure> Session::RuleRemove() {
  const std::optional<long> number = ParseNumber(line_.words[2]);
  if (!number || *number < 1) return Failure{kExitBadArguments, "rule remove takes a rule number from 1"};
  DEVICE_POLICY policy;
  if (auto failure = ReadPolicy(policy)) return failure;
  if (auto failure = EditableRules(policy)) return failure;
  if (*number > policy.count)
    return Failure{kExitBadArguments,
                   "there is no rule " + std::to_string(*number) + "; the list has " + std::to_string(policy.count)};
  const USB_RULE removed = policy.rules[*number - 1];
  for (long i = *number - 1; i + 1 < policy.count; ++i) policy.rules[i] = policy.rules[i + 1];
  --policy.count;
  std::memset(&policy.rules[policy.count], 0, sizeof(USB_RULE));
  if (auto failure = WritePolicy(policy)) return failure;
  out_ << "Rule " << *number << " removed: " << ActionWords(removed.action) << " " << MatchWords(removed) << "\n";
  return std::nullopt;
}

std::optional<Failure> Session::LocksShow() {
  int mask = 0;
  if (auto failure = Check(service_.GetDriveLocks(mask))) return failure;
  const bool cdrom = mask & static_cast<int>(kDriveLockCdDvd);
  const bool floppy = mask & static_cast<int>(kDriveLockFloppy);
  if (line_.json)
    out_ << "{\"mask\": " << mask << ", \"cdrom\": " << FlagJson(cdrom) << ", \"floppy\": " << FlagJson(floppy)
         << "}\n";
  else
    out_ << "CD/DVD drives:  " << (cdrom ? "locked" : "unlocked")
         << "\nFloppy drives:  " << (floppy ? "locked" : "unlocked") << "\n";
  return std::nullopt;
}

std::optional<Failure> Session::LocksSet() {
  std::optional<bool> cdrom, floppy;
  if (line_.options.count("cdrom") && !(cdrom = ParseOnOff(Option(line_, "cdrom"))))
    return Failure{kExitBadArguments, "--cdrom takes on or off"};
  if (line_.options.count("floppy") && !(floppy = ParseOnOff(Option(line_, "floppy"))))
    return Failure{kExitBadArguments, "--floppy takes on or off"};
  if (!cdrom && !floppy) return Failure{kExitBadArguments, "locks set needs --cdrom on|off or --floppy on|off"};

  DEVICE_POLICY policy;
  if (auto failure = ReadPolicy(policy)) return failure;
  auto editable = [](const char* item, const char* word, uint8_t inherit, uint8_t lock) -> std::optional<Failure> {
    if (lock) return Failure{kExitRefused, std::string("the ") + item + " lock is set by the management server"};
    if (inherit)
      return Failure{kExitRefused, std::string("the ") + item +
                                       " lock follows the parent policy; run \"vxctl follow-parent " + word +
                                       " off\" first"};
    return std::nullopt;
  };
  if (cdrom)
    if (auto failure = editable("CD/DVD", "cdrom", policy.lockCdDvd__Inherit, policy.lockCdDvd__Lock)) return failure;
  if (floppy)
    if (auto failure = editable("floppy", "floppy", policy.lockFloppy__Inherit, policy.lockFloppy__Lock))
      return failure;
  // An item not named keeps the value in force.
  uint32_t mask = 0;
  if (cdrom.value_or(policy.lockCdDvd != 0)) mask |= kDriveLockCdDvd;
  if (floppy.value_or(policy.lockFloppy != 0)) mask |= kDriveLockFloppy;
  int result = 0;
  if (auto failure = Check(service_.SetDriveLocks(mask, result))) return failure;
  if (result != 1) return Refused("the service refused the lock change");
  return LocksShow();
}

std::optional<Failure> Session::PasswordCheck() {
  std::string candidate;
  if (auto failure = Password("password", "Password: ", "the password was given", candidate)) return failure;
  int result = 0;
  if (auto failure = Check(service_.CheckPassword(candidate, result))) return failure;
  if (line_.json) out_ << "{\"right\": " << FlagJson(result == 1) << "}\n";
  if (result != 1) return Failure{kExitRefused, "the password is wrong"};
  if (!line_.json) out_ << "The password is right.\n";
  return std::nullopt;
}

std::optional<Failure> Session::PasswordChange() {
  std::string current, replacement;
  if (auto failure = Password("current", "Current password: ", "the current password was given", current))
    return failure;
  if (auto failure = NewPassword(replacement)) return failure;
  if (replacement.size() > kMaxPasswordLength)
    return Failure{kExitBadArguments,
                   "the new password is " + std::to_string(replacement.size()) + " characters; it holds at most 127"};
  DEVICE_POLICY policy;
  if (auto failure = ReadPolicy(policy)) return failure;
  if (policy.password__Lock) return Failure{kExitRefused, "the password is set by the management server"};
  int result = 0;
  if (auto failure = Check(service_.ChangePassword(current, replacement, 0, result))) return failure;
  if (result != 1) return Refused("the current password is wrong; nothing changed");
  out_ << "The password is changed.\n";
  return std::nullopt;
}

std::optional<Failure> Session::FollowParent() {
  const std::string& item = line_.words[1];
  const std::optional<bool> follow = ParseOnOff(line_.words[2]);
  if (!follow) return Failure{kExitBadArguments, "follow-parent takes on or off"};
  if (item != "rules" && item != "cdrom" && item != "floppy" && item != "password")
    return Failure{kExitBadArguments, "follow-parent takes rules, cdrom, floppy or password, not \"" + item + "\""};

  if (item == "password") {
    std::string current;
    if (auto failure = Password("password", "Password: ", "the password was given", current)) return failure;
    DEVICE_POLICY policy;
    if (auto failure = ReadPolicy(policy)) return failure;
    if (policy.password__Lock) return Failure{kExitRefused, "the password is set by the management server"};
    // Off keeps the password now in force as the local one.
    int result = 0;
    if (auto failure = Check(service_.ChangePassword(current, current, *follow ? 1 : 0, result))) return failure;
    if (result != 1) return Refused("the password is wrong; nothing changed");
    out_ << (*follow ? "The password now follows the parent policy.\n" : "The password is now local.\n");
    return std::nullopt;
  }

  DEVICE_POLICY policy;
  if (auto failure = ReadPolicy(policy)) return failure;
  if (policy.count < 0 || policy.count > static_cast<int32_t>(kMaxTextRules))
    return Failure{kExitServiceFailure, "the service sent a rule count of " + std::to_string(policy.count)};
  uint8_t& flag = item == "rules"   ? policy.ruleUsb__Inherit
                  : item == "cdrom" ? policy.lockCdDvd__Inherit
                                    : policy.lockFloppy__Inherit;
  flag = *follow ? 1 : 0;
  if (auto failure = WritePolicy(policy)) return failure;
  // When it stops following, the item keeps the value now in force.
  out_ << "The "
       << (item == "rules"   ? "rule list"
           : item == "cdrom" ? "CD/DVD lock"
                             : "floppy lock")
       << (*follow ? " now follows the parent policy.\n" : " is now local.\n");
  return std::nullopt;
}

std::optional<Failure> Session::Arrivals() {
  std::vector<USB_RULE> arrivals;
  for (int i = 0; i < kMaxArrivalsPerRun; ++i) {
    USB_RULE entry{};
    int result = 0;
    if (auto failure = Check(service_.PopDeviceArrival(entry, result))) {
      // What was taken is gone from the service: show it before failing.
      for (const USB_RULE& disk : arrivals)
        out_ << RuleFieldText(disk, 0) << " " << RuleFieldText(disk, 1) << ": " << ActionWords(disk.action) << "\n";
      return failure;
    }
    if (result != 1) break;
    arrivals.push_back(entry);
  }
  if (line_.json) {
    out_ << "[";
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
      const USB_RULE& disk = arrivals[i];
      out_ << (i ? ",\n " : "") << "{\"vendor\": " << JsonString(RuleFieldText(disk, 0))
           << ", \"product\": " << JsonString(RuleFieldText(disk, 1))
           << ", \"revision\": " << JsonString(RuleFieldText(disk, 2))
           << ", \"serial\": " << JsonString(RuleFieldText(disk, 3))
           << ", \"action\": " << JsonString(ActionWords(disk.action)) << ", \"actionCode\": " << disk.action << "}";
    }
    out_ << "]\n";
    return std::nullopt;
  }
  if (arrivals.empty()) out_ << "No USB storage disk has arrived since the last call.\n";
  for (const USB_RULE& disk : arrivals)
    out_ << RuleFieldText(disk, 0) << " " << RuleFieldText(disk, 1) << " (revision " << RuleFieldText(disk, 2)
         << ", serial " << RuleFieldText(disk, 3) << "): " << ActionWords(disk.action) << "\n";
  return std::nullopt;
}

std::optional<Failure> Session::Language() {
  uint8_t name[16] = {};
  int result = 0;
  if (auto failure = Check(service_.GetLanguage(sizeof name, name, result))) return failure;
  if (result != 1) return Failure{kExitRefused, "the language setting names no language the service knows"};
  name[sizeof name - 1] = 0;
  const std::string language(reinterpret_cast<const char*>(name));
  if (line_.json)
    out_ << "{\"language\": " << JsonString(language) << "}\n";
  else
    out_ << language << "\n";
  return std::nullopt;
}

std::optional<Failure> FromServerCommand(const std::optional<ServerCommandFailure>& failure) {
  if (!failure) return std::nullopt;
  return Failure{failure->code, failure->message};
}

std::optional<Failure> Session::ServerShowCommand() {
  if (registry_ == nullptr) return Failure{kExitServiceFailure, "the registry cannot be read here"};
  // Whether the published connection is this service's: only a running
  // service keeps it current.
  int result = 0;
  const bool running = service_.Ping(result) == 0 && result == 1;
  return FromServerCommand(ServerShow(*registry_, running, line_.json, out_));
}

std::optional<Failure> Session::ServerSetCommand() {
  if (registry_ == nullptr) return Failure{kExitServiceFailure, "the registry cannot be written here"};
  const std::optional<std::string> host =
      line_.options.count("host") ? std::optional<std::string>(Option(line_, "host")) : std::nullopt;
  const bool administrator = !runsAsAdministrator_ || runsAsAdministrator_();
  return FromServerCommand(ServerSet(*registry_, host, line_.off, administrator, out_));
}

}  // namespace

std::string VxctlUsage() {
  return "usage: vxctl COMMAND [--json]\n"
         "  ping                          is the service running?\n"
         "  policy show                   rules in words, drive locks, where each value comes from\n"
         "  rule list                     the USB storage rules, numbered; the first that matches decides\n"
         "  rule add [--vendor TEXT] [--product TEXT] [--revision TEXT] [--serial TEXT]\n"
         "           [--exact FIELD...] --action block|read-only|allow [--at N]\n"
         "                                a field given is matched as a part of the disk's text (letter case\n"
         "                                ignored), or whole with --exact; no field matches every disk\n"
         "  rule remove N\n"
         "  locks show\n"
         "  locks set [--cdrom on|off] [--floppy on|off]\n"
         "  password check [--password TEXT]\n"
         "  password change [--current TEXT] [--new TEXT]\n"
         "  follow-parent rules|cdrom|floppy|password on|off [--password TEXT]\n"
         "  arrivals                      the USB disks seen since the last call, with their action\n"
         "  language                      the user interface language\n"
         "  server show                   the management server settings, and whether the service is connected\n"
         "  server set --host NAME | --off\n"
         "                                point the service at a management server, or turn its client off;\n"
         "                                the service applies it at its next start\n"
         "Passwords not given as options are asked for at the console (a new one twice),\n"
         "or else read from standard input, one a line; input that ends first sends nothing.\n"
         "Changes of the policy and of the server settings need administrator rights.\n"
         "Exit codes: 0 done, 1 refused, wrong password or not an administrator,\n"
         "2 bad arguments (nothing sent), 3 the service is not running or the call failed.\n";
}

int RunVxctl(const std::vector<std::string>& args, ControlService& service, std::istream& in, std::ostream& out,
             std::ostream& err, const SecretReader& readSecret, const AdministratorCheck& runsAsAdministrator,
             Registry* registry) {
  if (args.empty()) {
    err << VxctlUsage();
    return kExitBadArguments;
  }
  if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
    out << VxctlUsage();
    return kExitOk;
  }
  CommandLine line;
  std::optional<Failure> failure = Parse(args, line);
  if (!failure) {
    Session session(service, line, in, out, readSecret, runsAsAdministrator, registry);
    failure = session.Run();
  }
  if (!failure) return kExitOk;
  err << "vxctl: " << failure->message << "\n";
  return failure->code;
}

}  // namespace vx
