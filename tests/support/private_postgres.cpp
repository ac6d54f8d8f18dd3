#include "tests/support/private_postgres.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace vx::test {
namespace {

// The newest installed server's programs, or $VX_POSTGRES_BIN.
std::filesystem::path ServerPrograms() {
  if (const char* given = std::getenv("VX_POSTGRES_BIN"); given && *given) return given;
  std::vector<std::filesystem::path> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error))
    if (std::filesystem::exists(entry.path() / "bin" / "initdb")) found.push_back(entry.path() / "bin");
  if (found.empty()) return {};
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return std::atoi(a.parent_path().filename().c_str()) < std::atoi(b.parent_path().filename().c_str());
  });
  return found.back();
}

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  (void)::close(fd);  // the port only was wanted
  return port;
}

// The account the server's programs run as: ours, unless we are root.
struct Account {
  bool switchUser = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

bool AccountToUse(Account& account, std::string& error) {
  if (::geteuid() != 0) return true;
  const passwd* postgres = ::getpwnam("postgres");
  if (!postgres) {
    error =
        "initdb refuses to run as root and there is no 'postgres' account to run it as "
        "(Debian's postgresql-15 package makes it)";
    return false;
  }
  account = Account{true, postgres->pw_uid, postgres->pw_gid};
  return true;
}

// Starts `argv` as the account, output to `log`; in the child, a parent-death
// signal so the program never outlives the test.
pid_t Spawn(const std::vector<std::string>& argv, const Account& account, const std::filesystem::path& log,
            bool dieWithParent) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child != 0) return child;
  // The child: only async-signal-safe calls until exec.
  const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (out >= 0) {
    (void)::dup2(out, 1);
    (void)::dup2(out, 2);
    (void)::close(out);
  }
  const int null = ::open("/dev/null", O_RDONLY);
  if (null >= 0) (void)::dup2(null, 0);
  if (account.switchUser && (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 || ::setuid(account.uid) != 0))
    ::_exit(126);
  // Set after the change of user, which would clear it.
  if (dieWithParent && (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)) ::_exit(125);
  ::execv(args[0], args.data());
  ::_exit(127);
}

int Run(const std::vector<std::string>& argv, const Account& account, const std::filesystem::path& log) {
  const pid_t child = Spawn(argv, account, log, true);
  if (child < 0) return -1;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Tail(const std::filesystem::path& log) {
  FILE* file = std::fopen(log.c_str(), "r");
  if (!file) return {};
  std::string text;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  std::fclose(file);
  return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

}  // namespace

std::unique_ptr<PrivatePostgres> PrivatePostgres::Start(std::string& error, const Options& options) {
  const std::filesystem::path bin = ServerPrograms();
  if (bin.empty()) {
    error = "no PostgreSQL server programs under /usr/lib/postgresql (scripts/dev setup installs postgresql-15)";
    return nullptr;
  }
  Account account;
  if (!AccountToUse(account, error)) return nullptr;
  std::unique_ptr<PrivatePostgres> cluster(new PrivatePostgres());
  static std::atomic<int> counter{0};
  for (;;) {
    cluster->directory_ = std::filesystem::temp_directory_path() /
                          ("vx-postgres-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    if (std::filesystem::create_directory(cluster->directory_)) break;
  }
  const std::filesystem::path& dir = cluster->directory_;
  std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
  if (account.switchUser && ::chown(dir.c_str(), account.uid, account.gid) != 0) {
    error = "cannot give " + dir.string() + " to the postgres account";
    return nullptr;
  }
  const std::filesystem::path data = dir / "data", log = dir / "server.log";
  if (Run({(bin / "initdb").string(), "-D", data.string(), "-U", kSuperuser, "--auth=trust", "-E", "UTF8", "--locale=C",
           "--no-sync"},
          account, log) != 0) {
    error = "initdb failed: " + Tail(log);
    return nullptr;
  }
  cluster->port_ = FreePort();
  std::vector<std::string> server = {(bin / "postgres").string(),
                                     "-D",
                                     data.string(),
                                     "-k",
                                     dir.string(),
                                     "-p",
                                     std::to_string(cluster->port_),
                                     "-c",
                                     "listen_addresses=127.0.0.1",
                                     "-c",
                                     "max_connections=" + std::to_string(options.maxConnections),
                                     "-c",
                                     "log_min_messages=warning"};
  if (!options.durable)
    for (const char* setting : {"fsync=off", "full_page_writes=off", "synchronous_commit=off"}) {
      server.push_back("-c");
      server.push_back(setting);
    }
  cluster->server_ = Spawn(server, account, log, true);
  if (cluster->server_ < 0) {
    error = "cannot start postgres";
    return nullptr;
  }
  // Ready when it answers on its socket.
  const std::string conninfo =
      "host=" + dir.string() + " port=" + std::to_string(cluster->port_) + " user=" + kSuperuser + " dbname=postgres";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (PQping(conninfo.c_str()) != PQPING_OK) {
    int status = 0;
    if (::waitpid(cluster->server_, &status, WNOHANG) == cluster->server_) {
      cluster->server_ = -1;
      error = "postgres ended at start: " + Tail(log);
      return nullptr;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      error = "postgres did not answer within 60 s: " + Tail(log);
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return cluster;
}

PrivatePostgres::~PrivatePostgres() {
  if (server_ > 0) {
    // A fast shutdown: sessions are ended, nothing is waited for.
    (void)::kill(server_, SIGINT);  // it may have ended already; the wait below tells
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (::waitpid(server_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        (void)::kill(server_, SIGKILL);  // it would not stop; its files go anyway
        (void)::waitpid(server_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  std::error_code ignored;
  if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
}

std::string PrivatePostgres::Url(const std::string& database, const std::string& role) const {
  return "postgresql://" + role + "@/" + database + "?host=" + directory_.string() + "&port=" + std::to_string(port_);
}

std::string PrivatePostgres::TcpUrl(const std::string& database, const std::string& role) const {
  return "postgresql://" + role + "@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string PrivatePostgres::Execute(const std::string& database, const std::string& sql) const {
  PGconn* conn = PQconnectdb(Url(database).c_str());
  std::string error;
  if (PQstatus(conn) != CONNECTION_OK) {
    error = PQerrorMessage(conn);
  } else {
    PGresult* result = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) error = PQresultErrorMessage(result);
    PQclear(result);
  }
  PQfinish(conn);
  return error;
}

std::string PrivatePostgres::NewDatabase(std::string& error) {
  const std::string name = "vx_test_" + std::to_string(++databases_);
  error = Execute("postgres", "CREATE DATABASE " + name);
  return error.empty() ? Url(name) : std::string();
}

PrivatePostgres& SharedPostgres() {
  static std::string startError;
  static std::unique_ptr<PrivatePostgres> shared = PrivatePostgres::Start(startError);
  if (!shared) {
    std::fprintf(stderr, "cannot start a private PostgreSQL cluster: %s\n", startError.c_str());
    std::abort();  // every test that needs it would fail the same way
  }
  return *shared;
}

std::string NewPostgresDatabase() {
  std::string error;
  std::string url = SharedPostgres().NewDatabase(error);
  EXPECT_TRUE(error.empty()) << error;
  return url;
}

}  // namespace vx::test
