#pragma once

#include <concepts>
#include <exception>
#include <string>
#include <utility>

namespace tunevert {

// The general exception of the component framework: a message and nothing else.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const noexcept { return FMessage; }

 private:
  std::string FMessage;
};

// Every failure inside an audio component is raised as this.
class EAuException : public Exception {
 public:
  using Exception::Exception;
};

// Integer division by zero is undefined in C++; the components report it instead.
template <std::integral T, std::integral U>
constexpr auto CheckedDiv(T dividend, U divisor) {
  if (divisor == 0) throw EAuException("Division by zero");
  return dividend / divisor;
}

template <std::integral T, std::integral U>
constexpr auto CheckedMod(T dividend, U divisor) {
  if (divisor == 0) throw EAuException("Division by zero");
  return dividend % divisor;
}

}  // namespace tunevert
