#include "platform/AvahiServiceRegistration.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/MainLoop.h"
#include "platform/TxtRecord.h"
#include "support/TestSupport.h"

// These tests never reach a daemon: the system bus address points at a socket
// that does not exist, so nothing is ever published on a real network. The
// published path, and waiting for a daemon on a running bus, are covered by
// script.mdns_advertising in network namespaces.
namespace orvel {
namespace {

using namespace std::chrono_literals;

struct Reports : ServiceRegistrationDelegate {
  std::vector<std::string> events;
  std::vector<ServiceErrorDictionary> errors;
  std::vector<std::thread::id> threads;
  std::unique_ptr<ServiceRegistration>* destroyOnStop = nullptr;

  void serviceDidPublish(ServiceRegistration&) override { note("published"); }
  void serviceDidNotPublish(ServiceRegistration&, const ServiceErrorDictionary& dictionary) override {
    note("failed");
    errors.push_back(dictionary);
  }
  void serviceIsWaiting(ServiceRegistration&, const ServiceErrorDictionary& why) override {
    note("waiting");
    errors.push_back(why);
  }
  void serviceDidStop(ServiceRegistration&) override {
    note("stopped");
    if (destroyOnStop) destroyOnStop->reset();
  }
  void note(std::string event) {
    events.push_back(std::move(event));
    threads.push_back(std::this_thread::get_id());
  }
};

class AvahiServiceRegistrationTest : public testing::Test {
 protected:
  AvahiServiceRegistrationTest() {
    environment.set("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (directory.path() / "absent-bus").string());
  }

  static std::unique_ptr<ServiceRegistration> make() {
    return AvahiServiceRegistration::create("local.", "_FC9F5ED42C8A._tcp.", "I0FCQ0T8n14AAA", 8686);
  }

  // Runs the main loop a little so that any late report would arrive.
  static void drainMainLoop() { MainLoop::shared().runUntil([] { return false; }, 200ms); }

  test::TemporaryDirectory directory;
  test::ScopedEnvironment environment;
  Reports reports;
};

TEST_F(AvahiServiceRegistrationTest, RefusesNamesThatAreNoDnsSdNames) {
  EXPECT_NE(make(), nullptr);
  EXPECT_EQ(AvahiServiceRegistration::create("local.", "not a type", "name", 1), nullptr);
  EXPECT_EQ(AvahiServiceRegistration::create("local.", "_FC9F5ED42C8A._tcp.", std::string(64, 'x'), 1), nullptr);
  EXPECT_EQ(AvahiServiceRegistration::create("local.", "_FC9F5ED42C8A._tcp.", "", 1), nullptr);
}

TEST_F(AvahiServiceRegistrationTest, TakesOnlyTxtWireData) {
  auto service = make();
  EXPECT_TRUE(service->setTXTRecordData(TxtRecord::data({{"n", Bytes{'a', 'b'}}})));
  EXPECT_FALSE(service->setTXTRecordData(Bytes{9, 'n', '='}));  // the string runs past the end
}

// No bus is waited for like no daemon: told once, and tried again later.
TEST_F(AvahiServiceRegistrationTest, ThreadedMissingBusIsWaitedForAndToldOnceOnTheMainLoop) {
  auto service = make();
  service->setDelegate(&reports);
  service->publish();
  EXPECT_TRUE(reports.events.empty()) << "reported inside publish()";
  ASSERT_TRUE(MainLoop::shared().runUntil([&] { return !reports.events.empty(); }, 10s));
  drainMainLoop();
  ASSERT_EQ(reports.events, std::vector<std::string>{"waiting"});
  EXPECT_EQ(reports.threads[0], std::this_thread::get_id());
  ASSERT_EQ(reports.errors[0].size(), 1u);
  EXPECT_LT(reports.errors[0].at("AvahiErrorCode"), 0);
  EXPECT_EQ(describe(reports.errors[0]), "[\"AvahiErrorCode\": " + std::to_string(reports.errors[0].at("AvahiErrorCode")) + "]");
  EXPECT_EQ(AvahiServiceRegistration::waitingReason(reports.errors[0]),
            "waiting for the mDNS daemon (avahi-daemon) to start");

  service->stop();  // still publishing, so the stop is reported
  ASSERT_TRUE(MainLoop::shared().runUntil([&] { return reports.events.size() == 2; }, 10s));
  EXPECT_EQ(reports.events.back(), "stopped");
}

TEST_F(AvahiServiceRegistrationTest, ThreadedStopReportsOnlyTheStopAndMayDestroyTheService) {
  auto service = make();
  service->setDelegate(&reports);
  reports.destroyOnStop = &service;
  service->publish();
  service->stop();
  EXPECT_TRUE(reports.events.empty()) << "reported inside stop()";
  ASSERT_TRUE(MainLoop::shared().runUntil([&] { return !reports.events.empty(); }, 10s));
  drainMainLoop();
  EXPECT_EQ(reports.events, std::vector<std::string>{"stopped"});
  EXPECT_EQ(service, nullptr);
}

TEST_F(AvahiServiceRegistrationTest, ThreadedNothingArrivesAfterTheServiceIsGone) {
  for (bool stopFirst : {false, true}) {
    auto service = make();
    service->setDelegate(&reports);
    service->publish();
    if (stopFirst) service->stop();
    service.reset();
    drainMainLoop();
    EXPECT_TRUE(reports.events.empty()) << "stopFirst " << stopFirst;
  }
}

TEST(AvahiServiceRegistrationFailure, ReasonInWordsForTheUser) {
  const std::pair<ServiceErrorDictionary, std::string> cases[] = {
      {{{"AvahiErrorCode", -8}}, "another service on the network already has its name"},
      {{{"AvahiErrorCode", -26}},
       "no mDNS daemon is reachable (the avahi-daemon package must be installed and its service running)"},
      {{{"AvahiErrorCode", -15}}, "Timeout reached"},
      {{}, "unknown error [:]"},
  };
  for (const auto& [errors, reason] : cases) EXPECT_EQ(AvahiServiceRegistration::failureReason(errors), reason);
}

TEST(ServiceErrorDictionary, TextForm) {
  EXPECT_EQ(describe({}), "[:]");
  EXPECT_EQ(describe({{"b", 10}, {"a", -72001}}), "[\"a\": -72001, \"b\": 10]");
}

}  // namespace
}  // namespace orvel
