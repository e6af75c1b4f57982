#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace norvid::platform {

// The text of an errno value ("No such file or directory"), the same as strerror gives. The one
// place that turns an errno into words.
std::string errnoText(int code);

// The errno of the last failed system call in this thread.
int lastErrno();

// Why an operation failed: the errno of the failed step (0 when the failure has none, such as a
// path that exists but is not a directory) and a message for logs and answers.
struct Failure {
  int code = 0;
  std::string message;

  // The text of `code` alone: "No such file or directory".
  static Failure ofErrno(int code) { return Failure{code, errnoText(code)}; }
  // `step` followed by the text of `code`: "open /a/b: No such file or directory".
  static Failure ofErrno(int code, const std::string& step) {
    return Failure{code, step + ": " + errnoText(code)};
  }
};

// The value of an operation that worked, or the Failure of one that did not. Result<> (void) is
// for operations that give nothing back but may fail.
template <typename T = void>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok().
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // REQUIRES: !ok().
  const Failure& failure() const { return std::get<1>(state_); }
  // The failure's message; empty on success.
  std::string message() const { return ok() ? std::string() : failure().message; }

  // The value, or `fallback` on failure.
  T value_or(T fallback) const& { return ok() ? value() : std::move(fallback); }
  T value_or(T fallback) && { return ok() ? std::move(value()) : std::move(fallback); }

  // True when the operation worked and gave `other`.
  friend bool operator==(const Result& result, const T& other) {
    return result.ok() && result.value() == other;
  }

 private:
  std::variant<T, Failure> state_;
};

template <>
class Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failure_(std::move(failure)) {}

  bool ok() const { return !failure_.has_value(); }
  explicit operator bool() const { return ok(); }

  // REQUIRES: !ok().
  const Failure& failure() const { return *failure_; }
  // The failure's message; empty on success.
  std::string message() const { return ok() ? std::string() : failure_->message; }

 private:
  std::optional<Failure> failure_;
};

}  // namespace norvid::platform
