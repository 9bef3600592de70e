#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>

namespace orvel {

// One open descriptor of a download folder, shared by the writers in it: they
// create, move and delete their files through it, so a temporary file is
// deleted where it is even after the folder was renamed or replaced, and each
// file still arriving costs one descriptor of its own, not two.
// Thread-safe.
class DownloadFolder {
  struct Private {};

 public:
  // The folder at `path`: the one its writers share while it is still there,
  // else newly opened. Throws std::system_error naming the folder.
  static std::shared_ptr<DownloadFolder> open(const std::filesystem::path& path);

  DownloadFolder(Private, std::filesystem::path path, int descriptor);
  ~DownloadFolder();
  DownloadFolder(const DownloadFolder&) = delete;
  DownloadFolder& operator=(const DownloadFolder&) = delete;

  int descriptor() const { return descriptor_; }
  const std::filesystem::path& path() const { return path_; }
  // Whether its path still leads to this folder, not renamed or replaced.
  bool isInPlace() const;

 private:
  std::filesystem::path path_;
  int descriptor_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

}  // namespace orvel
