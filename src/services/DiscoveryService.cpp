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

void DiscoveryService::setOnFailure(std::function<void(const std::string& reason)> onFailure) {
  onFailure_ = std::move(onFailure);
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
    if (onFailure_) onFailure_("the mDNS service could not be set up");
    return;
  }
  netService_->setTXTRecordData(TxtRecord::data(txtRecord));
  netService_->setDelegate(this);
  netService_->publish();
  isAdvertising_ = true;
  Log::write("[DiscoveryService] Started advertising as '" + DeviceName::current() + "' on port " +
             std::to_string(port));
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
}

void DiscoveryService::serviceDidNotPublish(ServiceRegistration&, const ServiceErrorDictionary& errors) {
  Log::write("[DiscoveryService] Failed to publish mDNS service: " + describe(errors));
  isAdvertising_ = false;
  if (onFailure_) onFailure_(AvahiServiceRegistration::failureReason(errors));
}

// Only a service stopped through stopAdvertising() reports a stop, so the
// state is already "not advertising" and may by now belong to a newer service.
void DiscoveryService::serviceDidStop(ServiceRegistration& service) {
  Log::write("[DiscoveryService] mDNS service stopped");
  if (&service == stoppingService_.get()) stoppingService_.reset();
}

}  // namespace orvel
