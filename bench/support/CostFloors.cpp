#include "support/CostFloors.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/BenchFile.h"
#include "support/FrameSocket.h"

namespace orvel::bench {
namespace {

constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
constexpr auto kSocketTimeout = std::chrono::seconds(60);

double threadCpuSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

double cryptoFloorSecondsPerGiB() {
  constexpr std::size_t chunk = BenchFile::kChunkSize, chunksHeld = 64, chunksPerPass = 2048;
  unsigned char key[32], macKey[32], iv[16];
  RAND_bytes(key, sizeof key);
  RAND_bytes(macKey, sizeof macKey);
  RAND_bytes(iv, sizeof iv);
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  char digest[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                               OSSL_PARAM_construct_end()};

  std::vector<Bytes> ciphertexts(chunksHeld, Bytes(chunk + 16));
  Bytes plain(chunk), out(chunk + 16);
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  for (auto& ciphertext : ciphertexts) {
    RAND_bytes(plain.data(), static_cast<int>(plain.size()));
    int written = 0, last = 0;
    EVP_CipherInit_ex2(context, cipher, key, iv, 1, nullptr);
    EVP_CipherUpdate(context, ciphertext.data(), &written, plain.data(), static_cast<int>(plain.size()));
    EVP_CipherFinal_ex(context, ciphertext.data() + written, &last);
    ciphertext.resize(static_cast<std::size_t>(written + last));
  }

  double best = 1e9;
  for (int pass = 0; pass < 3; ++pass) {
    const double start = threadCpuSeconds();
    for (std::size_t i = 0; i < chunksPerPass; ++i) {
      const Bytes& ciphertext = ciphertexts[i % chunksHeld];
      EVP_MAC_CTX* macContext = EVP_MAC_CTX_new(mac);
      unsigned char tag[32];
      std::size_t tagLength = 0;
      EVP_MAC_init(macContext, macKey, sizeof macKey, params);
      EVP_MAC_update(macContext, ciphertext.data(), ciphertext.size());
      EVP_MAC_final(macContext, tag, &tagLength, sizeof tag);
      EVP_MAC_CTX_free(macContext);

      int written = 0, last = 0;
      EVP_CipherInit_ex2(context, cipher, key, iv, 0, nullptr);
      EVP_CipherUpdate(context, out.data(), &written, ciphertext.data(), static_cast<int>(ciphertext.size()));
      if (EVP_CipherFinal_ex(context, out.data() + written, &last) != 1 || tagLength != sizeof tag) {
        throw std::runtime_error("floor: decryption failed");
      }
    }
    best = std::min(best, (threadCpuSeconds() - start) * kGiB / static_cast<double>(chunksPerPass * chunk));
  }
  EVP_CIPHER_CTX_free(context);
  EVP_MAC_free(mac);
  EVP_CIPHER_free(cipher);
  return best;
}

double kernelIoSecondsPerGiB(const std::filesystem::path& folder) {
  constexpr std::size_t piece = BenchFile::kChunkSize, pieces = 2048;
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("I/O floor: cannot listen");
  }
  std::thread sender([port = address.sin_port] {
    FrameSocket socket(ntohs(port), kSocketTimeout);
    Bytes bytes(piece - 4, 0x5a);  // with its prefix, one piece per frame
    for (std::size_t i = 0; i < pieces; ++i) socket.send(bytes);
  });
  const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  const auto path = folder / ".io-floor";
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Bytes buffer(piece);
  const double start = threadCpuSeconds();
  bool complete = connection >= 0 && file >= 0;
  for (std::size_t i = 0; complete && i < pieces; ++i) {
    std::size_t filled = 0;
    while (complete && filled < piece) {
      const ssize_t got = ::recv(connection, buffer.data() + filled, piece - filled, 0);
      complete = got > 0;
      filled += complete ? static_cast<std::size_t>(got) : 0;
    }
    complete = complete && ::pwrite(file, buffer.data(), piece, static_cast<off_t>(i * piece)) ==
                               static_cast<ssize_t>(piece);
  }
  const double seconds = threadCpuSeconds() - start;
  for (int descriptor : {connection, file, listener}) {
    if (descriptor >= 0) ::close(descriptor);
  }
  sender.join();
  std::filesystem::remove(path);
  if (!complete) throw std::runtime_error("I/O floor: transfer failed");
  return seconds * kGiB / static_cast<double>(piece * pieces);
}

}  // namespace orvel::bench
