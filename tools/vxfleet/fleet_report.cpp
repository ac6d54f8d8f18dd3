#include "tools/vxfleet/fleet_report.h"

#include <cinttypes>
#include <cstdio>

namespace vx::fleet {
namespace {

using std::chrono::milliseconds;

// Whole milliseconds, rounded up, so a delay is never shown below what it was.
long long Ms(FleetTime time) {
  return static_cast<long long>((time + milliseconds(1) - FleetTime(1)) / milliseconds(1));
}

std::string Format(const char* format, auto... values) {
  char text[512];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

std::string JsonDelay(const FleetSummary& s, FleetTime delay) {
  return s.delaySamples == 0 ? "null" : std::to_string(Ms(delay));
}

}  // namespace

std::string DigestText(uint32_t digest) { return Format("0x%08" PRIX32, digest); }

FleetSummary Summarize(const Fleet& fleet, FleetTime now) {
  const FleetStatistics& statistics = fleet.Statistics();
  FleetSummary s;
  s.agents = fleet.Size();
  s.connected = statistics.connected;
  s.maxConnected = statistics.maxConnected;
  s.connectAttempts = statistics.connectAttempts;
  s.connectFailures = statistics.connectFailures;
  s.helloRefused = statistics.helloRefused;
  s.reconnects = statistics.reconnects;
  s.rowsCreated = fleet.RowsCreated(now);
  s.rowsStored = statistics.rowsStored;
  s.rowsResent = statistics.rowsResent;
  s.cursorRegressions = statistics.cursorRegressions;
  s.delaySamples = statistics.delays.Samples();
  s.delayMedian = statistics.delays.Quantile(0.5);
  s.delayP99 = statistics.delays.Quantile(0.99);
  s.delayMax = statistics.delays.Max();
  for (std::size_t i = 0; i < fleet.Size(); ++i) {
    const SimulatedAgent& agent = fleet.Agent(i);
    ++s.digests[agent.HeldDigest()];
    if (agent.Deliveries() == 1) ++s.agentsWithOneUpdate;
    if (agent.Deliveries() > 1) ++s.agentsWithMoreUpdates;
  }
  s.deliveries = statistics.deliveries;
  s.unconfirmedDeliveries = statistics.unconfirmedDeliveries;
  s.updateBytes = statistics.updateBytes;
  // Rows created so far: after the growth every row of every table, and on
  // an early end (a signal) the rows made until then.
  s.allStored = s.rowsStored == s.rowsCreated;
  return s;
}

int ExitCodeOf(const FleetSummary& summary) { return summary.allStored && summary.cursorRegressions == 0 ? 0 : 1; }

std::string ProgressLine(const Fleet& fleet, FleetTime now) {
  const FleetStatistics& statistics = fleet.Statistics();
  const std::string p99 =
      statistics.delays.Samples() == 0 ? "-" : std::to_string(Ms(statistics.delays.Quantile(0.99))) + " ms";
  return Format("vxfleet: %.1f s: %zu of %zu agents connected, %llu rows created, %llu stored, delay p99 %s",
                std::chrono::duration<double>(now).count(), statistics.connected, fleet.Size(),
                static_cast<unsigned long long>(fleet.RowsCreated(now)),
                static_cast<unsigned long long>(statistics.rowsStored), p99.c_str());
}

std::string ReportText(const FleetSummary& s) {
  std::string text;
  text += Format("agents:             %zu (connected at the end %zu, at most %zu)\n", s.agents, s.connected,
                 s.maxConnected);
  text += Format("connections:        %llu attempts, %llu failed, %llu refused, %llu reconnects\n",
                 static_cast<unsigned long long>(s.connectAttempts), static_cast<unsigned long long>(s.connectFailures),
                 static_cast<unsigned long long>(s.helloRefused), static_cast<unsigned long long>(s.reconnects));
  text += Format("rows:               %llu created, %llu stored, %llu resent\n",
                 static_cast<unsigned long long>(s.rowsCreated), static_cast<unsigned long long>(s.rowsStored),
                 static_cast<unsigned long long>(s.rowsResent));
  text += Format("cursor regressions: %llu%s\n", static_cast<unsigned long long>(s.cursorRegressions),
                 s.cursorRegressions ? " (A SERVER LOST STORED ROWS)" : "");
  if (s.delaySamples == 0)
    text += "delay:              no row proven stored\n";
  else
    text += Format("delay:              median %lld ms, p99 %lld ms, max %lld ms (%llu rows)\n", Ms(s.delayMedian),
                   Ms(s.delayP99), Ms(s.delayMax), static_cast<unsigned long long>(s.delaySamples));
  text += "digests held:      ";
  for (const auto& [digest, agents] : s.digests) text += Format(" %s by %zu,", DigestText(digest).c_str(), agents);
  if (!s.digests.empty()) text.pop_back();
  text += "\n";
  text += Format(
      "updates:            %llu delivered (%llu agents once, %llu more than once; %llu unconfirmed), %llu "
      "bytes\n",
      static_cast<unsigned long long>(s.deliveries), static_cast<unsigned long long>(s.agentsWithOneUpdate),
      static_cast<unsigned long long>(s.agentsWithMoreUpdates),
      static_cast<unsigned long long>(s.unconfirmedDeliveries), static_cast<unsigned long long>(s.updateBytes));
  text += Format("peak RSS:           %ld KiB\n", s.peakRssKiB);
  text += Format("elapsed:            %.1f s\n", s.elapsedSeconds);
  text += s.allStored ? "result:             every row proven stored\n"
                      : Format("result:             %llu rows NOT proven stored\n",
                               static_cast<unsigned long long>(s.rowsCreated - std::min(s.rowsCreated, s.rowsStored)));
  return text;
}

std::string ReportJson(const FleetSummary& s) {
  std::string digests;
  for (const auto& [digest, agents] : s.digests)
    digests += Format("%s\"%s\": %zu", digests.empty() ? "" : ", ", DigestText(digest).c_str(), agents);
  return Format(
             "{\"agents\": %zu, \"connected\": %zu, \"maxConnected\": %zu, \"connectAttempts\": %llu, "
             "\"connectFailures\": %llu, \"helloRefused\": %llu, \"reconnects\": %llu, \"rowsCreated\": %llu, "
             "\"rowsStored\": %llu, \"rowsResent\": %llu, \"cursorRegressions\": %llu, ",
             s.agents, s.connected, s.maxConnected, static_cast<unsigned long long>(s.connectAttempts),
             static_cast<unsigned long long>(s.connectFailures), static_cast<unsigned long long>(s.helloRefused),
             static_cast<unsigned long long>(s.reconnects), static_cast<unsigned long long>(s.rowsCreated),
             static_cast<unsigned long long>(s.rowsStored), static_cast<unsigned long long>(s.rowsResent),
             static_cast<unsigned long long>(s.cursorRegressions)) +
         "\"delayMs\": {\"median\": " + JsonDelay(s, s.delayMedian) + ", \"p99\": " + JsonDelay(s, s.delayP99) +
         ", \"max\": " + JsonDelay(s, s.delayMax) + ", \"samples\": " + std::to_string(s.delaySamples) +
         "}, \"digests\": {" + digests + "}, " +
         Format(
             "\"updates\": {\"deliveries\": %llu, \"agentsWithOne\": %llu, \"agentsWithMore\": %llu, "
             "\"unconfirmed\": %llu, \"bytes\": %llu}, \"peakRssKiB\": %ld, \"elapsedSeconds\": %.3f}\n",
             static_cast<unsigned long long>(s.deliveries), static_cast<unsigned long long>(s.agentsWithOneUpdate),
             static_cast<unsigned long long>(s.agentsWithMoreUpdates),
             static_cast<unsigned long long>(s.unconfirmedDeliveries), static_cast<unsigned long long>(s.updateBytes),
             s.peakRssKiB, s.elapsedSeconds);
}

void WriteAgentLines(const Fleet& fleet, FleetTime now, std::ostream& out) {
  for (std::size_t i = 0; i < fleet.Size(); ++i) {
    const SimulatedAgent& agent = fleet.Agent(i);
    out << ClientIdHex(agent.Id()) << ' ' << agent.Table().CreatedBy(now) << ' ' << agent.ProvenId() << ' '
        << agent.Deliveries() << ' ' << DigestText(agent.HeldDigest()) << ' ' << agent.UpdateBytes() << ' '
        << Format("%016" PRIx64, agent.LastUpdateHash()) << ' ' << agent.UnconfirmedDeliveries() << '\n';
  }
}

}  // namespace vx::fleet
