#include "platform/Settings.h"

#include <gtest/gtest.h>

#include "platform/Log.h"
#include "support/TestSupport.h"

namespace orvel {
namespace {

TEST(Settings, MissingFileMeansNoKeysAndNoLogLine) {
  test::ScopedHome home;
  LogCapture log;
  EXPECT_EQ(Settings::string("Orvel.downloadPath"), std::nullopt);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(Settings::filePath(), home.configHome() / "orvel" / "defaults.json");
}

TEST(Settings, ReadsStringsOnlyAndAfreshOnEveryUse) {
  test::ScopedHome home;
  home.writeSettings(R"({"Orvel.deviceName": "Desk", "Orvel.downloadPath": 7, "Orvel.isVisible": true})");
  EXPECT_EQ(Settings::string("Orvel.deviceName"), "Desk");
  EXPECT_EQ(Settings::string("Orvel.downloadPath"), std::nullopt);
  EXPECT_EQ(Settings::string("Orvel.isVisible"), std::nullopt);
  home.writeSettings(R"({"Orvel.deviceName": ""})");
  EXPECT_EQ(Settings::string("Orvel.deviceName"), "");
}

TEST(Settings, UnreadableFileIsReportedTreatedAsEmptyAndKept) {
  const char* broken[] = {"{not json", "[1, 2]", "\"text\""};
  for (const char* contents : broken) {
    test::ScopedHome home;
    home.writeSettings(contents);
    LogCapture log;
    EXPECT_EQ(Settings::string("Orvel.deviceName"), std::nullopt) << contents;
    ASSERT_EQ(log.lines().size(), 1u) << contents;
    EXPECT_NE(log.lines()[0].find(Settings::filePath().string()), std::string::npos);
    EXPECT_EQ(test::readFile(Settings::filePath()), contents);
  }
}

}  // namespace
}  // namespace orvel
