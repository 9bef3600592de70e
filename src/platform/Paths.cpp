#include "platform/Paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

namespace orvel {
namespace {

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

std::filesystem::path homeDirectory() {
  if (auto home = environment("HOME")) return *home;
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

// The value of XDG_DOWNLOAD_DIR in user-dirs.dirs: a shell-quoted path that
// may start with $HOME. Anything else is not a configured folder.
std::optional<std::filesystem::path> userDirsDownloadDirectory() {
  std::ifstream file(Paths::configHome() / "user-dirs.dirs");
  std::string line;
  const std::string key = "XDG_DOWNLOAD_DIR=";
  while (std::getline(file, line)) {
    auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string value = line.substr(start + key.size());
    if (value.size() < 2 || value.front() != '"') return std::nullopt;
    auto end = value.find('"', 1);
    if (end == std::string::npos) return std::nullopt;
    value = value.substr(1, end - 1);
    if (value.starts_with("$HOME")) {
      value = homeDirectory().string() + value.substr(5);
    } else if (!value.starts_with("/")) {
      return std::nullopt;
    }
    // "$HOME/" alone means the user turned the folder off.
    std::filesystem::path path(value);
    if (path.lexically_normal() == homeDirectory().lexically_normal() ||
        path.lexically_normal() == (homeDirectory() / "").lexically_normal()) {
      return std::nullopt;
    }
    return path;
  }
  return std::nullopt;
}

}  // namespace

std::filesystem::path Paths::configHome() {
  if (auto config = environment("XDG_CONFIG_HOME"); config && config->starts_with("/")) return *config;
  return homeDirectory() / ".config";
}

std::filesystem::path Paths::downloadsDirectory() {
  std::error_code error;
  if (auto configured = userDirsDownloadDirectory(); configured && std::filesystem::is_directory(*configured, error)) {
    return *configured;
  }
  auto downloads = homeDirectory() / "Downloads";
  if (std::filesystem::is_directory(downloads, error)) return downloads;
  return privateTemporaryDirectory();
}

std::filesystem::path Paths::privateTemporaryDirectory() {
  return temporaryDirectory() / ("orvel-" + std::to_string(::geteuid()));
}

void Paths::preparePrivateTemporaryDirectory() {
  const auto folder = privateTemporaryDirectory();
  auto refuse = [&folder](int error, const std::string& reason) {
    throw std::system_error(error, std::system_category(),
                            "cannot receive into " + folder.string() + ", " + reason);
  };
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) refuse(errno, "which cannot be created");
  // Not followed if it is a link: the check is on the entry itself.
  const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor < 0) {
    if (errno == ELOOP || errno == ENOTDIR) refuse(ENOTDIR, "which is not a directory");
    refuse(errno, "which cannot be opened");
  }
  auto closeAndRefuse = [&](int error, const std::string& reason) {
    ::close(descriptor);
    refuse(error, reason);
  };
  struct stat status;
  if (::fstat(descriptor, &status) != 0) closeAndRefuse(errno, "which cannot be examined");
  if (status.st_uid != ::geteuid()) closeAndRefuse(EPERM, "which belongs to another user");
  if ((status.st_mode & 07777) != 0700 && ::fchmod(descriptor, 0700) != 0) {
    closeAndRefuse(errno, "whose mode cannot be set to 0700");
  }
  ::close(descriptor);
}

std::filesystem::path Paths::temporaryDirectory() {
  if (auto tmp = environment("TMPDIR"); tmp && tmp->starts_with("/")) return *tmp;
  return "/tmp";
}

}  // namespace orvel
