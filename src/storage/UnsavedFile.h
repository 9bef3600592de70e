#pragma once

#include <filesystem>
#include <string>

namespace orvel {

// A file that the drive would not take: its name as announced and the folder
// it was to go into. The error beside it says why.
struct UnsavedFile {
  std::string name;
  std::filesystem::path folder;

  bool operator==(const UnsavedFile&) const = default;
};

}  // namespace orvel
