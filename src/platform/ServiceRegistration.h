#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "protocol/ByteHelpers.h"

namespace orvel {

// Why a publication failed: string keys, number values.
using ServiceErrorDictionary = std::map<std::string, std::int64_t>;

// The dictionary as the log shows it: ["key": value, ...], keys in order.
std::string describe(const ServiceErrorDictionary& errors);

class ServiceRegistration;

// Hears how a publication went. Calls arrive on the main loop, never inside a
// call into the registration, and never after the registration is destroyed.
class ServiceRegistrationDelegate {
 public:
  // Each time the service becomes visible, the first time and after a wait.
  virtual void serviceDidPublish(ServiceRegistration& service) = 0;
  // Ends the publication: nothing follows but a stop.
  virtual void serviceDidNotPublish(ServiceRegistration& service, const ServiceErrorDictionary& errors) = 0;
  // Not visible for now (no mDNS daemon or bus yet, gone away, or not
  // answering); the service is published again by itself once they run, and
  // serviceDidPublish follows.
  virtual void serviceIsWaiting(ServiceRegistration& service, const ServiceErrorDictionary& why) = 0;
  // After stop(); the delegate may destroy the registration from here.
  virtual void serviceDidStop(ServiceRegistration& service) = 0;

 protected:
  ~ServiceRegistrationDelegate() = default;
};

// One DNS-SD service (type, instance name, domain, port, TXT record) published
// on the local network. Used on the main loop only; each object publishes once.
class ServiceRegistration {
 public:
  virtual ~ServiceRegistration() = default;

  // `data` in TXT record wire form (length-prefixed strings); false, and
  // nothing changed, when it is not. Set before publish().
  virtual bool setTXTRecordData(const Bytes& data) = 0;
  virtual void setDelegate(ServiceRegistrationDelegate* delegate) = 0;
  // Returns at once; the outcome comes through the delegate.
  virtual void publish() = 0;
  // Withdraws the service without waiting for the network; reports serviceDidStop.
  virtual void stop() = 0;
};

// Makes a registration for (domain, type, instance name, port); nothing when
// the platform cannot make one.
using ServiceRegistrationFactory = std::function<std::unique_ptr<ServiceRegistration>(
    const std::string& domain, const std::string& type, const std::string& name, std::uint16_t port)>;

}  // namespace orvel
