#pragma once

#include <string_view>

namespace orvel {

// Errors of the file system itself travel as std::system_error.
enum class FileWriterError { notOpen, writeFailed };

constexpr std::string_view toString(FileWriterError error) {
  switch (error) {
    case FileWriterError::notOpen: return "notOpen";
    case FileWriterError::writeFailed: return "writeFailed";
  }
  return "unknown";
}

}  // namespace orvel
