// vxmgmtd: the management server of Vestara Device Control.
//
//   vxmgmtd serve [--listen ADDR:PORT] [--db PATH|URL] [--enroll open|approve]
//                 [--max-agents N] [--log-level LEVEL] [--http [ADDR:]PORT]
//   vxmgmtd <administration command> ... (server/commands/)
//
// Exit codes: 0 done, 1 the store cannot be used or the server cannot
// listen, 2 a bad argument (nothing is opened); a command may add its own.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "server/commands/administration_commands.h"
#include "server/commands/database_option.h"
#include "server/data_directory.h"
#include "server/http/http_console.h"
#include "server/serve.h"
#include "server/spdlog_session_log.h"
#include "server/system_clock.h"

namespace {

using namespace vx::server;

struct ServeArguments {
  std::string listen = "0.0.0.0:13911";
  std::string database;
  std::string enroll = "open";
  std::size_t maxAgents = 10000;
  std::string logLevel = "info";
  std::string http;  // the console's [ADDR:]PORT; empty: no console
};

// The console listens on 127.0.0.1 unless an address is named.
std::optional<ListenAddress> ParseConsoleAddress(const std::string& text, std::string& error) {
  return ParseListenAddress(text.find(':') == std::string::npos ? "127.0.0.1:" + text : text, error);
}

int RunServeCommand(const ServeArguments& arguments) {
  std::shared_ptr<spdlog::logger> logger;
  if (!MakeServerLogger(arguments.logLevel, logger)) {
    std::fprintf(stderr, "vxmgmtd serve: --log-level is one of debug, info, warning, error\n");
    return 2;
  }
  std::string error;
  const auto listen = ParseListenAddress(arguments.listen, error);
  if (!listen) {
    std::fprintf(stderr, "vxmgmtd serve: --listen: %s\n", error.c_str());
    return 2;
  }
  ServeOptions options;
  options.store = StoreLocationOrDefault(arguments.database);
  if (arguments.database.empty()) {
    if (std::string made = EnsureDataDirectory(options.store.file.parent_path()); !made.empty()) {
      std::fprintf(stderr, "vxmgmtd serve: %s\n", made.c_str());
      return 1;
    }
  }
  std::optional<ListenAddress> console;
  if (!arguments.http.empty() && !(console = ParseConsoleAddress(arguments.http, error))) {
    std::fprintf(stderr, "vxmgmtd serve: --http: %s\n", error.c_str());
    return 2;
  }
  options.agents.listen = *listen;
  options.agents.maxAgents = arguments.maxAgents;
  options.agents.session.enrollMode = arguments.enroll == "approve" ? EnrollMode::Approve : EnrollMode::Open;

  SystemServerClock clock;
  SpdlogSessionLog log(logger);
  Serve serve(options, clock, log);
  if (std::string opened = serve.Open(); !opened.empty()) {
    logger->error("{}", opened);
    return 1;
  }
  std::unique_ptr<HttpConsole> http;
  if (console) {
    http =
        std::make_unique<HttpConsole>(options.store, *console, [] { return static_cast<int64_t>(std::time(nullptr)); });
    if (std::string started = http->Start(); !started.empty()) {
      logger->error("{}", started);
      return 1;
    }
    logger->info("console on http://{}:{}/", console->address, http->Port());
  }
  // SIGINT and SIGTERM stop the loop; sessions end and the store closes.
  asio::io_context signalsLoop;
  asio::signal_set signals(signalsLoop, SIGINT, SIGTERM);
  signals.async_wait([&](const asio::error_code& waited, int) {
    if (!waited) serve.Stop();
  });
  std::thread signalThread([&] { signalsLoop.run(); });
  serve.Run();
  signals.cancel();
  signalsLoop.stop();
  signalThread.join();
  if (http) http->Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vxmgmtd: the Vestara Device Control management server"};
  app.require_subcommand(1);

  ServeArguments serveArguments;
  CLI::App* serve = app.add_subcommand("serve", "accept agents on TCP and keep their sessions");
  serve->add_option("--listen", serveArguments.listen, "ADDR:PORT to listen on (IPv4)")->capture_default_str();
  AddDatabaseOption(*serve, serveArguments.database);
  serve
      ->add_option("--enroll", serveArguments.enroll,
                   "open: a new agent is accepted; approve: it waits for "
                   "`vxmgmtd agents approve ID`")
      ->capture_default_str()
      ->check(CLI::IsMember({"open", "approve"}));
  serve->add_option("--max-agents", serveArguments.maxAgents, "the most agents connected at once")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, std::size_t{19000}));
  serve->add_option("--log-level", serveArguments.logLevel, "debug, info, warning or error")
      ->capture_default_str()
      ->check(CLI::IsMember({"debug", "info", "warning", "error"}));
  serve->add_option("--http", serveArguments.http,
                    "[ADDR:]PORT for the management console and its API (off unless given; 127.0.0.1 unless an "
                    "address is named)");
  int exitCode = 0;
  serve->callback([&] { exitCode = RunServeCommand(serveArguments); });

  AddAdministrationCommands(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& failure) {
    // A command that failed: its own exit code.
    return app.exit(failure);
  } catch (const CLI::ParseError& bad) {
    // --help is not a failure; every bad argument exits 2, as vxctl's do.
    return app.exit(bad) == 0 ? 0 : 2;
  }
  return exitCode;
}
