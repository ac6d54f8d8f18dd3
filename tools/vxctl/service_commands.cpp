// ping, language, arrivals: what the service tells without a change.
#include <ostream>
#include <vector>

#include "policy/rule_words.h"
#include "tools/vxctl/commands.h"
#include "tools/vxctl/json_text.h"

namespace vx {
namespace {

constexpr int kMaxArrivalsPerRun = 100000;  // the queue is emptied by this command; a bound all the same

void PrintArrivalsJson(std::ostream& out, const std::vector<USB_RULE>& arrivals) {
  out << "[";
  for (std::size_t i = 0; i < arrivals.size(); ++i) {
    const USB_RULE& disk = arrivals[i];
    out << (i ? ",\n " : "") << "{\"vendor\": " << JsonString(RuleFieldText(disk, 0))
        << ", \"product\": " << JsonString(RuleFieldText(disk, 1))
        << ", \"revision\": " << JsonString(RuleFieldText(disk, 2))
        << ", \"serial\": " << JsonString(RuleFieldText(disk, 3))
        << ", \"action\": " << JsonString(ActionWords(disk.action)) << ", \"actionCode\": " << disk.action << "}";
  }
  out << "]\n";
}

void PrintArrivals(std::ostream& out, const std::vector<USB_RULE>& arrivals) {
  for (const USB_RULE& disk : arrivals)
    out << RuleFieldText(disk, 0) << " " << RuleFieldText(disk, 1) << " (revision " << RuleFieldText(disk, 2)
        << ", serial " << RuleFieldText(disk, 3) << "): " << ActionWords(disk.action) << "\n";
}

}  // namespace

std::optional<Failure> PingCommand(CommandSession& session) {
  int result = 0;
  if (auto failure = session.Check(session.Service().Ping(result))) return failure;
  if (session.Json())
    session.Out() << "{\"running\": true}\n";
  else
    session.Out() << "The service is running.\n";
  return std::nullopt;
}

std::optional<Failure> ArrivalsCommand(CommandSession& session) {
  std::vector<USB_RULE> arrivals;
  std::optional<Failure> failure;
  for (int i = 0; i < kMaxArrivalsPerRun; ++i) {
    USB_RULE entry{};
    int result = 0;
    if ((failure = session.Check(session.Service().PopDeviceArrival(entry, result)))) break;
    if (result != 1) break;
    arrivals.push_back(entry);
  }
  // What was taken is gone from the service: it is shown even when a later
  // call failed (as a whole JSON list with --json), and the failure follows.
  // A failure before anything was taken shows nothing, not an empty list.
  if (failure && arrivals.empty()) return failure;
  if (session.Json())
    PrintArrivalsJson(session.Out(), arrivals);
  else if (arrivals.empty())
    session.Out() << "No USB storage disk has arrived since the last call.\n";
  else
    PrintArrivals(session.Out(), arrivals);
  return failure;
}

std::optional<Failure> LanguageCommand(CommandSession& session) {
  uint8_t name[16] = {};
  int result = 0;
  if (auto failure = session.Check(session.Service().GetLanguage(sizeof name, name, result))) return failure;
  if (result != 1) return Failure{kExitRefused, "the language setting names no language the service knows"};
  name[sizeof name - 1] = 0;
  const std::string language(reinterpret_cast<const char*>(name));
  if (session.Json())
    session.Out() << "{\"language\": " << JsonString(language) << "}\n";
  else
    session.Out() << language << "\n";
  return std::nullopt;
}

}  // namespace vx
