// decrypt and encrypt of a 512 KiB frame beside the floor: one HMAC-SHA256 and
// one AES-256-CBC pass over the same bytes with plain OpenSSL calls. The last
// lines give decrypt/floor and encrypt/floor from this same run.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstdio>
#include <string>

#include "../tests/support/CryptoHandlerTesting.h"
#include "network/CryptoHandler.h"
#include "securemessage.pb.h"
#include "support/RatioReporter.h"

namespace {

using namespace orvel;

constexpr std::size_t frameSize = 512 * 1024;
const Bytes encryptionKey(32, 0x11), hmacKey(32, 0x22);

// Same keys both ways, so a handler opens what it sealed.
CryptoHandler& handler() {
  static CryptoHandler* const created = [] {
    auto* h = new CryptoHandler;
    CryptoHandlerTesting::installKeys(*h, encryptionKey, hmacKey, encryptionKey, hmacKey);
    return h;
  }();
  return *created;
}

const Bytes& payload() {
  static const Bytes bytes = Data::random(frameSize);
  return bytes;
}

void Decrypt(benchmark::State& state) {
  const Bytes frame = handler().encrypt(payload(), 1);
  for (auto _ : state) benchmark::DoNotOptimize(handler().decrypt(frame));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameSize));
}

void Encrypt(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(handler().encrypt(payload(), 1));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameSize));
}

// The floor: HMAC over the received header_and_body and AES over its body,
// into a buffer allocated once, with nothing else.
void OpenSslFloor(benchmark::State& state, bool decrypting) {
  securemessage::SecureMessage message;
  const Bytes frame = handler().encrypt(payload(), 1);
  message.ParseFromArray(frame.data(), static_cast<int>(frame.size()));
  securemessage::HeaderAndBody headerAndBody;
  headerAndBody.ParseFromString(message.header_and_body());
  const std::string& signedBytes = message.header_and_body();
  const std::string& body = headerAndBody.body();
  const std::string& iv = headerAndBody.header().iv();
  const ByteView cipherInput = decrypting ? byteView(body) : ByteView(payload());
  Bytes output(cipherInput.size() + 16);

  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
  for (auto _ : state) {
    EVP_MAC_CTX* context = EVP_MAC_CTX_new(mac);
    unsigned char tag[32];
    std::size_t tagLength = 0;
    EVP_MAC_init(context, hmacKey.data(), hmacKey.size(), params);
    EVP_MAC_update(context, reinterpret_cast<const unsigned char*>(signedBytes.data()), signedBytes.size());
    EVP_MAC_final(context, tag, &tagLength, sizeof tag);
    EVP_MAC_CTX_free(context);
    benchmark::DoNotOptimize(tag);

    EVP_CIPHER_CTX* cipherContext = EVP_CIPHER_CTX_new();
    int written = 0, last = 0;
    EVP_CipherInit_ex2(cipherContext, cipher, encryptionKey.data(), reinterpret_cast<const unsigned char*>(iv.data()),
                       decrypting ? 0 : 1, nullptr);
    EVP_CipherUpdate(cipherContext, output.data(), &written, cipherInput.data(), static_cast<int>(cipherInput.size()));
    EVP_CipherFinal_ex(cipherContext, output.data() + written, &last);
    EVP_CIPHER_CTX_free(cipherContext);
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  EVP_MAC_free(mac);
  EVP_CIPHER_free(cipher);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frameSize));
}

void DecryptFloor(benchmark::State& state) { OpenSslFloor(state, true); }
void EncryptFloor(benchmark::State& state) { OpenSslFloor(state, false); }

BENCHMARK(DecryptFloor)->Unit(benchmark::kMicrosecond);
BENCHMARK(Decrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK(EncryptFloor)->Unit(benchmark::kMicrosecond);
BENCHMARK(Encrypt)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  orvel::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const char* name : {"Decrypt", "Encrypt"}) {
    const auto time = reporter.time(name), floor = reporter.time(std::string(name) + "Floor");
    if (time && floor) std::printf("%s / OpenSSL floor: %.3f (%.1f us vs %.1f us)\n", name, *time / *floor, *time, *floor);
  }
  benchmark::Shutdown();
  return 0;
}
