#include "support/BenchFile.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "protocol/ByteHelpers.h"

namespace orvel::bench {
namespace {

std::uint64_t splitMix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

struct DigestFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr); }
  void update(const void* data, std::size_t length) { EVP_DigestUpdate(context_.get(), data, length); }
  std::string hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_.get(), digest, &length);
    return hexString(ByteView(digest, length));
  }

 private:
  std::unique_ptr<EVP_MD_CTX, DigestFree> context_;
};

}  // namespace

std::int64_t BenchFile::chunkCount() const {
  const auto chunk = static_cast<std::int64_t>(kChunkSize);
  return size == 0 ? 1 : (size + chunk - 1) / chunk;
}

std::size_t BenchFile::chunkLength(std::int64_t index) const {
  const std::int64_t offset = index * static_cast<std::int64_t>(kChunkSize);
  return static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(kChunkSize), size - offset));
}

// Incompressible, and different for every file and chunk.
void BenchFile::fillChunk(std::int64_t index, std::uint8_t* out) const {
  std::uint64_t state = seed * 0x100000001B3ull + static_cast<std::uint64_t>(index);
  const std::size_t length = chunkLength(index);
  std::size_t done = 0;
  for (; done + 8 <= length; done += 8) {
    const std::uint64_t word = splitMix(state);
    std::memcpy(out + done, &word, 8);
  }
  if (done < length) {
    const std::uint64_t word = splitMix(state);
    std::memcpy(out + done, &word, length - done);
  }
}

std::string BenchFile::sha256() const {
  Sha256 digest;
  std::vector<std::uint8_t> chunk(kChunkSize);
  for (std::int64_t index = 0; index < chunkCount(); ++index) {
    fillChunk(index, chunk.data());
    digest.update(chunk.data(), chunkLength(index));
  }
  return digest.hex();
}

std::string sha256OfPath(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  Sha256 digest;
  std::vector<char> buffer(1 << 20);
  while (file) {
    file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    digest.update(buffer.data(), static_cast<std::size_t>(file.gcount()));
  }
  return digest.hex();
}

}  // namespace orvel::bench
