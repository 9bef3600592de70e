#include "services/DiscoveryService.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <regex>
#include <set>

#include "platform/Log.h"
#include "support/TestSupport.h"

namespace orvel {
namespace {

// What the service did with one registration; outlives the registration.
struct Record {
  std::string domain, type, name;
  std::uint16_t port = 0;
  Bytes txt;
  ServiceRegistrationDelegate* delegate = nullptr;
  ServiceRegistration* alive = nullptr;  // the registration while it exists
  int publishes = 0, stops = 0;
};

class FakeRegistration final : public ServiceRegistration {
 public:
  explicit FakeRegistration(std::shared_ptr<Record> record) : record_(std::move(record)) { record_->alive = this; }
  ~FakeRegistration() override { record_->alive = nullptr; }
  bool setTXTRecordData(const Bytes& data) override {
    record_->txt = data;
    return true;
  }
  void setDelegate(ServiceRegistrationDelegate* delegate) override { record_->delegate = delegate; }
  void publish() override { ++record_->publishes; }
  void stop() override { ++record_->stops; }

 private:
  std::shared_ptr<Record> record_;
};

class DiscoveryServiceTest : public testing::Test {
 protected:
  DiscoveryService makeService() {
    return DiscoveryService([this](const std::string& domain, const std::string& type, const std::string& name,
                                   std::uint16_t port) -> std::unique_ptr<ServiceRegistration> {
      if (failCreation) return nullptr;
      auto record = std::make_shared<Record>();
      record->domain = domain;
      record->type = type;
      record->name = name;
      record->port = port;
      records.push_back(record);
      return std::make_unique<FakeRegistration>(record);
    });
  }

  static Bytes unbase64(std::string text) {
    std::replace(text.begin(), text.end(), '-', '+');
    std::replace(text.begin(), text.end(), '_', '/');
    const std::size_t padding = (4 - text.size() % 4) % 4;
    text.append(padding, '=');
    Bytes bytes(text.size() / 4 * 3);
    const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    EXPECT_GE(length, 0);
    bytes.resize(static_cast<std::size_t>(length) - padding);
    return bytes;
  }

  // The TXT value of a record holding exactly the one string "n=<value>".
  static std::string txtValue(const Record& record) {
    const auto& txt = record.txt;
    EXPECT_FALSE(txt.empty());
    EXPECT_EQ(txt[0], txt.size() - 1) << "not exactly one TXT string";
    std::string entry(txt.begin() + 1, txt.end());
    EXPECT_TRUE(entry.starts_with("n=")) << entry;
    return entry.substr(2);
  }

  static Bytes endpointInfo(const Record& record) { return unbase64(txtValue(record)); }

  test::ScopedHome home;
  std::vector<std::shared_ptr<Record>> records;
  bool failCreation = false;
};

TEST_F(DiscoveryServiceTest, PublishesTheServiceWithItsFormatAndLogLines) {
  home.writeSettings(R"({"Orvel.deviceName": "Hello"})");
  auto service = makeService();
  LogCapture log;
  service.startAdvertising(8686);

  ASSERT_EQ(records.size(), 1u);
  const auto& record = *records[0];
  EXPECT_EQ(record.domain, "local.");
  EXPECT_EQ(record.type, "_FC9F5ED42C8A._tcp.");
  EXPECT_EQ(record.port, 8686);
  EXPECT_EQ(record.publishes, 1);
  EXPECT_NE(record.delegate, nullptr);
  EXPECT_TRUE(service.isAdvertising());

  ASSERT_TRUE(std::regex_match(record.name, std::regex("[A-Za-z0-9_-]{14}")));
  auto name = unbase64(record.name);
  ASSERT_EQ(name.size(), 10u);
  EXPECT_EQ(name[0], 0x23);
  EXPECT_TRUE(std::regex_match(std::string(name.begin() + 1, name.begin() + 5), std::regex("[A-Za-z0-9]{4}")));
  EXPECT_EQ(Bytes(name.begin() + 5, name.end()), Data::fromHex("fc9f5e0000"));

  EXPECT_EQ(txtValue(record).size(), 31u);
  auto info = endpointInfo(record);
  ASSERT_EQ(info.size(), 23u);
  EXPECT_EQ(info[0], 0x06);
  EXPECT_EQ(info[17], 5);
  EXPECT_EQ(std::string(info.begin() + 18, info.end()), "Hello");

  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "[DiscoveryService] Service name: " + record.name,
                             "[DiscoveryService] Service type: _FC9F5ED42C8A._tcp.",
                             "[DiscoveryService] Port: 8686",
                             "[DiscoveryService] Started advertising as 'Hello' on port 8686",
                         }));
}

