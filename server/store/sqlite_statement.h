// Small owners of SQLite handles for the SQLite store: a connection, a
// prepared statement (reset after each use, so it can be kept and run
// again), and a transaction that rolls back unless committed.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vx::server::sqlite {

class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  Statement(Statement&& other) noexcept : statement_(other.statement_) { other.statement_ = nullptr; }
  Statement& operator=(Statement&& other) noexcept;
  ~Statement();

  // SQLITE_OK, or the error code of the prepare.
  [[nodiscard]] int Prepare(sqlite3* db, std::string_view sql);
  bool Prepared() const { return statement_ != nullptr; }

  // Binds by 1-based index; texts and blobs are copied by SQLite.
  [[nodiscard]] int BindInt(int index, int64_t value);
  [[nodiscard]] int BindText(int index, std::string_view text);
  [[nodiscard]] int BindBlob(int index, std::span<const uint8_t> bytes);
  [[nodiscard]] int BindNull(int index);
  // The index of a named parameter (":name"), 0 when the statement has none.
  int ParameterIndex(const char* name) const;

  // SQLITE_ROW, SQLITE_DONE or an error code.
  [[nodiscard]] int Step();

  int64_t ColumnInt(int column) const;
  bool ColumnIsNull(int column) const;
  std::string ColumnText(int column) const;  // text or blob bytes as they are stored
  std::span<const uint8_t> ColumnBlob(int column) const;

  // Ready for the next run: reset and bindings cleared.
  void Reset();

 private:
  sqlite3_stmt* statement_ = nullptr;
};

// Resets its statement when it goes out of scope, so a kept statement never
// holds a read transaction open after an early return.
class ResetOnExit {
 public:
  explicit ResetOnExit(Statement& statement) : statement_(statement) {}
  ResetOnExit(const ResetOnExit&) = delete;
  ResetOnExit& operator=(const ResetOnExit&) = delete;
  ~ResetOnExit() { statement_.Reset(); }

 private:
  Statement& statement_;
};

// BEGIN IMMEDIATE (the write lock at once, so a busy database waits at the
// start, within the busy timeout, rather than failing half-way); rolled back
// unless Commit succeeded.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {}
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction();

  [[nodiscard]] int Begin();
  [[nodiscard]] int Commit();

 private:
  sqlite3* db_;
  bool open_ = false;
};

// Runs statements that return no rows (schema, pragmas).
[[nodiscard]] int Execute(sqlite3* db, std::string_view sql);

}  // namespace vx::server::sqlite
