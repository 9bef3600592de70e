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

  // Called on the main loop when advertising fails, with the reason in words for the user.
  void setOnFailure(std::function<void(const std::string& reason)> onFailure);
  // Publishes the service for the listener's port; refused while advertising,
  // so a new port or device name takes effect after a stop. Never throws:
  // failures are logged, show in isAdvertising() and reach the failure callback.
  void startAdvertising(std::uint16_t port);
  void stopAdvertising();
  // True from a start until a stop or a reported failure.
  bool isAdvertising() const { return isAdvertising_; }

 private:
  std::string buildServiceName() const;
  static Bytes buildEndpointInfo();
  static std::map<std::string, Bytes> buildTXTRecord();
  static std::string generateEndpointId();

  void serviceDidPublish(ServiceRegistration& service) override;
  void serviceDidNotPublish(ServiceRegistration& service, const ServiceErrorDictionary& errors) override;
  void serviceDidStop(ServiceRegistration& service) override;

  ServiceRegistrationFactory factory_;
  std::function<void(const std::string&)> onFailure_;
  std::unique_ptr<ServiceRegistration> netService_;
  // A stopped service, kept until it reports the stop.
  std::unique_ptr<ServiceRegistration> stoppingService_;
  const std::string endpointId_;
  bool isAdvertising_ = false;
};

}  // namespace orvel
