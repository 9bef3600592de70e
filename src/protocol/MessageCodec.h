#pragma once

#include <google/protobuf/generated_enum_reflection.h>
#include <google/protobuf/message.h>

#include <string>

#include "protocol/ByteHelpers.h"
#include "protocol/MessageError.h"

namespace orvel {

// The one place where wire messages become bytes and bytes become messages,
// with the same options at every call site: required fields enforced both
// ways, unknown fields kept and written back behind the known ones, at most
// 100 message levels (the outermost counts as the first), and string fields
// that must hold UTF-8. The protobuf runtime's own log output is silenced.
class MessageCodec {
 public:
  // A fresh message from `bytes`; on any failure only the error reaches the caller.
  template <class M>
  static M parse(ByteView bytes) {
    M message;
    parseInto(message, bytes);
    return message;
  }

  // Throws MessageError::missingRequiredFields instead of writing an incomplete message.
  static Bytes serialize(const google::protobuf::Message& message);

  // Messages of one type are equal when every field has the same presence and
  // value in both (nested messages alike, lists element by element) and their
  // unknown fields are the same bytes in the same order. Messages of
  // different types are never equal.
  static bool equal(const google::protobuf::Message& a, const google::protobuf::Message& b);

  // The enum value's proto name in lower camel case: AES_256_CBC -> "aes256Cbc".
  template <class E>
  static std::string displayName(E value) {
    return enumDisplayName(*google::protobuf::GetEnumDescriptor<E>(), static_cast<int>(value));
  }

  // "Orvel." + package components capitalised and joined by '_' + '_' + the type name;
  // a nested type keeps its enclosing types, joined by '.':
  // "Orvel.Location_Nearby_Connections_ControlMessage", "Orvel.Securegcm_Ukey2ClientInit.CipherCommitment".
  static std::string typeDisplayName(const google::protobuf::Message& message);

  // parse() for a type chosen at run time. `message` is cleared first and left
  // empty when parsing fails.
  static void parseInto(google::protobuf::Message& message, ByteView bytes);

  // displayName() by descriptor; a number that names no value shows as its decimal.
  static std::string enumDisplayName(const google::protobuf::EnumDescriptor& type, int number);
};

}  // namespace orvel
