#include "services/DiscoveryService.h"

#include <random>

#include "platform/AvahiServiceRegistration.h"
#include "platform/Log.h"
#include "platform/TxtRecord.h"
#include "services/AdvertisementFormat.h"
#include "services/DeviceName.h"

namespace orvel {

DiscoveryService::DiscoveryService() : DiscoveryService(&AvahiServiceRegistration::create) {}

DiscoveryService::DiscoveryService(ServiceRegistrationFactory factory)
    : factory_(std::move(factory)), endpointId_(generateEndpointId()) {}

DiscoveryService::~DiscoveryService() = default;

void DiscoveryService::setOnStatus(std::function<void(const std::string& sentence)> onStatus) {
  onStatus_ = std::move(onStatus);
}

void DiscoveryService::report(const std::string& sentence) const {
  if (onStatus_) onStatus_(sentence);
}

std::string DiscoveryService::generateEndpointId() {
  static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device generator;
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string id;
  for (int i = 0; i < 4; ++i) id += alphabet[pick(generator)];
  return id;
}

std::string DiscoveryService::buildServiceName() const { return AdvertisementFormat::serviceName(endpointId_); }

Bytes DiscoveryService::buildEndpointInfo() {
  return AdvertisementFormat::endpointInfo(Data::random(AdvertisementFormat::randomByteCount), DeviceName::current());
}

std::map<std::string, Bytes> DiscoveryService::buildTXTRecord() {
  auto value = AdvertisementFormat::urlSafeBase64(buildEndpointInfo());
  return {{"n", Bytes(value.begin(), value.end())}};
}

void DiscoveryService::startAdvertising(std::uint16_t port) {
  if (isAdvertising_) {
    Log::write("[DiscoveryService] Already advertising");
    return;
  }
  const auto name = buildServiceName();
  const auto txtRecord = buildTXTRecord();
  Log::write("[DiscoveryService] Service name: " + name);
  Log::write(std::string("[DiscoveryService] Service type: ") + serviceType);
  Log::write("[DiscoveryService] Port: " + std::to_string(port));

  netService_ = factory_(domain, serviceType, name, port);
  if (!netService_) {
    Log::write("[DiscoveryService] Failed to create NetService");
    report("Advertising failed, so phones will not see this computer: the mDNS service could not be set up.");
    return;
  }
  netService_->setTXTRecordData(TxtRecord::data(txtRecord));
  netService_->setDelegate(this);
  netService_->publish();
  isAdvertising_ = true;
  advertisedName_ = DeviceName::current();
  wasVisible_ = toldHidden_ = false;
  Log::write("[DiscoveryService] Started advertising as '" + advertisedName_ + "' on port " + std::to_string(port));
}

void DiscoveryService::stopAdvertising() {
  if (!isAdvertising_) return;
  netService_->stop();
  stoppingService_ = std::move(netService_);
  isAdvertising_ = false;
  Log::write("[DiscoveryService] Stopped advertising");
}

void DiscoveryService::serviceDidPublish(ServiceRegistration&) {
  Log::write("[DiscoveryService] mDNS service published successfully");
  if (toldHidden_) {
    report("Phones can see this computer " + std::string(wasVisible_ ? "again" : "now") + " as '" + advertisedName_ +
           "'.");
  }
  wasVisible_ = true;
  toldHidden_ = false;
}

void DiscoveryService::serviceDidNotPublish(ServiceRegistration&, const ServiceErrorDictionary& errors) {
  Log::write("[DiscoveryService] Failed to publish mDNS service: " + describe(errors));
  isAdvertising_ = false;
  report("Advertising failed, so phones will not see this computer: " +
         AvahiServiceRegistration::failureReason(errors) + ".");
}

// Still advertising: the registration publishes the service again by itself.
void DiscoveryService::serviceIsWaiting(ServiceRegistration&, const ServiceErrorDictionary& why) {
  const auto reason = AvahiServiceRegistration::waitingReason(why);
  Log::write("[DiscoveryService] mDNS service not visible: " + reason);
  toldHidden_ = true;
  report(std::string(wasVisible_ ? "Phones cannot see this computer: " : "Phones cannot see this computer yet: ") +
         reason + ".");
}

// Only a service stopped through stopAdvertising() reports a stop, so the
// state is already "not advertising" and may by now belong to a newer service.
void DiscoveryService::serviceDidStop(ServiceRegistration& service) {
  Log::write("[DiscoveryService] mDNS service stopped");
  if (&service == stoppingService_.get()) stoppingService_.reset();
}

}  // namespace orvel
