#include "platform/OpenSslError.h"

#include <openssl/err.h>

#include <climits>

namespace orvel {
namespace {

// Built at compile time, so it outlives every thread that may raise an error.
constinit const OpenSslError openSslCategory;

}  // namespace

const OpenSslError& OpenSslError::category() { return openSslCategory; }

const char* OpenSslError::name() const noexcept { return "openssl"; }

std::string OpenSslError::message(int value) const {
  switch (value) {
    case failed: return "cryptographic operation failed";
    case invalidPoint: return "not an uncompressed point of the P-256 curve";
    case invalidLength: return "invalid input length";
    default: break;
  }
  char text[256];
  ERR_error_string_n(static_cast<unsigned long>(value), text, sizeof text);
  return text;
}

void OpenSslError::raise(const char* operation, Code fallback) {
  const unsigned long error = ERR_peek_last_error();
  ERR_clear_error();
  // Packed library errors fit an int; system-flagged ones do not and fall back.
  const int value = (error == 0 || error > static_cast<unsigned long>(INT_MAX)) ? fallback : static_cast<int>(error);
  throw std::system_error(value, category(), operation);
}

void OpenSslError::raiseOwn(Code code, const char* operation) {
  ERR_clear_error();
  throw std::system_error(code, category(), operation);
}

}  // namespace orvel
