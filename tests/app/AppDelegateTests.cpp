#include "app/AppDelegate.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "platform/LoopbackSupport.h"
#include "services/FakeNotificationHandler.h"
#include "support/TestSupport.h"

namespace orvel {
namespace {

using namespace std::chrono_literals;

TEST(AppDelegateLoopback, StartsListeningReportsThePortAndStopsAtTheEnd) {
  // No system bus: the advertisement cannot reach an avahi-daemon on real interfaces.
  test::ScopedEnvironment environment;
  environment.set("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvel-test-bus");
  LogCapture log;
  auto prompt = std::make_shared<test::FakeNotificationHandler>();
  auto firstPort = test::unusedPort();
  auto app = std::make_shared<AppDelegate>(prompt, firstPort);

  app->applicationDidFinishLaunching();
  ASSERT_TRUE(MainLoop::shared().runUntil([&] { return !prompt->statuses.empty(); }, 10s));
  auto port = std::to_string(firstPort);
  EXPECT_TRUE(log.contains("[Orvel] ConnectionManager ready on port " + port));
  EXPECT_EQ(prompt->statuses.front(), "Receiving on port " + port + ". Press Ctrl+C to quit.");
  EXPECT_EQ(app->connectionManager()->listeningPort(), firstPort);
  // The launch is recorded once listening has started.
  auto lines = log.lines();
  auto listening = std::find(lines.begin(), lines.end(), "[ConnectionManager] Created listener on port " + port);
  auto launched = std::find(lines.begin(), lines.end(), "[Analytics] app_launched {}");
  EXPECT_LT(listening, launched);
  EXPECT_NE(launched, lines.end());

  app->applicationWillTerminate();
  EXPECT_FALSE(app->connectionManager()->listeningPort().has_value());
}

}  // namespace
}  // namespace orvel