TEST_F(DiscoveryServiceTest, EndpointInfoFollowsTheDeviceName) {
  struct Case { std::string settings; std::size_t infoBytes, valueLength; std::string name; };
  std::string flags, twentyOneFlags;
  for (int i = 0; i < 40; ++i) flags += "\\ud83c\\uddeb\\ud83c\\uddf7";
  for (int i = 0; i < 21; ++i) twentyOneFlags += "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
  const Case cases[] = {
      {R"({"Orvel.deviceName": ""})", 18, 24, ""},
      {R"({"Orvel.deviceName": "A name of forty characters, far too long"})", 50, 67,
       "A name of forty characters, far "},
      // 40 flags are 320 bytes: the 21 that fit in 171 bytes are sent.
      {R"({"Orvel.deviceName": ")" + flags + R"("})", 186, 248, twentyOneFlags},
  };
  for (const auto& c : cases) {
    home.writeSettings(c.settings);
    auto service = makeService();
    service.startAdvertising(1);
    const auto& record = *records.back();
    EXPECT_EQ(txtValue(record).size(), c.valueLength) << c.settings;
    auto info = endpointInfo(record);
    ASSERT_EQ(info.size(), c.infoBytes) << c.settings;
    EXPECT_EQ(info[17], c.name.size());
    EXPECT_EQ(std::string(info.begin() + 18, info.end()), c.name);
  }
}

TEST_F(DiscoveryServiceTest, StartingTwicePublishesOnce) {
  auto service = makeService();
  service.startAdvertising(8686);
  LogCapture log;
  service.startAdvertising(9000);
  EXPECT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]->publishes, 1);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"[DiscoveryService] Already advertising"});
}

TEST_F(DiscoveryServiceTest, StopThenStartKeepsTheNameAndDrawsNewBytes) {
  home.writeSettings(R"({"Orvel.deviceName": "First"})");
  auto service = makeService();
  service.startAdvertising(8686);
  home.writeSettings(R"({"Orvel.deviceName": "Second"})");
  LogCapture log;
  service.stopAdvertising();
  EXPECT_FALSE(service.isAdvertising());
  EXPECT_EQ(records[0]->stops, 1);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"[DiscoveryService] Stopped advertising"});

  service.startAdvertising(8686);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_TRUE(service.isAdvertising());
  EXPECT_EQ(records[1]->name, records[0]->name);
  auto first = endpointInfo(*records[0]), second = endpointInfo(*records[1]);
  EXPECT_NE(Bytes(first.begin() + 1, first.begin() + 17), Bytes(second.begin() + 1, second.begin() + 17));
  EXPECT_EQ(std::string(second.begin() + 18, second.end()), "Second");

  // The first service's stop report arrives late: logged, and the new advertisement stands.
  ASSERT_NE(records[0]->alive, nullptr);
  log.clear();
  records[0]->delegate->serviceDidStop(*records[0]->alive);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"[DiscoveryService] mDNS service stopped"});
  EXPECT_EQ(records[0]->alive, nullptr);
  EXPECT_TRUE(service.isAdvertising());
  EXPECT_NE(records[1]->alive, nullptr);
}

TEST_F(DiscoveryServiceTest, StopWhenNotAdvertisingDoesNothing) {
  auto service = makeService();
  LogCapture log;
  service.stopAdvertising();
  EXPECT_TRUE(log.lines().empty());
  EXPECT_TRUE(records.empty());
}

