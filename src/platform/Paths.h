#pragma once

#include <filesystem>

namespace orvel {

// Where the user's folders are, by the XDG conventions.
namespace Paths {

// $XDG_CONFIG_HOME, else ~/.config.
std::filesystem::path configHome();

// XDG_DOWNLOAD_DIR from user-dirs.dirs, else $HOME/Downloads when it exists,
// else privateTemporaryDirectory().
std::filesystem::path downloadsDirectory();

// The user's own folder inside the shared temporary folder, "orvel-<uid>":
// received files go there when the user has no download folder, out of
// other local users' reach.
std::filesystem::path privateTemporaryDirectory();

// Makes privateTemporaryDirectory() ready to receive into: created with mode
// 0700 when missing, and set to 0700 when it is the user's with another mode.
// Throws std::system_error naming the folder when it is not a directory of
// this user (another user's, or a symbolic link planted by one).
void preparePrivateTemporaryDirectory();

// $TMPDIR, else /tmp.
std::filesystem::path temporaryDirectory();

}  // namespace Paths
}  // namespace orvel
