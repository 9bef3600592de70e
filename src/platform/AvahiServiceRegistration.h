#pragma once

#include <memory>

#include "platform/ServiceRegistration.h"

namespace orvel {

// A ServiceRegistration served by the system's avahi-daemon (over D-Bus,
// through libavahi-client). The client runs on a thread of its own; every
// outcome is handed to the main loop. A daemon not there yet or gone away:
// serviceIsWaiting, and the same service is published again once it runs.
// A name collision, no system bus: serviceDidNotPublish. Both with
// {"AvahiErrorCode": code}.
class AvahiServiceRegistration final : public ServiceRegistration {
 public:
  // Nothing when the names are no valid DNS-SD names or no client thread can be made.
  static std::unique_ptr<ServiceRegistration> create(const std::string& domain, const std::string& type,
                                                     const std::string& name, std::uint16_t port);
  // Why a publication failed, in words for the user.
  static std::string failureReason(const ServiceErrorDictionary& errors);
  // Why the service is not visible for now, in words for the user.
  static std::string waitingReason(const ServiceErrorDictionary& why);
  ~AvahiServiceRegistration() override;

  bool setTXTRecordData(const Bytes& data) override;
  void setDelegate(ServiceRegistrationDelegate* delegate) override;
  void publish() override;
  void stop() override;

  class Publisher;  // the part that lives on the client thread
  struct Event;

 private:
  struct Link;
  enum class State { idle, publishing, failed, stopped };

  explicit AvahiServiceRegistration(std::shared_ptr<Publisher> publisher);
  void deliver(const Event& event);
  void retirePublisher();

  std::shared_ptr<Link> link_;
  std::shared_ptr<Publisher> publisher_;
  ServiceRegistrationDelegate* delegate_ = nullptr;
  State state_ = State::idle;
};

}  // namespace orvel
