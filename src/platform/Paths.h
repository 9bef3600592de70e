#pragma once

#include <filesystem>

namespace orvel {

// Where the user's folders are, by the XDG conventions.
namespace Paths {

// $XDG_CONFIG_HOME, else ~/.config.
std::filesystem::path configHome();

// XDG_DOWNLOAD_DIR from user-dirs.dirs, else $HOME/Downloads when it exists,
// else the temporary folder.
std::filesystem::path downloadsDirectory();

// $TMPDIR, else /tmp.
std::filesystem::path temporaryDirectory();

}  // namespace Paths
}  // namespace orvel
