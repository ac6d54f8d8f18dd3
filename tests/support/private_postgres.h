// A PostgreSQL cluster of a test's own: initdb in a new temporary directory,
// the server started with its socket in that directory and on a free
// loopback port, stopped and removed at the end. initdb and the server
// refuse to run as root, so under root they run as the `postgres` account
// (Debian's postgresql package makes it), which owns the directory.
//
// The server is the test process's child and dies with it (a parent-death
// signal), so a test that crashes leaves no database server behind. That
// signal follows the thread that started the server: start clusters from
// the test's main thread (GoogleTest runs tests there).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

namespace vx::test {

class PrivatePostgres {
 public:
  struct Options {
    // fsync and full page writes as a production server has them; off, a
    // test cluster starts and commits faster (its data is thrown away).
    bool durable = false;
    int maxConnections = 200;
  };

  // Starts a cluster; nullptr with the reason in `error` when it cannot.
  [[nodiscard]] static std::unique_ptr<PrivatePostgres> Start(std::string& error, const Options& options);
  [[nodiscard]] static std::unique_ptr<PrivatePostgres> Start(std::string& error) { return Start(error, Options{}); }
  PrivatePostgres(const PrivatePostgres&) = delete;
  PrivatePostgres& operator=(const PrivatePostgres&) = delete;
  ~PrivatePostgres();

  static constexpr char kSuperuser[] = "postgres";

  // The URL of `database` as `role`, over the socket in the directory.
  [[nodiscard]] std::string Url(const std::string& database, const std::string& role = kSuperuser) const;
  // The same over TCP on 127.0.0.1.
  [[nodiscard]] std::string TcpUrl(const std::string& database, const std::string& role = kSuperuser) const;
  [[nodiscard]] int Port() const { return port_; }
  // The postmaster's process id (its sessions are its children).
  [[nodiscard]] pid_t ServerPid() const { return server_; }
  [[nodiscard]] const std::filesystem::path& Directory() const { return directory_; }

  // Runs `sql` (one or more statements) in `database` as the superuser. An
  // error text, empty on success.
  [[nodiscard]] std::string Execute(const std::string& database, const std::string& sql) const;
  // A new, empty database with a name of its own; its URL, or empty with
  // the reason in `error`.
  [[nodiscard]] std::string NewDatabase(std::string& error);

 private:
  PrivatePostgres() = default;

  std::filesystem::path directory_;
  int port_ = 0;
  pid_t server_ = -1;
  int databases_ = 0;
};

// One cluster for the whole test program, started at its first use and
// stopped when the program ends. Fails the calling test when it cannot start.
PrivatePostgres& SharedPostgres();

// A new database on the shared cluster: its URL. The calling test fails
// when it cannot be made.
std::string NewPostgresDatabase();

}  // namespace vx::test
