// Errors of the computation are values: a message text that travels up to the
// module boundary, where it becomes a Python ValueError.  Only a broken
// internal invariant throws (InvariantFailure), and it never means bad input.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace cladomatic {

struct Error {
  std::string message;
  // The 0-based position of the tree at fault, for callers that point at it
  // in their own terms rather than reading it back out of the message.
  std::optional<std::uint64_t> tree_index = std::nullopt;
};

template <class T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

  const std::string& error() const& { return std::get<1>(state_).message; }
  Error take_error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// A state the program never expects; surfaces in Python as an exception type
// outside the Exception hierarchy so that callers' `except Exception` blocks
// do not swallow a bug.
class InvariantFailure : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace cladomatic
