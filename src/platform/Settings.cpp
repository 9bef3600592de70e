#include "platform/Settings.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/Log.h"
#include "platform/Paths.h"

namespace orvel {
namespace {

// The stored object; an empty one when there is no file. A file that cannot
// be read or parsed is reported and treated as empty, never rewritten.
nlohmann::json readDefaults() {
  const auto path = Settings::filePath();
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return nlohmann::json::object();
  std::ifstream file(path);
  if (!file) {
    Log::write("[Settings] Cannot read " + path.string() + "; using no stored settings");
    return nlohmann::json::object();
  }
  auto defaults = nlohmann::json::parse(file, nullptr, /*allow_exceptions=*/false);
  if (!defaults.is_object()) {
    Log::write("[Settings] " + path.string() + " is not a JSON object; using no stored settings");
    return nlohmann::json::object();
  }
  return defaults;
}

}  // namespace

std::filesystem::path Settings::filePath() { return Paths::configHome() / "orvel" / "defaults.json"; }

std::filesystem::path Settings::downloadFolder() {
  if (auto configured = string("Orvel.downloadPath")) return *configured;
  return Paths::downloadsDirectory();
}

std::filesystem::path Settings::preparedDownloadFolder() {
  auto folder = downloadFolder();
  if (folder == Paths::privateTemporaryDirectory()) Paths::preparePrivateTemporaryDirectory();
  return folder;
}

std::optional<std::string> Settings::string(std::string_view key) {
  auto defaults = readDefaults();
  auto entry = defaults.find(key);
  if (entry == defaults.end() || !entry->is_string()) return std::nullopt;
  return entry->get<std::string>();
}

}  // namespace orvel
