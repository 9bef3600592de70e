#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/ServiceRegistration.h"

namespace orvel {

// Makes this receiver visible to senders on the local network: one DNS-SD
// service whose instance name carries the endpoint id and whose TXT record
// carries the endpoint information with the device name. Main loop only.
class DiscoveryService final : private ServiceRegistrationDelegate {
 public:
  static constexpr const char* serviceType = "_FC9F5ED42C8A._tcp.";
  static constexpr const char* domain = "local.";

  DiscoveryService();  // registers through the system's avahi-daemon
  explicit DiscoveryService(ServiceRegistrationFactory factory);
  ~DiscoveryService();
  DiscoveryService(const DiscoveryService&) = delete;
  DiscoveryService& operator=(const DiscoveryService&) = delete;

  // Called on the main loop with a sentence for the user each time phones
  // can no longer see this computer, and when they can again after that.
  void setOnStatus(std::function<void(const std::string& sentence)> onStatus);
  // Publishes the service for the listener's port; refused while advertising,
  // so a new port or device name takes effect after a stop. Never throws:
  // failures are logged, show in isAdvertising() and reach the status callback.
  void startAdvertising(std::uint16_t port);
  void stopAdvertising();
  // True from a start until a stop or a reported failure; also while the
  // service waits for the mDNS daemon or the system bus.
  bool isAdvertising() const { return isAdvertising_; }

 private:
  std::string buildServiceName() const;
  static Bytes buildEndpointInfo();
  static std::map<std::string, Bytes> buildTXTRecord();
  static std::string generateEndpointId();

  void serviceDidPublish(ServiceRegistration& service) override;
  void serviceDidNotPublish(ServiceRegistration& service, const ServiceErrorDictionary& errors) override;
  void serviceDidStop(ServiceRegistration& service) override;
  void serviceIsWaiting(ServiceRegistration& service, const ServiceErrorDictionary& why) override;
  void report(const std::string& sentence) const;

  ServiceRegistrationFactory factory_;
  std::function<void(const std::string&)> onStatus_;
  std::unique_ptr<ServiceRegistration> netService_;
  // A stopped service, kept until it reports the stop.
  std::unique_ptr<ServiceRegistration> stoppingService_;
  const std::string endpointId_;
  bool isAdvertising_ = false;
  // Since the last start: the name phones see, whether they saw it, and
  // whether the user was told they cannot now.
  std::string advertisedName_;
  bool wasVisible_ = false;
  bool toldHidden_ = false;
};

}  // namespace orvel