TEST_F(DiscoveryServiceTest, PublishedAndFailedReports) {
  auto service = makeService();
  std::vector<std::string> failures;
  service.setOnStatus([&](const std::string& sentence) { failures.push_back(sentence); });
  service.startAdvertising(8686);
  auto& record = *records[0];
  LogCapture log;
  record.delegate->serviceDidPublish(*record.alive);
  EXPECT_TRUE(service.isAdvertising());
  record.delegate->serviceDidNotPublish(*record.alive, {{"AvahiErrorCode", -8}});
  EXPECT_FALSE(service.isAdvertising());
  EXPECT_NE(record.alive, nullptr) << "a failed service stays stored";
  EXPECT_EQ(failures, std::vector<std::string>{"Advertising failed, so phones will not see this computer: another "
                                                "service on the network already has its name."});
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "[DiscoveryService] mDNS service published successfully",
                             "[DiscoveryService] Failed to publish mDNS service: [\"AvahiErrorCode\": -8]",
                         }));

  // No retry of its own; the next start publishes a new service and drops the failed one.
  service.startAdvertising(8686);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]->alive, nullptr);
  EXPECT_EQ(records[1]->publishes, 1);
  EXPECT_TRUE(service.isAdvertising());
}

// A wait for the mDNS daemon is no failure: the service stays advertised, and
// the user hears of each change once.
TEST_F(DiscoveryServiceTest, WaitingForTheDaemonIsToldOnceAndKeepsAdvertising) {
  home.writeSettings(R"({"Orvel.deviceName": "Hello"})");
  const ServiceErrorDictionary noDaemon{{"AvahiErrorCode", -26}}, daemonGone{{"AvahiErrorCode", -23}};
  const std::string yet = "Phones cannot see this computer yet: waiting for the mDNS daemon (avahi-daemon) to start.",
                    gone = "Phones cannot see this computer: the mDNS daemon stopped; waiting for it to come back.";
  struct Case { std::vector<const ServiceErrorDictionary*> reports; std::vector<std::string> sentences; };
  const Case cases[] = {
      {{nullptr}, {}},
      {{&noDaemon, nullptr}, {yet, "Phones can see this computer now as 'Hello'."}},
      {{nullptr, &daemonGone, nullptr}, {gone, "Phones can see this computer again as 'Hello'."}},
      {{&noDaemon, nullptr, &daemonGone, nullptr, nullptr},
       {yet, "Phones can see this computer now as 'Hello'.", gone, "Phones can see this computer again as 'Hello'."}},
  };
  for (const auto& c : cases) {  // each report: published (nullptr) or waiting, and why
    auto service = makeService();
    std::vector<std::string> sentences;
    service.setOnStatus([&](const std::string& sentence) { sentences.push_back(sentence); });
    service.startAdvertising(8686);
    auto& record = *records.back();
    const auto made = records.size();
    LogCapture log;
    for (const auto* why : c.reports) {
      why ? record.delegate->serviceIsWaiting(*record.alive, *why) : record.delegate->serviceDidPublish(*record.alive);
    }
    EXPECT_EQ(sentences, c.sentences) << c.reports.size() << " reports";
    EXPECT_TRUE(service.isAdvertising());
    EXPECT_EQ(records.size(), made) << "a wait makes no new service";
    if (c.reports.size() == 3) {
      EXPECT_EQ(log.lines()[1], "[DiscoveryService] mDNS service not visible: the mDNS daemon stopped; waiting for it "
                                "to come back");
    }
    service.stopAdvertising();
    EXPECT_EQ(record.stops, 1);
  }
}

TEST_F(DiscoveryServiceTest, NoServiceObjectIsLoggedAndLeavesItNotAdvertising) {
  auto service = makeService();
  std::vector<std::string> failures;
  service.setOnStatus([&](const std::string& sentence) { failures.push_back(sentence); });
  failCreation = true;
  LogCapture log;
  service.startAdvertising(8686);
  EXPECT_FALSE(service.isAdvertising());
  EXPECT_EQ(failures, std::vector<std::string>{
                          "Advertising failed, so phones will not see this computer: the mDNS service could not be set up."});
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3], "[DiscoveryService] Failed to create NetService");
  failCreation = false;
  service.startAdvertising(8686);
  EXPECT_TRUE(service.isAdvertising());
}

TEST_F(DiscoveryServiceTest, EachServiceDrawsItsOwnEndpointId) {
  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    auto service = makeService();
    service.startAdvertising(1);
    names.insert(records.back()->name);
  }
  EXPECT_GT(names.size(), 1u);
}

}  // namespace
}  // namespace orvel
