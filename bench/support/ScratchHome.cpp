#include "support/ScratchHome.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

namespace orvel::bench {

ScratchHome::ScratchHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvel-receive-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  std::filesystem::create_directories(downloads());
  std::filesystem::create_directories(root_ / "config" / "orvel");
  std::ofstream(root_ / "config" / "orvel" / "defaults.json")
      << "{\"Orvel.downloadPath\": \"" << downloads().string() << "\"}\n";
  ::setenv("HOME", root_.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
}

ScratchHome::~ScratchHome() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

}  // namespace orvel::bench
