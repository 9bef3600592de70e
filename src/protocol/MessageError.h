#pragma once

#include <string_view>

namespace orvel {

// Why bytes did not become a message, or a message did not become bytes.
enum class MessageError {
  malformed,              // not the wire form of the type (bad key, truncation, nesting too deep, ...)
  invalidUtf8,            // a string field holds bytes that are not UTF-8
  missingRequiredFields,  // parse or serialisation of a message that lacks a required field
};

constexpr std::string_view toString(MessageError error) {
  switch (error) {
    case MessageError::malformed: return "malformed";
    case MessageError::invalidUtf8: return "invalidUtf8";
    case MessageError::missingRequiredFields: return "missingRequiredFields";
  }
  return "unknown";
}

}  // namespace orvel
