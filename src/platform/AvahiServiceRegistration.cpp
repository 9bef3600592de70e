#include "platform/AvahiServiceRegistration.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <asio/steady_timer.hpp>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/MainLoop.h"

namespace orvel {

struct AvahiServiceRegistration::Event {
  // heard: the first answer of the bus or the daemon, whatever it says.
  enum class Kind { heard, published, waiting, failed, stopped } kind;
  int avahiError = 0;
};

// Runs out when nothing was heard in time: a daemon (or bus) that holds the
// first call up to the D-Bus timeout would otherwise leave the user uninformed.
struct AvahiServiceRegistration::AnswerWatch {
  asio::steady_timer timer;
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

// Retries while the bus or the daemon cannot be reached: 2, 4, 8, ... 60 s apart.
constexpr auto kFirstRetryDelay = std::chrono::seconds(2);
constexpr auto kLongestRetryDelay = std::chrono::seconds(60);
// How long the first call may go unanswered before the user hears of it.
constexpr auto kAnswerLimit = std::chrono::seconds(3);

// The errors of a bus or daemon that is not there or does not answer, as
// opposed to one that answered no.
bool isUnreachable(int avahiError) {
  return avahiError == AVAHI_ERR_NO_DAEMON || avahiError == AVAHI_ERR_DISCONNECTED ||
         avahiError == AVAHI_ERR_TIMEOUT || avahiError == AVAHI_ERR_DBUS_ERROR;
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
    connectAfter(std::chrono::seconds(0));
    if (avahi_threaded_poll_start(poll_) < 0) fail(AVAHI_ERR_FAILURE);
  }

 private:
  // Replaces any connection attempt still to come.
  void connectAfter(std::chrono::seconds delay) {
    const AvahiPoll* api = avahi_threaded_poll_get(poll_);
    cancelRetry();
    timeval when{};
    avahi_elapse_time(&when, static_cast<unsigned>(std::chrono::milliseconds(delay).count()), 0);
    retry_ = api->timeout_new(api, &when, &Publisher::onConnect, this);
  }

  void cancelRetry() {
    if (retry_) avahi_threaded_poll_get(poll_)->timeout_free(std::exchange(retry_, nullptr));
  }

  // The next attempt, each one twice as far off as the last, up to a minute.
  void retryLater() {
    connectAfter(retryDelay_);
    retryDelay_ = std::min<std::chrono::seconds>(retryDelay_ * 2, kLongestRetryDelay);
  }

  // A client that waits for a daemon not there yet and reports when it runs.
  // The one before it, with its entry group, is freed here, outside its own
  // callback.
  static void onConnect(AvahiTimeout*, void* self) {
    auto* publisher = static_cast<Publisher*>(self);
    publisher->cancelRetry();
    if (publisher->finished_) return;
    if (publisher->client_) avahi_client_free(std::exchange(publisher->client_, nullptr));
    publisher->group_ = nullptr;
    int error = 0;
    publisher->client_ = avahi_client_new(avahi_threaded_poll_get(publisher->poll_), AVAHI_CLIENT_NO_FAIL,
                                          &Publisher::onClientState, publisher, &error);
    if (!publisher->client_) publisher->lose(error);
  }

  // Also called from inside avahi_client_new, before client_ is set.
  static void onClientState(AvahiClient* client, AvahiClientState state, void* self) {
    auto* publisher = static_cast<Publisher*>(self);
    publisher->heard();
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        publisher->cancelRetry();
        publisher->addService(client);
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The daemon is renaming its host: withdraw, and add again once it runs.
        if (publisher->group_) avahi_entry_group_reset(publisher->group_);
        break;
      case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) != AVAHI_ERR_DISCONNECTED) return publisher->lose(avahi_client_errno(client));
        // The daemon or the bus went away, and the entry group with it: wait
        // for the daemon with a new client, at once, as a restart comes back soon.
        publisher->group_ = nullptr;
        publisher->wait(AVAHI_ERR_DISCONNECTED);
        publisher->connectAfter(std::chrono::seconds(0));
        break;
      case AVAHI_CLIENT_CONNECTING:
        // The client hears when the daemon takes its name on the bus, but not
        // when a daemon that holds it and did not answer does so later.
        publisher->wait(AVAHI_ERR_NO_DAEMON);
        publisher->retryLater();
        break;
    }
  }

  static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
    auto* publisher = static_cast<Publisher*>(self);
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        publisher->retryDelay_ = kFirstRetryDelay;
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
        if (error != AVAHI_ERR_DISCONNECTED) publisher->lose(error);
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
    if (error < 0) lose(error);
  }

  // A bus or daemon out of reach is waited for; any other error is final.
  void lose(int avahiError) {
    if (!isUnreachable(avahiError)) return fail(avahiError);
    wait(avahiError);
    if (!finished_) retryLater();
  }

  void heard() {
    if (!heard_) post({Event::Kind::heard});
    heard_ = true;
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
  AvahiTimeout* retry_ = nullptr;  // the next connection attempt
  std::chrono::seconds retryDelay_ = kFirstRetryDelay;
  std::shared_ptr<Link> link_;
  bool heard_ = false;
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

  bool waitUntilDone(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, limit, [this] { return queue_.empty() && !freeing_; });
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
      freeing_ = true;
      lock.unlock();
      publisher.reset();
      lock.lock();
      freeing_ = false;
      if (queue_.empty()) done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  std::deque<std::shared_ptr<AvahiServiceRegistration::Publisher>> queue_;
  bool freeing_ = false;
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
  if (code != why.end() && code->second == AVAHI_ERR_TIMEOUT) {
    return "the mDNS daemon (avahi-daemon) does not answer; waiting for it";
  }
  return "waiting for the mDNS daemon (avahi-daemon) to start";
}

bool AvahiServiceRegistration::waitForEndedClients(std::chrono::milliseconds limit) {
  return Teardown::shared().waitUntilDone(limit);
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
  answerWatch_.reset(new AnswerWatch{asio::steady_timer(MainLoop::shared().context(), kAnswerLimit)});
  answerWatch_->timer.async_wait([link = link_](std::error_code error) {
    if (!error && link->owner) link->owner->noAnswerInTime();
  });
  publisher_->start(link_);
}

void AvahiServiceRegistration::noAnswerInTime() {
  if (state_ == State::publishing && answerWatch_) deliver({Event::Kind::waiting, AVAHI_ERR_TIMEOUT});
}

void AvahiServiceRegistration::stop() {
  if (state_ != State::publishing) return;
  state_ = State::stopped;
  answerWatch_.reset();
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
  // Anything from the client thread means it is no longer stuck in its first call.
  if (event.kind != Event::Kind::stopped) answerWatch_.reset();
  switch (event.kind) {
    case Event::Kind::heard:
      break;
    case Event::Kind::published:
      toldWaiting_ = false;
      if (state_ == State::publishing && delegate_) delegate_->serviceDidPublish(*this);
      break;
    case Event::Kind::waiting:
      // Once until visible again, whether the client thread or the watch said it.
      if (toldWaiting_) break;
      toldWaiting_ = true;
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
