#include "tools/vxfleet/fleet_network.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdio>

#include "tools/vxfleet/fleet_report.h"

namespace vx::fleet {
namespace {

using asio::ip::tcp;

// Reads one wake-up may make for one agent before others get their go.
constexpr int kReadsPerWakeUp = 16;

asio::ip::address_v4 Address(uint32_t address) { return asio::ip::address_v4(address); }

}  // namespace

FleetNetwork::FleetNetwork(Fleet& fleet, NetworkPlan plan)
    : fleet_(fleet), plan_(std::move(plan)), tick_(io_), signals_(io_, SIGINT, SIGTERM), links_(fleet.Size()) {}

FleetTime FleetNetwork::Now() const {
  return std::chrono::duration_cast<FleetTime>(std::chrono::steady_clock::now() - zero_);
}

FleetTime FleetNetwork::Run() {
  zero_ = std::chrono::steady_clock::now();
  nextProgress_ = plan_.progress;
  signals_.async_wait([this](const asio::error_code& error, int) {
    if (error) return;
    interrupted_ = true;
    endedAt_ = Now();
    io_.stop();
  });
  ArmTick(FleetTime{0});
  io_.run();
  return endedAt_;
}

// ---- Ticks ---------------------------------------------------------------------

void FleetNetwork::ArmTick(FleetTime at) {
  tick_.expires_at(zero_ + at);
  tick_.async_wait([this](const asio::error_code& error) {
    if (!error) Tick();
  });
}

void FleetNetwork::Tick() {
  const FleetTime now = Now();
  due_.clear();
  fleet_.TakeDue(now, due_);
  for (const std::size_t agent : due_) {
    fleet_.Agent(agent).Turn(now);
    Sync(agent, now);
  }
  if (plan_.progress.count() > 0 && now >= nextProgress_) {
    std::fprintf(stderr, "%s\n", ProgressLine(fleet_, now).c_str());
    while (nextProgress_ <= now) nextProgress_ += plan_.progress;
  }
  if (Finished(now)) {
    endedAt_ = now;
    io_.stop();
    return;
  }
  // Counted from this tick's time, so two turns of one agent are always at
  // least one interval apart, however long this tick took.
  ArmTick(now + kTurnInterval);
}

bool FleetNetwork::Finished(FleetTime now) const {
  if (now < fleet_.GrowthEnd()) return false;
  return fleet_.AllStored() || now >= fleet_.GrowthEnd() + plan_.settle;
}

// ---- One agent's socket ------------------------------------------------------

bool FleetNetwork::Current(std::size_t agent, uint64_t connection) const {
  const Link& link = links_[agent];
  return link.socket && link.connection == connection;
}

void FleetNetwork::Close(Link& link) {
  asio::error_code ignored;
  // Closing cancels the socket's pending operations; their handlers see the
  // link no longer belongs to their connection. A close error leaves nothing
  // to do: the descriptor is released either way.
  link.socket->close(ignored);
  link = Link{};
}

void FleetNetwork::Sync(std::size_t agent, FleetTime now) {
  SimulatedAgent& simulated = fleet_.Agent(agent);
  Link& link = links_[agent];
  for (;;) {
    if (link.socket && (!simulated.WantsSocket() || link.connection != simulated.ConnectionNumber())) Close(link);
    if (!simulated.WantsConnect()) break;
    StartConnect(agent, now);  // a connection that fails at once is closed on the next pass
  }
  if (link.socket && link.open) {
    if (!link.writing && !simulated.Output().empty()) StartWrite(agent);
    if (!link.reading && !simulated.ReadSpace().empty()) StartRead(agent);
  }
  fleet_.Reschedule(agent, now);
}

void FleetNetwork::StartConnect(std::size_t agent, FleetTime now) {
  SimulatedAgent& simulated = fleet_.Agent(agent);
  const std::size_t server = fleet_.ChooseServer();
  simulated.ConnectStarted(server, now);
  Link& link = links_[agent];
  link.socket = std::make_unique<tcp::socket>(io_);
  link.connection = simulated.ConnectionNumber();

  asio::error_code error;
  link.socket->open(tcp::v4(), error);
  if (!error && !plan_.sourceAddresses.empty()) {
    // The port is chosen at connect time, per destination, so one source
    // address serves as many connections as there are ports for each server.
    // Should the kernel refuse the option, the bind takes a port of its own:
    // fewer connections per address, still correct, so its result is ignored.
    const int yes = 1;
    (void)::setsockopt(link.socket->native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes);
    const uint32_t source = plan_.sourceAddresses[nextSource_++ % plan_.sourceAddresses.size()];
    link.socket->bind(tcp::endpoint(Address(source), 0), error);
  }
  if (error) {
    simulated.ConnectFailed(now);
    return;
  }
  const Ipv4Endpoint& target = plan_.servers[server];
  const uint64_t connection = link.connection;
  link.socket->async_connect(tcp::endpoint(Address(target.address), target.port),
                             [this, agent, connection](const asio::error_code& failed) {
                               if (!Current(agent, connection)) return;
                               Link& link = links_[agent];
                               SimulatedAgent& simulated = fleet_.Agent(agent);
                               const FleetTime now = Now();
                               asio::error_code error = failed;
                               // Every header and body is its own write, as the client's sends are.
                               if (!error) link.socket->set_option(tcp::no_delay(true), error);
                               if (!error) link.socket->non_blocking(true, error);
                               if (error) {
                                 simulated.ConnectFailed(now);
                               } else {
                                 link.open = true;
                                 simulated.Connected(now);
                               }
                               Sync(agent, now);
                             });
}

void FleetNetwork::StartWrite(std::size_t agent) {
  Link& link = links_[agent];
  link.writing = true;
  const std::span<const uint8_t> output = fleet_.Agent(agent).Output();
  const uint64_t connection = link.connection;
  link.socket->async_write_some(asio::buffer(output.data(), output.size()),
                                [this, agent, connection](const asio::error_code& error, std::size_t written) {
                                  if (!Current(agent, connection)) return;
                                  links_[agent].writing = false;
                                  const FleetTime now = Now();
                                  if (error)
                                    fleet_.Agent(agent).ConnectionLost(now);
                                  else
                                    fleet_.Agent(agent).Sent(written, now);
                                  Sync(agent, now);
                                });
}

void FleetNetwork::StartRead(std::size_t agent) {
  Link& link = links_[agent];
  link.reading = true;
  const uint64_t connection = link.connection;
  // Waiting for readability needs no buffer: the bytes are read when they
  // are there, straight into what the agent takes.
  link.socket->async_wait(tcp::socket::wait_read, [this, agent, connection](const asio::error_code& error) {
    if (!Current(agent, connection)) return;
    links_[agent].reading = false;
    const FleetTime now = Now();
    if (error)
      fleet_.Agent(agent).ConnectionLost(now);
    else
      ReadAvailable(agent, now);
    Sync(agent, now);
  });
}

void FleetNetwork::ReadAvailable(std::size_t agent, FleetTime now) {
  SimulatedAgent& simulated = fleet_.Agent(agent);
  Link& link = links_[agent];
  for (int read = 0; read < kReadsPerWakeUp; ++read) {
    const std::span<uint8_t> space = simulated.ReadSpace();
    if (space.empty()) return;
    asio::error_code error;
    const std::size_t count = link.socket->read_some(asio::buffer(space.data(), space.size()), error);
    if (error == asio::error::would_block || error == asio::error::try_again) return;
    if (error) {
      simulated.ConnectionLost(now);  // the peer closed it (eof) or it failed
      return;
    }
    simulated.Received(count, now);
    if (!simulated.WantsSocket() || simulated.ConnectionNumber() != link.connection) return;
  }
}

}  // namespace vx::fleet
