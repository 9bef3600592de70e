// Feeds CryptoHandler::decrypt with fixed keys, and checks every outcome
// against a reference that opens the envelope with the message codec: the
// in-place reader must accept, refuse and return exactly the same.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <variant>

#include "../tests/support/CryptoHandlerTesting.h"
#include "network/CryptoError.h"
#include "network/CryptoHandler.h"
#include "platform/AesCbc.h"
#include "platform/Hmac.h"
#include "platform/Log.h"
#include "protocol/MessageCodec.h"
#include "protocol/MessageError.h"
#include "securemessage.pb.h"
#include "ukey.pb.h"

namespace {

using namespace orvel;
using Outcome = std::variant<DecryptedMessage, CryptoError, MessageError>;

const Bytes receiveKey(32, 0x11), receiveHmacKey(32, 0x22), iv(16, 0x33);

template <class M>
M parsed(ByteView bytes) {
  return MessageCodec::parse<M>(bytes);
}

ByteView view(const std::string& s) { return byteView(s); }

DecryptedMessage referenceDecrypt(ByteView data) {
  if (data.size() < 21) throw CryptoError::invalidMessage;
  const auto message = parsed<securemessage::SecureMessage>(data);
  if (!Hmac::verifySha256(receiveHmacKey, view(message.header_and_body()), view(message.signature()))) {
    throw CryptoError::invalidSignature;
  }
  const auto headerAndBody = parsed<securemessage::HeaderAndBody>(view(message.header_and_body()));
  if (!headerAndBody.header().has_iv()) throw CryptoError::invalidMessage;
  const auto plaintext = AesCbc::decrypt(receiveKey, view(headerAndBody.header().iv()), view(headerAndBody.body()));
  if (!plaintext) throw CryptoError::decryptionFailed;
  const auto inner = parsed<securegcm::DeviceToDeviceMessage>(*plaintext);
  return {Bytes(inner.message().begin(), inner.message().end()), inner.sequence_number()};
}

template <class F>
Outcome outcomeOf(F&& body) {
  try {
    return body();
  } catch (CryptoError error) {
    return error;
  } catch (MessageError error) {
    return error;
  }
}

bool same(const Outcome& a, const Outcome& b) {
  if (a.index() != b.index()) return false;
  if (const auto* x = std::get_if<DecryptedMessage>(&a)) {
    const auto& y = std::get<DecryptedMessage>(b);
    return x->message == y.message && x->sequenceNumber == y.sequenceNumber;
  }
  if (const auto* x = std::get_if<CryptoError>(&a)) return *x == std::get<CryptoError>(b);
  return std::get<MessageError>(a) == std::get<MessageError>(b);
}

Bytes signedEnvelope(ByteView headerAndBody) {
  securemessage::SecureMessage message;
  message.set_header_and_body(std::string(headerAndBody.begin(), headerAndBody.end()));
  const Hmac::Tag tag = Hmac::sha256(receiveHmacKey, headerAndBody);
  message.set_signature(std::string(tag.begin(), tag.end()));
  std::string out;
  message.SerializeToString(&out);
  return Bytes(out.begin(), out.end());
}

Bytes headerAndBodyAround(ByteView plaintext) {
  securemessage::HeaderAndBody headerAndBody;
  headerAndBody.mutable_header()->set_signature_scheme(securemessage::HMAC_SHA256);
  headerAndBody.mutable_header()->set_iv(std::string(iv.begin(), iv.end()));
  const Bytes body = *AesCbc::encrypt(receiveKey, iv, plaintext);
  headerAndBody.set_body(std::string(body.begin(), body.end()));
  std::string out;
  headerAndBody.SerializeToString(&out);
  return Bytes(out.begin(), out.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static CryptoHandler* const handler = [] {
    auto* created = new CryptoHandler;
    CryptoHandlerTesting::installKeys(*created, receiveKey, receiveHmacKey, Bytes(32, 0x44), Bytes(32, 0x55));
    return created;
  }();
  const ByteView input(data + 1, size - 1);
  // The first byte chooses how deep the input goes: a raw frame, a signed
  // HeaderAndBody, or the plaintext of a correctly sealed frame.
  Bytes frame;
  switch (data[0] % 3) {
    case 0: frame.assign(input.begin(), input.end()); break;
    case 1: frame = signedEnvelope(input); break;
    default: frame = signedEnvelope(headerAndBodyAround(input)); break;
  }
  LogCapture quiet;
  const Outcome actual = outcomeOf([&] { return handler->decrypt(frame); });
  const Outcome expected = outcomeOf([&] { return referenceDecrypt(frame); });
  if (!same(actual, expected)) std::abort();
  return 0;
}
