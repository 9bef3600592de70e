#pragma once

#include <filesystem>

namespace orvel::bench {

// A home of its own for the receiver: the settings file points the download
// folder into it. Sets HOME and XDG_CONFIG_HOME; removes everything at the end.
class ScratchHome {
 public:
  ScratchHome();
  ~ScratchHome();
  ScratchHome(const ScratchHome&) = delete;
  ScratchHome& operator=(const ScratchHome&) = delete;

  std::filesystem::path root() const { return root_; }
  std::filesystem::path downloads() const { return root_ / "downloads"; }

 private:
  std::filesystem::path root_;
};

}  // namespace orvel::bench
