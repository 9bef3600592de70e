#include "platform/AvahiServiceRegistration.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/MainLoop.h"

namespace orvel {

struct AvahiServiceRegistration::Event {
  enum class Kind { published, waiting, failed, stopped } kind;
  int avahiError = 0;
};

// The registration as the main loop sees it; cleared when the registration
// goes, so that events still queued for it are dropped. Main loop only.
struct AvahiServiceRegistration::Link {
  AvahiServiceRegistration* owner = nullptr;
};

namespace {

// Avahi writes names without the final dot that DNS-SD callers may give.
std::string withoutFinalDot(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

}  // namespace

// Owns the Avahi objects. Everything but construction and destruction runs on
// the client thread, under the threaded poll's lock.
class AvahiServiceRegistration::Publisher {
 public:
  Publisher(std::string domain, std::string type, std::string name, std::uint16_t port, AvahiThreadedPoll* poll)
      : domain_(std::move(domain)), type_(std::move(type)), name_(std::move(name)), port_(port), poll_(poll) {}

  // Stops the client thread (it may be inside a call to the daemon) and frees
  // everything: never on the main loop, see Teardown.
  ~Publisher() {
    avahi_threaded_poll_stop(poll_);
    if (client_) avahi_client_free(client_);  // frees the entry group too
    avahi_threaded_poll_free(poll_);
    avahi_string_list_free(txt_);
  }

  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  bool setTxt(const Bytes& data) {
    AvahiStringList* parsed = nullptr;
    if (avahi_string_list_parse(data.data(), data.size(), &parsed) < 0) return false;
    avahi_string_list_free(txt_);
    txt_ = parsed;
    return true;
  }

  // Called once, before the thread runs: the client is made on that thread,
  // since connecting to the daemon may take a while.
  void start(std::shared_ptr<Link> link) {
    link_ = std::move(link);
    connectSoon();
    if (avahi_threaded_poll_start(poll_) < 0) fail(AVAHI_ERR_FAILURE);
  }

 private:
  void connectSoon() {
    const AvahiPoll* api = avahi_threaded_poll_get(poll_);
    timeval now{};
    avahi_elapse_time(&now, 0, 0);
    api->timeout_new(api, &now, &Publisher::onConnect, this);
  }

  // A client that waits for a daemon not there yet and reports when it runs;
  // it fails only without a system bus, or when its daemon goes away. The one
  // that lost its daemon, with its entry group, is freed here, outside its own
  // callback.
  static void onConnect(AvahiTimeout* timeout, void* self) {
    auto* publisher = static_cast<Publisher*>(self);
    avahi_threaded_poll_get(publisher->poll_)->timeout_free(timeout);
    if (publisher->client_) avahi_client_free(publisher->client_);
    int error = 0;
    publisher->client_ = avahi_client_new(avahi_threaded_poll_get(publisher->poll_), AVAHI_CLIENT_NO_FAIL,
                                          &Publisher::onClientState, publisher, &error);
    if (!publisher->client_) publisher->fail(error);
  }

  // Also called from inside avahi_client_new, before client_ is set.
  static void onClientState(AvahiClient* client, AvahiClientState state, void* self) {
    auto* publisher = static_cast<Publisher*>(self);
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        publisher->addService(client);
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The daemon is renaming its host: withdraw, and add again once it runs.
        if (publisher->group_) avahi_entry_group_reset(publisher->group_);
        break;
      case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) != AVAHI_ERR_DISCONNECTED) return publisher->fail(avahi_client_errno(client));
        // The daemon went away, and its entry group with it: wait for it with a new client.
        publisher->group_ = nullptr;
        publisher->wait(AVAHI_ERR_DISCONNECTED);
        publisher->connectSoon();
        break;
      case AVAHI_CLIENT_CONNECTING:
        publisher->wait(AVAHI_ERR_NO_DAEMON);
        break;
    }
  }

  static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    auto* publisher = static_cast<Publisher*>(self);
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        if (!publisher->finished_ && !publisher->visible_) {
          publisher->visible_ = true;
          publisher->waiting_ = false;
          publisher->post({Event::Kind::published});
        }
        break;
      case AVAHI_ENTRY_GROUP_COLLISION:
        // Renaming would change the name that carries the endpoint id: report it.
        publisher->fail(AVAHI_ERR_COLLISION);
        break;
      case AVAHI_ENTRY_GROUP_FAILURE: {
        // A daemon that went away is the client's to report, and to wait for.
        const int error = avahi_client_errno(avahi_entry_group_get_client(group));
        if (error != AVAHI_ERR_DISCONNECTED) publisher->fail(error);
        break;
      }
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
  }

  void addService(AvahiClient* client) {
    if (finished_) return;
    if (!group_) {
      group_ = avahi_entry_group_new(client, &Publisher::onGroupState, this);
      if (!group_) return fail(avahi_client_errno(client));
    }
    if (!avahi_entry_group_is_empty(group_)) return;
    int error = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                    name_.c_str(), type_.c_str(), domain_.c_str(), nullptr, port_,
                                                    txt_);
    if (error >= 0) error = avahi_entry_group_commit(group_);
    if (error < 0) fail(error);
  }

  // Reported once until the service is visible again.
  void wait(int avahiError) {
    if (finished_ || waiting_) return;
    waiting_ = true;
    visible_ = false;
    post({Event::Kind::waiting, avahiError});
  }

  // The first failure ends the publication; later ones say nothing new.
  void fail(int avahiError) {
    if (finished_) return;
    finished_ = true;
    post({Event::Kind::failed, avahiError});
  }

  void post(Event event) {
    MainLoop::shared().async([link = link_, event] {
      if (link->owner) link->owner->deliver(event);
    });
  }

  const std::string domain_, type_, name_;
  const std::uint16_t port_;
  AvahiThreadedPoll* const poll_;
  AvahiStringList* txt_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  std::shared_ptr<Link> link_;
  bool visible_ = false;
  bool waiting_ = false;
  bool finished_ = false;
};

