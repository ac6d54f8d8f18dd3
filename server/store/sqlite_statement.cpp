#include "server/store/sqlite_statement.h"

#include <string>

namespace vx::server::sqlite {

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    (void)sqlite3_finalize(statement_);  // finalize reports the last step's error, already seen
    statement_ = other.statement_;
    other.statement_ = nullptr;
  }
  return *this;
}

Statement::~Statement() { (void)sqlite3_finalize(statement_); }  // as above

int Statement::Prepare(sqlite3* db, std::string_view sql) {
  (void)sqlite3_finalize(statement_);  // as above
  statement_ = nullptr;
  return sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement_, nullptr);
}

int Statement::BindInt(int index, int64_t value) { return sqlite3_bind_int64(statement_, index, value); }

int Statement::BindText(int index, std::string_view text) {
  return sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

int Statement::BindBlob(int index, std::span<const uint8_t> bytes) {
  // A zero-length blob with a null pointer would bind NULL: give SQLite a
  // valid pointer so an empty value stays an empty blob.
  static const uint8_t empty = 0;
  return sqlite3_bind_blob(statement_, index, bytes.empty() ? &empty : bytes.data(), static_cast<int>(bytes.size()),
                           SQLITE_TRANSIENT);
}

int Statement::BindNull(int index) { return sqlite3_bind_null(statement_, index); }

int Statement::ParameterIndex(const char* name) const { return sqlite3_bind_parameter_index(statement_, name); }

int Statement::Step() { return sqlite3_step(statement_); }

int64_t Statement::ColumnInt(int column) const { return sqlite3_column_int64(statement_, column); }

bool Statement::ColumnIsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }

std::string Statement::ColumnText(int column) const {
  const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement_, column));
  const int size = sqlite3_column_bytes(statement_, column);
  return bytes ? std::string(bytes, static_cast<std::size_t>(size)) : std::string();
}

std::span<const uint8_t> Statement::ColumnBlob(int column) const {
  const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement_, column));
  const int size = sqlite3_column_bytes(statement_, column);
  return bytes ? std::span<const uint8_t>(bytes, static_cast<std::size_t>(size)) : std::span<const uint8_t>();
}

void Statement::Reset() {
  (void)sqlite3_reset(statement_);           // reports the last step's error, which its caller has seen
  (void)sqlite3_clear_bindings(statement_);  // always SQLITE_OK
}

Transaction::~Transaction() {
  if (open_) (void)Execute(db_, "ROLLBACK");  // nothing more to do if even the rollback fails
}

int Transaction::Begin() {
  const int result = Execute(db_, "BEGIN IMMEDIATE");
  open_ = result == SQLITE_OK;
  return result;
}

int Transaction::Commit() {
  const int result = Execute(db_, "COMMIT");
  if (result == SQLITE_OK) open_ = false;
  return result;
}

int Execute(sqlite3* db, std::string_view sql) {
  const std::string text(sql);
  return sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr);
}

}  // namespace vx::server::sqlite
