#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace orvel {

// The application's user defaults: one JSON object in
// $XDG_CONFIG_HOME/orvel/defaults.json, read afresh on every use so that a
// changed value takes effect without a restart. The engine only reads it.
class Settings {
 public:
  // The string stored under `key`; nothing when the key is missing, holds
  // another type, or the file is absent or unreadable.
  static std::optional<std::string> string(std::string_view key);

  // Where received files go: "Orvel.downloadPath", else the user's download folder.
  static std::filesystem::path downloadFolder();
  // downloadFolder(), about to receive a file: when that is the private
  // temporary folder, it is made ready first. Throws std::system_error,
  // naming the folder, when it cannot be used.
  static std::filesystem::path preparedDownloadFolder();

  static std::filesystem::path filePath();
};

}  // namespace orvel
