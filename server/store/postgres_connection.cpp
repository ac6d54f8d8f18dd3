#include "server/store/postgres_connection.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace vx::server::pg {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendHex(std::string& out, std::span<const uint8_t> bytes) {
  out.reserve(out.size() + bytes.size() * 2);
  for (const uint8_t byte : bytes) {
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0x0F];
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::span<const uint8_t> BytesOf(std::string_view text) {
  return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Notices ("...does not exist, skipping") would go to standard error.
void DropNotice(void*, const char*) {}

}  // namespace

Param Int(int64_t value) { return Param{std::to_string(value)}; }
Param Text(std::string_view text) { return Param{std::string(text)}; }
Param Bytea(std::span<const uint8_t> bytes) {
  Param param{"\\x"};
  AppendHex(param.value, bytes);
  return param;
}
Param Bytea(std::string_view bytes) { return Bytea(BytesOf(bytes)); }
Param BinaryBytea(std::span<const uint8_t> bytes) {
  return Param{std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), false, true};
}
Param Null() { return Param{{}, true}; }

Param IntArray(std::span<const int64_t> values) {
  Param param{"{"};
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) param.value += ',';
    param.value += std::to_string(values[i]);
  }
  param.value += '}';
  return param;
}

Param ByteaArray(const std::vector<std::string>& values) {
  // Each element quoted, its text "\x..." with the backslash escaped.
  Param param{"{"};
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) param.value += ',';
    param.value += "\"\\\\x";
    AppendHex(param.value, BytesOf(values[i]));
    param.value += '"';
  }
  param.value += '}';
  return param;
}

Result& Result::operator=(Result&& other) noexcept {
  if (this != &other) {
    PQclear(result_);
    result_ = other.result_;
    other.result_ = nullptr;
  }
  return *this;
}

Result::~Result() { PQclear(result_); }

