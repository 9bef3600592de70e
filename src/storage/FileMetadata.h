#pragma once

#include <cstdint>
#include <string>

namespace orvel {

// One file announced by a sender; its bytes arrive in the FILE payload `payloadId`.
struct FileMetadata {
  std::int64_t payloadId = 0;
  std::string name;
  std::int64_t size = 0;  // announced, in bytes
  std::string mimeType;

  bool operator==(const FileMetadata&) const = default;
};

}  // namespace orvel
