#pragma once

#include <string>
#include <system_error>

namespace orvel {

// Errors of the cryptography library, carried as std::system_error so that the
// engine's error handling catches them like any other platform error.
class OpenSslError : public std::error_category {
 public:
  // Our own codes, for refusals decided before the library is asked.
  enum Code : int { failed = 1, invalidPoint = 2, invalidLength = 3 };

  static const OpenSslError& category();
  const char* name() const noexcept override;
  std::string message(int value) const override;

  // Throws the library's most recent error (or `fallback` when it recorded none)
  // and clears the thread's error queue, so no stale error leaks into later calls.
  [[noreturn]] static void raise(const char* operation, Code fallback = failed);
  [[noreturn]] static void raiseOwn(Code code, const char* operation);
};

}  // namespace orvel
