#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvel::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Sets (or, with nullopt, unsets) environment variables and restores them on exit.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  void set(const std::string& name, std::optional<std::string> value);

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A home folder of its own: HOME and XDG_CONFIG_HOME point into a temporary
// folder for the life of the object, so settings and user-dirs are the test's.
class ScopedHome {
 public:
  ScopedHome();

  const std::filesystem::path& home() const { return directory_.path(); }
  std::filesystem::path configHome() const { return home() / ".config"; }
  // Writes the settings file with the given JSON text.
  void writeSettings(const std::string& json) const;
  // Writes settings whose "Orvel.downloadPath" is `folder`.
  void writeDownloadPath(const std::filesystem::path& folder) const;

 private:
  TemporaryDirectory directory_;
  ScopedEnvironment environment_;
};

void writeFile(const std::filesystem::path& path, const std::string& contents);
std::string readFile(const std::filesystem::path& path);
// The names of every entry of a folder, hidden ones included, sorted.
std::vector<std::string> folderEntries(const std::filesystem::path& folder);
// The descriptors this process holds open.
std::size_t openDescriptorCount();
// The bytes the allocator has handed out and not yet been given back, across threads.
std::size_t heapInUse();

// How far the process's resident memory rose at its highest since this object
// was made (which resets the kernel's record of the peak). It sees what the
// heap does not: memory mapped straight from the system.
class ResidentPeak {
 public:
  ResidentPeak();
  // In bytes; none under the sanitizers, whose allocators keep freed memory
  // aside and add their own shadow of the rest.
  std::optional<std::int64_t> growth() const;

 private:
  std::int64_t residentAtStart_;
};

}  // namespace orvel::test
