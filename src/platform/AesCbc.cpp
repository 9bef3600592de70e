#include "platform/AesCbc.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>

#include "platform/OpenSslError.h"

namespace orvel {
namespace {

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

const EVP_CIPHER* aes256Cbc() {
  static const EVP_CIPHER* const cipher = [] {
    EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    if (fetched == nullptr) OpenSslError::raise("EVP_CIPHER_fetch");
    return fetched;
  }();
  return cipher;
}

class CbcRun {
 public:
  CbcRun(ByteView key, ByteView iv, bool encrypting, std::uint8_t* output)
      : context_(EVP_CIPHER_CTX_new()), output_(output) {
    ok_ = context_ && key.size() == AesCbc::keySize && iv.size() == AesCbc::blockSize &&
          EVP_CipherInit_ex2(context_.get(), aes256Cbc(), key.data(), iv.data(), encrypting ? 1 : 0, nullptr) == 1;
  }

  void update(ByteView input) {
    // The cipher counts in int; feed very large inputs in slices.
    while (ok_ && !input.empty()) {
      const std::size_t slice = std::min<std::size_t>(input.size(), INT_MAX / 2);
      int written = 0;
      ok_ = EVP_CipherUpdate(context_.get(), output_ + length_, &written, input.data(), static_cast<int>(slice)) == 1;
      length_ += static_cast<std::size_t>(written);
      input = input.subspan(slice);
    }
  }

  std::optional<std::size_t> finish() {
    int written = 0;
    if (ok_ && EVP_CipherFinal_ex(context_.get(), output_ + length_, &written) == 1) {
      return length_ + static_cast<std::size_t>(written);
    }
    // A refused input leaves its reason on the thread's error queue; it is not ours to keep.
    ERR_clear_error();
    return std::nullopt;
  }

 private:
  CipherContext context_;
  std::uint8_t* output_;
  std::size_t length_ = 0;
  bool ok_ = false;
};

}  // namespace

std::optional<std::size_t> AesCbc::encrypt(ByteView key, ByteView iv, std::initializer_list<ByteView> pieces,
                                           std::uint8_t* output) {
  CbcRun run(key, iv, true, output);
  for (ByteView piece : pieces) run.update(piece);
  return run.finish();
}

std::optional<std::size_t> AesCbc::decrypt(ByteView key, ByteView iv, ByteView input, std::uint8_t* output) {
  CbcRun run(key, iv, false, output);
  run.update(input);
  return run.finish();
}

std::optional<Bytes> AesCbc::encrypt(ByteView key, ByteView iv, ByteView plaintext) {
  Bytes out(outputCapacity(plaintext.size()));
  auto length = encrypt(key, iv, {plaintext}, out.data());
  if (!length) return std::nullopt;
  out.resize(*length);
  return out;
}

std::optional<Bytes> AesCbc::decrypt(ByteView key, ByteView iv, ByteView ciphertext) {
  Bytes out(outputCapacity(ciphertext.size()));
  auto length = decrypt(key, iv, ciphertext, out.data());
  if (!length) return std::nullopt;
  out.resize(*length);
  return out;
}

}  // namespace orvel
