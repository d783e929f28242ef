// Errors as values. Code below the commands returns them; only the commands
// turn one into the fatal report (report.h), and a server answers a request
// with it and goes on.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

#include "fileio/compiler.h"
#include "fileio/native_text.h"

// What failed: the message, and for a failed system call its error number.
struct Error {
  NativeString message;
  int number = 0;  // the platform's error number, or 0 for none
};

// The message as it is printed: cut to 259 characters without splitting one.
NativeString PrintableMessage(NativeStringView message);

// The error as it is printed: "<message>", or "<message>: <number>" for a
// failed system call.
NativeString ErrorText(const Error& error);

// An error whose message is formatted printf-style from ASCII text.
Error FormatError(const char* format, ...) QUILLON_PRINTF_FORMAT(1, 2);

// "<what> '<path>'" with the error number; control characters in the path
// (a newline, an escape) show as "?".
Error PathError(const char* what, NativeStringView path, int number);

// "Block device size <bytes> is too large", for a size no device may have.
Error TooLarge(std::uint64_t bytes);

// The result of an operation that returns nothing: an error, or nothing at
// all on success, so that `if (auto error = Step()) return error;` reads
// as it does. It cannot be dropped unread: a caller that means to ignore a
// failure says so with a cast to void, and why.
class [[nodiscard]] MaybeError {
 public:
  MaybeError() = default;
  MaybeError(std::nullopt_t) {}
  MaybeError(Error error) : error_(std::move(error)) {}
  explicit operator bool() const { return error_.has_value(); }
  bool has_value() const { return error_.has_value(); }
  Error& operator*() { return *error_; }
  const Error& operator*() const { return *error_; }
  Error* operator->() { return &*error_; }
  const Error* operator->() const { return &*error_; }

 private:
  std::optional<Error> error_;
};

// A value, or the error that kept it from being made.
template <typename T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : held_(std::move(value)) {}
  Expected(Error error) : held_(std::move(error)) {}
  explicit operator bool() const { return held_.index() == 0; }
  T& operator*() { return std::get<0>(held_); }
  const T& operator*() const { return std::get<0>(held_); }
  T* operator->() { return &std::get<0>(held_); }
  const T* operator->() const { return &std::get<0>(held_); }
  Error& error() { return std::get<1>(held_); }
  const Error& error() const { return std::get<1>(held_); }

 private:
  std::variant<T, Error> held_;
};
