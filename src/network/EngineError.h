#pragma once

#include <string>
#include <system_error>
#include <variant>

#include "network/CryptoError.h"
#include "network/FileWriterError.h"
#include "protocol/MessageError.h"
#include "services/ConnectionError.h"

namespace orvel {

// Whatever ended a connection: one of the engine's error enums, a message
// that did not parse, or an error of the operating system. Inside the engine
// these are thrown (the enums by value, system errors as std::system_error)
// and caught at the connection's top, where they become this value.
using EngineError = std::variant<ConnectionError, CryptoError, FileWriterError, MessageError, std::error_code>;

// The text a log line shows for the error: an enum's case name, or the
// system's message for a system error.
std::string describe(const EngineError& error);

// Runs `body`; whatever engine error it throws is handed to `onError`.
// Anything else (a programming error) propagates.
template <class Body, class OnError>
void catchEngineErrors(Body&& body, OnError&& onError) {
  try {
    body();
  } catch (ConnectionError error) {
    onError(EngineError(error));
  } catch (CryptoError error) {
    onError(EngineError(error));
  } catch (FileWriterError error) {
    onError(EngineError(error));
  } catch (MessageError error) {
    onError(EngineError(error));
  } catch (const std::system_error& error) {
    onError(EngineError(error.code()));
  }
}

}  // namespace orvel
