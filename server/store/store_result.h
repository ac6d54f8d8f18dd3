// The outcome of a store operation that can fail: a value, or the reason it
// could not be had (an SQLite error, a refused value, a missing record).
// Marked [[nodiscard]] as a type, so no caller can drop a failure unseen.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vx::server {

// The value of an operation that returns nothing but can fail.
struct Done {};

// Why an operation failed, so a command can choose its exit code and message.
enum class StoreFailure {
  NotFound,      // the agent, update or assignment named does not exist
  InvalidValue,  // the value given is refused (too large, malformed); nothing changed
  Unavailable,   // the database could not be read or written (busy past the timeout, I/O, corrupt)
};

template <typename T>
class [[nodiscard]] StoreResult {
 public:
  StoreResult(T value) : state_(std::move(value)) {}  // NOLINT: implicit, so `return value;` works
  static StoreResult Failure(StoreFailure kind, std::string message) {
    return StoreResult(Error{kind, std::move(message)});
  }

  bool ok() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return ok(); }

  // Only when ok().
  const T& value() const& { return std::get<T>(state_); }
  T& value() & { return std::get<T>(state_); }
  T&& value() && { return std::get<T>(std::move(state_)); }
  const T& operator*() const& { return value(); }
  T& operator*() & { return value(); }
  const T* operator->() const { return &value(); }
  T* operator->() { return &value(); }

  // Only when !ok().
  StoreFailure failure() const { return std::get<Error>(state_).kind; }
  const std::string& error() const { return std::get<Error>(state_).message; }

  // Carries this failure into a result of another type.
  template <typename U>
  StoreResult<U> As() const {
    return StoreResult<U>::Failure(failure(), error());
  }

 private:
  struct Error {
    StoreFailure kind;
    std::string message;
  };
  explicit StoreResult(Error error) : state_(std::move(error)) {}
  std::variant<T, Error> state_;
};

}  // namespace vx::server
