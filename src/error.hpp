// Ordinary failures travel as values until the method boundary raises them.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace quillon {

// The Python exception type an Error becomes. `Pending` means the failure was
// raised by the interpreter itself (while converting an object) and is already
// set there; the boundary raises nothing new for it. The core's own failures
// are all ValueErrors; type and range errors come from converting objects.
enum class ErrorType { ValueError, Pending };

struct Error {
  ErrorType type;
  std::string message;

  static Error value(std::string msg) { return {ErrorType::ValueError, std::move(msg)}; }
  static Error pending() { return {ErrorType::Pending, {}}; }
};

// A value or an Error.
template <class T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}                 // NOLINT: implicit by design
  Result(Error error) : error_(std::move(error)) {}             // NOLINT: implicit by design

  explicit operator bool() const { return value_.has_value(); }
  T& operator*() { return *value_; }
  T* operator->() { return &*value_; }
  const Error& error() const { return *error_; }

 private:
  std::optional<T> value_;
  std::optional<Error> error_;
};

}  // namespace quillon
