#include "platform/Settings.h"

#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/Log.h"
#include "platform/Paths.h"

namespace orvel {
namespace {

enum class FileProblem { none, unreadable, notAnObject };

// The stored object; an empty one when there is no file, or when the file
// cannot be read or parsed, which `problem` then tells. Never rewritten.
nlohmann::json readDefaults(FileProblem& problem) {
  problem = FileProblem::none;
  const auto path = Settings::filePath();
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return nlohmann::json::object();
  std::ifstream file(path);
  if (!file) {
    problem = FileProblem::unreadable;
    return nlohmann::json::object();
  }
  auto defaults = nlohmann::json::parse(file, nullptr, /*allow_exceptions=*/false);
  if (!defaults.is_object()) {
    problem = FileProblem::notAnObject;
    return nlohmann::json::object();
  }
  return defaults;
}

nlohmann::json readDefaults() {
  FileProblem problem;
  auto defaults = readDefaults(problem);
  const auto path = Settings::filePath().string();
  if (problem == FileProblem::unreadable) Log::write("[Settings] Cannot read " + path + "; using no stored settings");
  if (problem == FileProblem::notAnObject) {
    Log::write("[Settings] " + path + " is not a JSON object; using no stored settings");
  }
  return defaults;
}

}  // namespace

std::filesystem::path Settings::filePath() { return Paths::configHome() / "orvel" / "defaults.json"; }

std::filesystem::path Settings::downloadFolder() {
  if (auto configured = string(downloadPathKey)) return *configured;
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

std::vector<std::string> Settings::problems() {
  FileProblem problem;
  auto defaults = readDefaults(problem);
  const auto file = "Settings file " + filePath().string();
  switch (problem) {
    case FileProblem::unreadable: return {file + " cannot be read; the defaults are used instead."};
    case FileProblem::notAnObject: return {file + " is not a JSON object; the defaults are used instead."};
    case FileProblem::none: break;
  }
  std::vector<std::string> found;
  for (std::string_view key : {downloadPathKey, deviceNameKey}) {
    auto entry = defaults.find(key);
    if (entry != defaults.end() && !entry->is_string()) {
      found.push_back(file + ": \"" + std::string(key) + "\" does not hold a string; its default is used instead.");
    }
  }
  return found;
}

}  // namespace orvel
