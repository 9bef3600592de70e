#include "platform/Paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <system_error>

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

  const auto privateFolder = temporary.path() / ("orvel-" + std::to_string(::geteuid()));
  EXPECT_EQ(Paths::downloadsDirectory(), privateFolder);

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

// Other local users must not read what is received into the shared temporary
// folder, nor redirect it.
TEST(Paths, PrivateTemporaryFolderIsTheUsersOwnOrRefused) {
  test::TemporaryDirectory temporary;
  test::ScopedEnvironment environment;
  environment.set("TMPDIR", temporary.path().string());
  const auto folder = Paths::privateTemporaryDirectory();
  auto mode = [&] { return fs::status(folder).permissions(); };
  auto expectRefused = [&](const char* reason) {
    try {
      Paths::preparePrivateTemporaryDirectory();
      ADD_FAILURE() << "not refused";
    } catch (const std::system_error& error) {
      EXPECT_EQ(std::string(error.what()).find("cannot receive into " + folder.string() + ", " + reason), 0u)
          << error.what();
    }
  };

  Paths::preparePrivateTemporaryDirectory();
  EXPECT_EQ(mode(), fs::perms::owner_all);
  fs::permissions(folder, fs::perms::group_read | fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::add);
  Paths::preparePrivateTemporaryDirectory();
  EXPECT_EQ(mode(), fs::perms::owner_all);
  fs::remove(folder);

  test::TemporaryDirectory elsewhere;
  fs::create_directory_symlink(elsewhere.path(), folder);
  expectRefused("which is not a directory");
  fs::remove(folder);
  test::writeFile(folder, "");
  expectRefused("which is not a directory");
  fs::remove(folder);

  if (::geteuid() != 0) GTEST_SKIP() << "handing the folder to another user needs root";
  fs::create_directory(folder);
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
  expectRefused("which belongs to another user");
}

}  // namespace
}  // namespace orvel
