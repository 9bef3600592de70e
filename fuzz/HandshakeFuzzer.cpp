// Feeds CryptoHandler::processHandshakeMessage in both steps. For the second
// step the CLIENT_INIT commits to the fuzzed bytes, so they pass the commitment
// check and reach the parsing and validation of the sender's key.
#include <cstdint>
#include <string>
#include <system_error>

#include "network/CryptoError.h"
#include "network/CryptoHandler.h"
#include "platform/Hash.h"
#include "platform/Log.h"
#include "protocol/MessageError.h"
#include "ukey.pb.h"

namespace {

using namespace orvel;

Bytes clientInitCommittingTo(ByteView finish) {
  securegcm::Ukey2ClientInit init;
  init.set_version(1);
  init.set_random(std::string(32, 'r'));
  auto* commitment = init.add_cipher_commitments();
  commitment->set_handshake_cipher(securegcm::P256_SHA512);
  const Bytes digest = Hash::sha512(finish);
  commitment->set_commitment(std::string(digest.begin(), digest.end()));
  init.set_next_protocol("AES_256_CBC-HMAC_SHA256");
  securegcm::Ukey2Message message;
  message.set_message_type(securegcm::Ukey2Message::CLIENT_INIT);
  message.set_message_data(init.SerializeAsString());
  const std::string bytes = message.SerializeAsString();
  return Bytes(bytes.begin(), bytes.end());
}

void step(CryptoHandler& handler, ByteView message) {
  try {
    handler.processHandshakeMessage(message);
  } catch (CryptoError) {
  } catch (MessageError) {
  } catch (const std::system_error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const ByteView input(data + 1, size - 1);
  LogCapture quiet;
  CryptoHandler handler;
  if (data[0] & 1) {
    step(handler, clientInitCommittingTo(input));
    step(handler, input);
  } else {
    step(handler, input);
    step(handler, input);  // after a CLIENT_INIT that passed, the same bytes as CLIENT_FINISH
  }
  return 0;
}
