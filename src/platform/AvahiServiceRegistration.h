#pragma once

#include <chrono>
#include <memory>

#include "platform/ServiceRegistration.h"

namespace orvel {

// A ServiceRegistration served by the system's avahi-daemon (over D-Bus,
// through libavahi-client). The client runs on a thread of its own; every
// outcome is handed to the main loop. A daemon or system bus not there yet,
// gone away or not answering (nothing heard within 3 s of publish()):
// serviceIsWaiting, once until visible again, and the same service is
// published again once both run; a daemon that comes back is seen at once,
// a bus, or a daemon that did not answer, at the next try (2, 4, 8 ... 60 s
// apart). A name collision or any other error: serviceDidNotPublish. Both
// with {"AvahiErrorCode": code}.
class AvahiServiceRegistration final : public ServiceRegistration {
 public:
  // Nothing when the names are no valid DNS-SD names or no client thread can be made.
  static std::unique_ptr<ServiceRegistration> create(const std::string& domain, const std::string& type,
                                                     const std::string& name, std::uint16_t port);
  // Why a publication failed, in words for the user.
  static std::string failureReason(const ServiceErrorDictionary& errors);
  // Why the service is not visible for now, in words for the user.
  static std::string waitingReason(const ServiceErrorDictionary& why);
  // At exit: waits at most `limit` for the clients of stopped or destroyed
  // registrations to end. False when one is still in a call to a daemon that
  // does not answer (up to the D-Bus timeout of 25 s): only ending the process
  // without destroying the statics then gets past it.
  static bool waitForEndedClients(std::chrono::milliseconds limit);
  ~AvahiServiceRegistration() override;

  bool setTXTRecordData(const Bytes& data) override;
  void setDelegate(ServiceRegistrationDelegate* delegate) override;
  void publish() override;
  void stop() override;

  class Publisher;  // the part that lives on the client thread
  struct Event;

 private:
  struct Link;
  struct AnswerWatch;
  enum class State { idle, publishing, failed, stopped };

  explicit AvahiServiceRegistration(std::shared_ptr<Publisher> publisher);
  void deliver(const Event& event);
  void noAnswerInTime();
  void retirePublisher();

  std::shared_ptr<Link> link_;
  std::shared_ptr<Publisher> publisher_;
  // Until the client thread is first heard from.
  std::unique_ptr<AnswerWatch> answerWatch_;
  ServiceRegistrationDelegate* delegate_ = nullptr;
  State state_ = State::idle;
  bool toldWaiting_ = false;
};

}  // namespace orvel
