#include "platform/HostName.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/TestSupport.h"

namespace orvel {
namespace {

TEST(HostName, PrettyHostNameFromMachineInfo) {
  struct Case { const char* text; std::optional<std::string> expected; };
  const Case cases[] = {
      {"PRETTY_HOSTNAME=\"Lennart's Laptop\"\n", "Lennart's Laptop"},
      {"CHASSIS=laptop\nPRETTY_HOSTNAME='Kitchen PC'\nICON_NAME=computer\n", "Kitchen PC"},
      {"PRETTY_HOSTNAME=Bare # comment", "Bare"},
      {"  PRETTY_HOSTNAME=\"Say \\\"hi\\\" \\\\o/\"", "Say \"hi\" \\o/"},
      {"PRETTY_HOSTNAME=\"Küche 🍳\"", "Küche 🍳"},
      {"PRETTY_HOSTNAME=\"\"\n", std::nullopt},
      {"# PRETTY_HOSTNAME=commented\n", std::nullopt},
      {"NOT_PRETTY_HOSTNAME=x\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(HostName::prettyHostName(c.text), c.expected) << c.text;
}

TEST(HostName, PrettyNameFirstThenKernelName) {
  test::TemporaryDirectory directory;
  test::writeFile(directory.path() / "machine-info", "PRETTY_HOSTNAME=\"Desk 1\"\n");
  EXPECT_EQ(HostName::localized(directory.path() / "machine-info"), "Desk 1");

  char kernelName[256] = {};
  ASSERT_EQ(gethostname(kernelName, sizeof kernelName - 1), 0);
  EXPECT_EQ(HostName::localized(directory.path() / "absent"), std::string(kernelName));
  test::writeFile(directory.path() / "machine-info", "PRETTY_HOSTNAME=\n");
  EXPECT_EQ(HostName::localized(directory.path() / "machine-info"), std::string(kernelName));
}

}  // namespace
}  // namespace orvel
