#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace orvel::bench {

// A file the benchmark sends. Its bytes are not kept anywhere: chunk i is
// drawn afresh from (seed, i) whenever it is needed, so any size costs the
// sender no memory and the received file can be checked afterwards.
struct BenchFile {
  static constexpr std::size_t kChunkSize = 512 * 1024;

  std::string name;
  std::int64_t payloadId;
  std::int64_t size;
  std::uint64_t seed;

  std::int64_t chunkCount() const;  // an empty file is one empty chunk
  std::size_t chunkLength(std::int64_t index) const;
  void fillChunk(std::int64_t index, std::uint8_t* out) const;

  // SHA-256 in hex of the contents, regenerated.
  std::string sha256() const;
};

// SHA-256 in hex of a file on disk; empty when it cannot be read.
std::string sha256OfPath(const std::filesystem::path& path);

}  // namespace orvel::bench
