// Small owners of libpq handles for the PostgreSQL store: a connection with
// its session settings, a result, statement parameters, and a transaction
// that rolls back unless committed.
//
// Parameters and results travel as text (libpq's default), with bytea in
// PostgreSQL's hex form ("\x4b69..."), so one path serves every column; the
// one large value, an installer's content, goes as binary both ways.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vx::server::pg {

// One statement parameter.
struct Param {
  std::string value;
  bool null = false;
  bool binary = false;  // `value` holds raw bytes (bytea only)
};

[[nodiscard]] Param Int(int64_t value);
[[nodiscard]] Param Text(std::string_view text);  // PostgreSQL text: no zero byte
[[nodiscard]] Param Bytea(std::span<const uint8_t> bytes);
[[nodiscard]] Param Bytea(std::string_view bytes);
[[nodiscard]] Param BinaryBytea(std::span<const uint8_t> bytes);
[[nodiscard]] Param Null();
// Array parameters in PostgreSQL's array text form.
[[nodiscard]] Param IntArray(std::span<const int64_t> values);
[[nodiscard]] Param ByteaArray(const std::vector<std::string>& values);

// A statement's result. ok() for a command or rows; the error otherwise.
class Result {
 public:
  Result() = default;
  explicit Result(PGresult* result) : result_(result) {}
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  Result(Result&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  Result& operator=(Result&& other) noexcept;
  ~Result();

  [[nodiscard]] bool ok() const;
  // The SQLSTATE of a failure ("23505" a unique violation, "42501" a
  // privilege refused), empty when there is none.
  [[nodiscard]] std::string State() const;
  [[nodiscard]] std::string Error() const;

  [[nodiscard]] int Rows() const;
  [[nodiscard]] uint64_t Affected() const;    // rows an INSERT, UPDATE or DELETE touched
  [[nodiscard]] std::string Command() const;  // the command tag: "COMMIT", or "ROLLBACK" for a failed transaction
  [[nodiscard]] bool IsNull(int row, int column) const;
  [[nodiscard]] std::string Text(int row, int column) const;
  [[nodiscard]] int64_t Int(int row, int column) const;
  [[nodiscard]] bool Bool(int row, int column) const;
  // A bytea column in hex form, decoded; raw when the result is binary.
  [[nodiscard]] std::string Bytes(int row, int column) const;
  [[nodiscard]] std::optional<int64_t> OptionalInt(int row, int column) const;

 private:
  PGresult* result_ = nullptr;
};

class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  // Connects to `url` and applies `setup` (statements run at every
  // connection, so a reconnect gets them too). An error text, empty on
  // success.
  [[nodiscard]] std::string Open(const std::string& url, std::string setup);
  // Connected now, or connected again after a lost connection (the session
  // settings applied again; prepared statements are forgotten). After an
  // attempt that failed, false at once until kReconnectInterval has passed.
  [[nodiscard]] bool EnsureOpen();
  static constexpr std::chrono::milliseconds kReconnectInterval{1000};

  // Without parameters (and a text result) `sql` may hold several
  // statements; the result is the last one's, or the first failure.
  [[nodiscard]] Result Exec(std::string_view sql, const std::vector<Param>& params = {}, bool binaryResult = false);
  // A statement kept by the server under `name`, prepared at first use on
  // each connection.
  [[nodiscard]] Result ExecPrepared(const char* name, std::string_view sql, const std::vector<Param>& params);

  [[nodiscard]] std::string ErrorMessage() const;
  [[nodiscard]] PGconn* Raw() { return conn_; }

 private:
  [[nodiscard]] bool Setup();

  PGconn* conn_ = nullptr;
  std::string setup_;
  std::vector<std::string> prepared_;
  std::optional<std::chrono::steady_clock::time_point> lastAttempt_;  // of a reconnection that failed
};

// BEGIN at Begin; ROLLBACK unless Commit succeeded.
class Transaction {
 public:
  explicit Transaction(Connection& connection) : connection_(connection) {}
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();

  [[nodiscard]] bool Begin();
  [[nodiscard]] bool Commit();

 private:
  Connection& connection_;
  bool open_ = false;
};

}  // namespace vx::server::pg
