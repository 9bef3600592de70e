#pragma once

#include <google/protobuf/message.h>
#include <google/protobuf/unknown_field_set.h>

#include <cctype>
#include <memory>
#include <string>

#include "protocol/ByteHelpers.h"
#include "protocol/MessageCodec.h"

namespace orvel::test {

// "08 01 12 0A" -> bytes; spaces are for the reader only.
inline Bytes hexBytes(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c != ' ') digits += c;
  }
  return Data::fromHex(digits);
}

// The same text normalised to lower case without spaces, for readable comparisons.
inline std::string hexText(std::string_view text) { return hexString(hexBytes(text)); }

inline std::string serializedHex(const google::protobuf::Message& message) {
  return hexString(MessageCodec::serialize(message));
}

inline std::string unknownFieldsHex(const google::protobuf::Message& message) {
  std::string bytes;
  message.GetReflection()->GetUnknownFields(message).SerializeToString(&bytes);
  return hexString(byteView(bytes));
}

// Parses hex as the type of `prototype`; throws MessageError like MessageCodec::parse.
inline std::unique_ptr<google::protobuf::Message> parseAs(const google::protobuf::Message& prototype,
                                                          std::string_view hex) {
  std::unique_ptr<google::protobuf::Message> message(prototype.New());
  MessageCodec::parseInto(*message, hexBytes(hex));
  return message;
}

template <class M>
const M& as(const google::protobuf::Message& message) {
  return dynamic_cast<const M&>(message);
}

}  // namespace orvel::test
