#include "app/AppDelegate.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "platform/Settings.h"
#include "platform/TcpListener.h"
#include "services/FakeNotificationHandler.h"
#include "support/PrivateNetwork.h"
#include "support/TestSupport.h"

namespace orvel {
namespace {

using namespace std::chrono_literals;

TEST(AppDelegateLoopback, StartsListeningReportsThePortAndStopsAtTheEnd) {
  // No system bus: the advertisement cannot reach an avahi-daemon on real interfaces.
  test::ScopedEnvironment environment;
  environment.set("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvel-test-bus");
  const std::string noAdvertising =
      "Phones cannot see this computer yet: waiting for the mDNS daemon (avahi-daemon) to start.";
  for (bool troubled : {false, true}) {  // a taken first port and an unusable settings file
    SCOPED_TRACE(troubled ? "troubled" : "clean");
    test::ScopedHome home;
    if (troubled) home.writeSettings("{not json");
    LogCapture log;
    test::PrivateNetwork network;  // where nothing else can hold the first port
    auto prompt = std::make_shared<test::FakeNotificationHandler>();
    const std::uint16_t firstPort = ConnectionManager::defaultPort;
    auto occupant = troubled ? TcpListener::create(firstPort) : nullptr;
    auto app = std::make_shared<AppDelegate>(prompt);

    app->applicationDidFinishLaunching();
    ASSERT_TRUE(MainLoop::shared().runUntil(
        [&] { return !prompt->statuses.empty() && prompt->statuses.back() == noAdvertising; }, 10s));
    auto port = app->connectionManager()->listeningPort();
    ASSERT_TRUE(port.has_value());
    EXPECT_TRUE(log.contains("[Orvel] ConnectionManager ready on port " + std::to_string(*port)));
    const auto first = std::to_string(firstPort), listening = std::to_string(*port);
    std::vector<std::string> expected{"Receiving on port " + first + ". Press Ctrl+C to quit.", noAdvertising};
    if (troubled) {
      expected = {"Settings file " + Settings::filePath().string() +
                      " is not a JSON object; the defaults are used instead.",
                  "Port " + first + " is in use; receiving on port " + listening + ". Press Ctrl+C to quit.",
                  noAdvertising};
    }
    EXPECT_EQ(prompt->statuses, expected);
    // The launch is recorded once listening has started.
    auto lines = log.lines();
    auto created = "[ConnectionManager] Created listener on port " + (troubled ? std::string("0") : first);
    auto listeningLine = std::find(lines.begin(), lines.end(), created);
    auto launched = std::find(lines.begin(), lines.end(), "[Analytics] app_launched {}");
    EXPECT_LT(listeningLine, launched);
    EXPECT_NE(launched, lines.end());

    app->applicationWillTerminate();
    EXPECT_FALSE(app->connectionManager()->listeningPort().has_value());
    // The row ends once the listener's last line is in its own capture.
    EXPECT_TRUE(
        MainLoop::shared().runUntil([&] { return log.contains("[ConnectionManager] Listener cancelled"); }, 10s));
  }
}

}  // namespace
}  // namespace orvel