bool Result::ok() const {
  const ExecStatusType status = result_ ? PQresultStatus(result_) : PGRES_FATAL_ERROR;
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

std::string Result::State() const {
  const char* state = result_ ? PQresultErrorField(result_, PG_DIAG_SQLSTATE) : nullptr;
  return state ? state : "";
}

std::string Result::Error() const {
  if (!result_) return "no result (out of memory, or the connection is lost)";
  std::string message = PQresultErrorMessage(result_);
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

int Result::Rows() const { return result_ ? PQntuples(result_) : 0; }

uint64_t Result::Affected() const {
  const char* count = result_ ? PQcmdTuples(result_) : "";
  return count[0] ? std::strtoull(count, nullptr, 10) : 0;
}

std::string Result::Command() const { return result_ ? PQcmdStatus(result_) : ""; }

bool Result::IsNull(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }

std::string Result::Text(int row, int column) const {
  return std::string(PQgetvalue(result_, row, column), static_cast<std::size_t>(PQgetlength(result_, row, column)));
}

int64_t Result::Int(int row, int column) const { return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10); }

bool Result::Bool(int row, int column) const { return PQgetvalue(result_, row, column)[0] == 't'; }

std::string Result::Bytes(int row, int column) const {
  const char* value = PQgetvalue(result_, row, column);
  const std::size_t length = static_cast<std::size_t>(PQgetlength(result_, row, column));
  if (PQfformat(result_, column) == 1) return std::string(value, length);
  if (length < 2 || value[0] != '\\' || value[1] != 'x') return {};  // the session asks for hex output
  std::string bytes;
  bytes.reserve((length - 2) / 2);
  for (std::size_t i = 2; i + 1 < length; i += 2) {
    const int high = HexValue(value[i]), low = HexValue(value[i + 1]);
    if (high < 0 || low < 0) return {};
    bytes += static_cast<char>(high << 4 | low);
  }
  return bytes;
}

std::optional<int64_t> Result::OptionalInt(int row, int column) const {
  if (IsNull(row, column)) return std::nullopt;
  return Int(row, column);
}

Connection::~Connection() { PQfinish(conn_); }

std::string Connection::Open(const std::string& url, std::string setup) {
  setup_ = std::move(setup);
  // Defaults first: the URL, expanded from dbname, may override them.
  const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
  const char* values[] = {"10", "vxmgmtd", url.c_str(), nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  if (!conn_) return "out of memory";
  if (PQstatus(conn_) != CONNECTION_OK) return ErrorMessage();
  (void)PQsetNoticeProcessor(conn_, DropNotice, nullptr);  // gives the previous processor, not needed
  if (!Setup()) return ErrorMessage();
  return {};
}

bool Connection::Setup() {
  prepared_.clear();
  return setup_.empty() || Exec(setup_).ok();
}

bool Connection::EnsureOpen() {
  if (!conn_) return false;
  if (PQstatus(conn_) == CONNECTION_OK) return true;
  // While the database is away, one attempt a second: every operation in
  // between fails at once instead of waiting out a connect of its own, so
  // serve's loop stays free for the sessions it can still keep.
  const auto now = std::chrono::steady_clock::now();
  if (lastAttempt_ && now - *lastAttempt_ < kReconnectInterval) return false;
  lastAttempt_ = now;
  PQreset(conn_);
  if (PQstatus(conn_) != CONNECTION_OK || !Setup()) return false;
  lastAttempt_.reset();
  return true;
}

namespace {

// The parameters as libpq takes them: pointers, lengths and formats.
struct ParamArrays {
  explicit ParamArrays(const std::vector<Param>& params)
      : values(params.size()), lengths(params.size()), formats(params.size()) {
    for (std::size_t i = 0; i < params.size(); ++i) {
      values[i] = params[i].null ? nullptr : params[i].value.c_str();
      lengths[i] = static_cast<int>(params[i].value.size());
      formats[i] = params[i].binary ? 1 : 0;
    }
  }
  [[nodiscard]] int Count() const { return static_cast<int>(values.size()); }

  std::vector<const char*> values;
  std::vector<int> lengths, formats;
};

}  // namespace

Result Connection::Exec(std::string_view sql, const std::vector<Param>& params, bool binaryResult) {
  const std::string text(sql);
  // Without parameters, a script of several statements (schema, settings).
  if (params.empty() && !binaryResult) return Result(PQexec(conn_, text.c_str()));
  const ParamArrays p(params);
  return Result(PQexecParams(conn_, text.c_str(), p.Count(), nullptr, p.values.data(), p.lengths.data(),
                             p.formats.data(), binaryResult ? 1 : 0));
}

Result Connection::ExecPrepared(const char* name, std::string_view sql, const std::vector<Param>& params) {
  if (std::find(prepared_.begin(), prepared_.end(), name) == prepared_.end()) {
    const std::string text(sql);
    Result prepared(PQprepare(conn_, name, text.c_str(), static_cast<int>(params.size()), nullptr));
    if (!prepared.ok()) return prepared;
    prepared_.emplace_back(name);
  }
  const ParamArrays p(params);
  return Result(PQexecPrepared(conn_, name, p.Count(), p.values.data(), p.lengths.data(), p.formats.data(), 0));
}

std::string Connection::ErrorMessage() const {
  if (!conn_) return "out of memory";
  std::string message = PQerrorMessage(conn_);
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

Transaction::~Transaction() {
  if (open_) (void)connection_.Exec("ROLLBACK");  // undoing; a lost connection has undone it already
}

bool Transaction::Begin() {
  open_ = connection_.Exec("BEGIN").ok();
  return open_;
}

bool Transaction::Commit() {
  if (!open_) return false;
  open_ = false;
  // A transaction that failed part-way answers COMMIT with ROLLBACK.
  const Result result = connection_.Exec("COMMIT");
  return result.ok() && result.Command() == "COMMIT";
}

}  // namespace vx::server::pg
