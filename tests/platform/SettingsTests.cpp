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

TEST(Settings, ProblemsNameTheFileAndKeyOnce) {
  test::ScopedHome home;
  const auto file = "Settings file " + Settings::filePath().string();
  struct Case {
    std::optional<std::string> contents;  // none: no file
    std::vector<std::string> problems;
  };
  const std::vector<Case> cases{
      {std::nullopt, {}},
      {R"({"Orvel.deviceName": "Desk", "Orvel.downloadPath": "/srv", "Other": 1})", {}},
      {"{not json", {file + " is not a JSON object; the defaults are used instead."}},
      {R"({"Orvel.downloadPath": ["/srv"], "Orvel.deviceName": null})",
       {file + ": \"Orvel.downloadPath\" does not hold a string; its default is used instead.",
        file + ": \"Orvel.deviceName\" does not hold a string; its default is used instead."}},
  };
  for (const auto& each : cases) {
    if (each.contents) home.writeSettings(*each.contents);
    EXPECT_EQ(Settings::problems(), each.problems) << each.contents.value_or("no file");
  }
}

}  // namespace
}  // namespace orvel
