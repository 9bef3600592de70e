#include "network/DownloadFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <system_error>

namespace orvel {
namespace {

std::mutex registryMutex;
std::map<std::filesystem::path, std::weak_ptr<DownloadFolder>> registry;

}  // namespace

std::shared_ptr<DownloadFolder> DownloadFolder::open(const std::filesystem::path& path) {
  std::lock_guard lock(registryMutex);
  std::erase_if(registry, [](const auto& entry) { return entry.second.expired(); });
  if (auto shared = registry[path].lock(); shared && shared->isInPlace()) return shared;
  int descriptor = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) {
    throw std::system_error(errno, std::system_category(), "cannot open download folder " + path.string());
  }
  auto folder = std::make_shared<DownloadFolder>(Private{}, path, descriptor);
  registry[path] = folder;
  return folder;
}

DownloadFolder::DownloadFolder(Private, std::filesystem::path path, int descriptor)
    : path_(std::move(path)), descriptor_(descriptor) {
  struct stat status;
  if (::fstat(descriptor_, &status) == 0) {
    device_ = status.st_dev;
    inode_ = status.st_ino;
  }
}

DownloadFolder::~DownloadFolder() { ::close(descriptor_); }

bool DownloadFolder::isInPlace() const {
  struct stat status;
  return ::stat(path_.c_str(), &status) == 0 && status.st_dev == device_ && status.st_ino == inode_;
}

}  // namespace orvel
