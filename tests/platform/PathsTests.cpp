#include "platform/Paths.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace orvel {
namespace {

namespace fs = std::filesystem;

TEST(Paths, ConfigHomeFollowsXdgElseHome) {
  test::ScopedHome home;
  EXPECT_EQ(Paths::configHome(), home.configHome());
  test::ScopedEnvironment environment;
  environment.set("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(Paths::configHome(), home.home() / ".config");
  environment.set("XDG_CONFIG_HOME", "relative/is/ignored");
  EXPECT_EQ(Paths::configHome(), home.home() / ".config");
}

TEST(Paths, DownloadsFromUserDirsThenHomeDownloadsThenTemporary) {
  test::ScopedHome home;
  test::TemporaryDirectory temporary;
  test::ScopedEnvironment environment;
  environment.set("TMPDIR", temporary.path().string());

  EXPECT_EQ(Paths::downloadsDirectory(), temporary.path());

  fs::create_directories(home.home() / "Downloads");
  EXPECT_EQ(Paths::downloadsDirectory(), home.home() / "Downloads");

  fs::create_directories(home.home() / "Incoming files");
  test::writeFile(home.configHome() / "user-dirs.dirs",
                  "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                  "XDG_DOWNLOAD_DIR=\"$HOME/Incoming files\"\n");
  EXPECT_EQ(Paths::downloadsDirectory(), home.home() / "Incoming files");

  test::writeFile(home.configHome() / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"" + temporary.path().string() + "\"\n");
  EXPECT_EQ(Paths::downloadsDirectory(), temporary.path());

  // A configured folder that does not exist, or one turned off, falls back.
  test::writeFile(home.configHome() / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Missing\"\n");
  EXPECT_EQ(Paths::downloadsDirectory(), home.home() / "Downloads");
  test::writeFile(home.configHome() / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/\"\n");
  EXPECT_EQ(Paths::downloadsDirectory(), home.home() / "Downloads");
}

}  // namespace
}  // namespace orvel