namespace {

// Frees publishers off the main loop, one after another: stopping a client
// thread waits for its current call to the daemon, which a stalled daemon can
// hold up to the D-Bus timeout. Joined at exit.
class Teardown {
 public:
  static Teardown& shared() {
    static Teardown teardown;
    return teardown;
  }

  void add(std::shared_ptr<AvahiServiceRegistration::Publisher> publisher) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(publisher));
    if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
    wake_.notify_one();
  }

  ~Teardown() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
      wake_.notify_one();
    }
    if (worker_.joinable()) worker_.join();
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) return;
      auto publisher = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      publisher.reset();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<AvahiServiceRegistration::Publisher>> queue_;
  bool closing_ = false;
  std::thread worker_;
};

}  // namespace

std::unique_ptr<ServiceRegistration> AvahiServiceRegistration::create(const std::string& domain,
                                                                      const std::string& type,
                                                                      const std::string& name, std::uint16_t port) {
  auto avahiDomain = withoutFinalDot(domain);
  auto avahiType = withoutFinalDot(type);
  if (!avahi_is_valid_domain_name(avahiDomain.c_str()) || !avahi_is_valid_service_type_strict(avahiType.c_str()) ||
      !avahi_is_valid_service_name(name.c_str())) {
    return nullptr;
  }
  AvahiThreadedPoll* poll = avahi_threaded_poll_new();
  if (!poll) return nullptr;
  auto publisher = std::make_shared<Publisher>(std::move(avahiDomain), std::move(avahiType), name, port, poll);
  return std::unique_ptr<ServiceRegistration>(new AvahiServiceRegistration(std::move(publisher)));
}

std::string AvahiServiceRegistration::failureReason(const ServiceErrorDictionary& errors) {
  auto code = errors.find("AvahiErrorCode");
  if (code == errors.end()) return "unknown error " + describe(errors);
  switch (code->second) {
    case AVAHI_ERR_COLLISION: return "another service on the network already has its name";
    case AVAHI_ERR_NO_DAEMON:
    case AVAHI_ERR_DBUS_ERROR:
    case AVAHI_ERR_DISCONNECTED:
      return "no mDNS daemon is reachable (the avahi-daemon package must be installed and its service running)";
    default: return avahi_strerror(static_cast<int>(code->second));
  }
}

std::string AvahiServiceRegistration::waitingReason(const ServiceErrorDictionary& why) {
  auto code = why.find("AvahiErrorCode");
  if (code != why.end() && code->second == AVAHI_ERR_DISCONNECTED) {
    return "the mDNS daemon stopped; waiting for it to come back";
  }
  return "waiting for the mDNS daemon (avahi-daemon) to start";
}

AvahiServiceRegistration::AvahiServiceRegistration(std::shared_ptr<Publisher> publisher)
    : link_(std::make_shared<Link>(Link{this})), publisher_(std::move(publisher)) {}

AvahiServiceRegistration::~AvahiServiceRegistration() {
  link_->owner = nullptr;
  retirePublisher();
}

bool AvahiServiceRegistration::setTXTRecordData(const Bytes& data) {
  return state_ == State::idle && publisher_->setTxt(data);
}

void AvahiServiceRegistration::setDelegate(ServiceRegistrationDelegate* delegate) { delegate_ = delegate; }

void AvahiServiceRegistration::publish() {
  if (state_ != State::idle) return;
  state_ = State::publishing;
  publisher_->start(link_);
}

void AvahiServiceRegistration::stop() {
  if (state_ != State::publishing) return;
  state_ = State::stopped;
  retirePublisher();
  MainLoop::shared().async([link = link_] {
    if (link->owner) link->owner->deliver({Event::Kind::stopped});
  });
}

void AvahiServiceRegistration::retirePublisher() {
  if (publisher_) Teardown::shared().add(std::move(publisher_));
}

// The delegate call comes last: it may destroy this registration.
void AvahiServiceRegistration::deliver(const Event& event) {
  switch (event.kind) {
    case Event::Kind::published:
      if (state_ == State::publishing && delegate_) delegate_->serviceDidPublish(*this);
      break;
    case Event::Kind::waiting:
      if (state_ == State::publishing && delegate_) {
        delegate_->serviceIsWaiting(*this, {{"AvahiErrorCode", event.avahiError}});
      }
      break;
    case Event::Kind::failed:
      if (state_ != State::publishing) return;
      state_ = State::failed;
      retirePublisher();
      if (delegate_) delegate_->serviceDidNotPublish(*this, {{"AvahiErrorCode", event.avahiError}});
      break;
    case Event::Kind::stopped:
      if (delegate_) delegate_->serviceDidStop(*this);
      break;
  }
}

}  // namespace orvel
