#pragma once

#include <string>
#include <utility>

#include "protocol/ByteHelpers.h"

namespace orvel {

// What one handshake step asks of the connection.
struct HandshakeResult {
  enum class Kind { sendToPeer, handshakeComplete, noAction };
  Kind kind;
  Bytes reply;      // sendToPeer: the serialised SERVER_INIT Ukey2Message
  std::string pin;  // handshakeComplete: four digits

  static HandshakeResult sendToPeer(Bytes reply) { return {Kind::sendToPeer, std::move(reply), {}}; }
  static HandshakeResult handshakeComplete(std::string pin) { return {Kind::handshakeComplete, {}, std::move(pin)}; }
  static HandshakeResult noAction() { return {Kind::noAction, {}, {}}; }
};

}  // namespace orvel
