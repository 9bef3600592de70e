#include "support/TestSupport.h"

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocator stands in for malloc's; their runtime reports what it holds.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#define ORVEL_SANITIZER_ALLOCATOR 1
#endif

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace orvel::test {

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvel-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code error;
  // Read-only folders made by a test must not stop the clean-up.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 error);
  }
  std::filesystem::remove_all(path_, error);
}

ScopedEnvironment::~ScopedEnvironment() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second) {
      setenv(it->first.c_str(), it->second->c_str(), 1);
    } else {
      unsetenv(it->first.c_str());
    }
  }
}

void ScopedEnvironment::set(const std::string& name, std::optional<std::string> value) {
  const char* old = std::getenv(name.c_str());
  saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
}

ScopedHome::ScopedHome() {
  environment_.set("HOME", home().string());
  environment_.set("XDG_CONFIG_HOME", configHome().string());
  std::filesystem::create_directories(configHome());
}

void ScopedHome::writeSettings(const std::string& json) const {
  std::filesystem::create_directories(configHome() / "orvel");
  writeFile(configHome() / "orvel" / "defaults.json", json);
}

void ScopedHome::writeDownloadPath(const std::filesystem::path& folder) const {
  writeSettings(R"({"Orvel.downloadPath": ")" + folder.string() + R"("})");
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << contents;
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> folderEntries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t openDescriptorCount() { return folderEntries("/proc/self/fd").size(); }

std::size_t heapInUse() {
#ifdef ORVEL_SANITIZER_ALLOCATOR
  return __sanitizer_get_current_allocated_bytes();
#else
  const auto info = mallinfo2();
  return info.uordblks + info.hblkhd;  // small blocks in every arena, and the mapped ones
#endif
}

namespace {

// A line of /proc/self/status, in bytes.
std::int64_t statusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + field.size()) * 1024;
  }
  throw std::runtime_error("no " + field + " in /proc/self/status");
}

}  // namespace

ResidentPeak::ResidentPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
  residentAtStart_ = statusBytes("VmRSS:");
}

std::optional<std::int64_t> ResidentPeak::growth() const {
#ifdef ORVEL_SANITIZER_ALLOCATOR
  return std::nullopt;
#else
  return statusBytes("VmHWM:") - residentAtStart_;
#endif
}

}  // namespace orvel::test
