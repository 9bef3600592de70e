#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvel {

// The application's user defaults: one JSON object in
// $XDG_CONFIG_HOME/orvel/defaults.json, read afresh on every use so that a
// changed value takes effect without a restart. The engine only reads it.
class Settings {
 public:
  static constexpr std::string_view downloadPathKey = "Orvel.downloadPath";
  static constexpr std::string_view deviceNameKey = "Orvel.deviceName";

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

  // What makes the stored settings unusable, one sentence each naming the
  // file and key: a file that cannot be read or is no JSON object, a known
  // key holding something other than a string. Empty when all is well.
  static std::vector<std::string> problems();
};

}  // namespace orvel
