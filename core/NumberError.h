#pragma once

#include <exception>
#include <string>

// Thrown by the parsers and validators; callers turn the code into a status.
class NumberError : public std::exception {
 public:
  explicit NumberError(int code);
  const char* what() const noexcept override { return message_.c_str(); }
  int code() const noexcept { return code_; }

 private:
  int code_;
  std::string message_;
};
