#include "platform/TcpListener.h"

#include <asio/bind_executor.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "platform/TcpConnection.h"

namespace orvel {
namespace {

constexpr std::chrono::milliseconds firstRetryDelay{50};
constexpr std::chrono::milliseconds longestRetryDelay{1000};

// Errors that belong to one pending connection: it is gone, the next one may be fine.
bool isConnectionError(const std::error_code& error) {
  if (error.category() != asio::error::get_system_category()) return false;
  switch (error.value()) {
    case ECONNABORTED: case EPROTO: case EPERM: case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN:
    case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH: case ETIMEDOUT: case EINTR:
      return true;
    default:
      return false;
  }
}

// The system is short of a resource: retrying at once would only spin.
bool isResourceShortage(const std::error_code& error) {
  if (error.category() != asio::error::get_system_category()) return false;
  switch (error.value()) {
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
      return true;
    default:
      return false;
  }
}

void openDualStack(asio::ip::tcp::acceptor& acceptor, std::uint16_t port) {
  std::error_code error;
  acceptor.open(asio::ip::tcp::v6(), error);
  if (!error) acceptor.set_option(asio::ip::v6_only(false), error);
  asio::ip::tcp::endpoint endpoint(asio::ip::address_v6::any(), port);
  if (error) {
    std::error_code ignored;
    acceptor.close(ignored);
    acceptor.open(asio::ip::tcp::v4(), error);
    if (error) throw std::system_error(error, "socket");
    endpoint = asio::ip::tcp::endpoint(asio::ip::address_v4::any(), port);
  }
  acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
  if (error) throw std::system_error(error, "setsockopt");
  acceptor.bind(endpoint, error);
  if (error) throw std::system_error(error, "bind");
  acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) throw std::system_error(error, "listen");
}

// A peer gone without a FIN or a reset would otherwise hold its connection,
// and what it was sending, for ever: nothing else asks whether it is there.
// The probe count matters only where the system has no user time-out.
bool watchForVanishedPeer(asio::ip::tcp::socket& socket, const VanishedPeerLimits& limits) {
  const int descriptor = socket.native_handle();
  const int on = 1;
  const int idle = static_cast<int>(limits.idle.count());
  const int interval = static_cast<int>(limits.probeInterval.count());
  const auto probed = std::chrono::duration_cast<std::chrono::seconds>(limits.silence) - limits.idle;
  const int probes = std::max(1, static_cast<int>(probed / limits.probeInterval));
  const auto timeout = static_cast<unsigned>(limits.silence.count());
  return ::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
         ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
         ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
         ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0 &&
         ::setsockopt(descriptor, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout) == 0;
}

}  // namespace

std::shared_ptr<TcpListener> TcpListener::create(std::uint16_t port, WorkerPool& pool, VanishedPeerLimits limits) {
  asio::ip::tcp::acceptor acceptor(pool.context());
  openDualStack(acceptor, port);
  return std::shared_ptr<TcpListener>(new TcpListener(std::move(acceptor), pool, limits));
}

TcpListener::TcpListener(asio::ip::tcp::acceptor acceptor, WorkerPool& pool, VanishedPeerLimits limits)
    : pool_(pool),
      acceptor_(std::move(acceptor)),
      strand_(asio::make_strand(pool.context())),
      retryTimer_(strand_),
      port_(acceptor_.local_endpoint().port()),
      vanishedPeerLimits_(limits),
      retryDelay_(firstRetryDelay) {}

template <class Work>
void TcpListener::onStrand(Work work) {
  asio::post(strand_, [self = shared_from_this(), work = std::move(work)]() mutable { work(*self); });
}

void TcpListener::setStateUpdateHandler(StateUpdateHandler handler) {
  onStrand([handler = std::move(handler)](TcpListener& listener) mutable {
    listener.stateHandler_ = std::move(handler);
  });
}

void TcpListener::setNewConnectionHandler(NewConnectionHandler handler) {
  onStrand([handler = std::move(handler)](TcpListener& listener) mutable {
    listener.connectionHandler_ = std::move(handler);
  });
}

void TcpListener::start(std::shared_ptr<SerialQueue> queue) {
  onStrand([queue = std::move(queue)](TcpListener& listener) mutable {
    if (listener.started_ || listener.closed_) return;
    listener.started_ = true;
    listener.queue_ = std::move(queue);
    listener.reportState(State::ready, {});
    listener.acceptNext();
  });
}

void TcpListener::cancel() {
  cancelled_ = true;
  onStrand([](TcpListener& listener) {
    if (listener.closed_) return;
    listener.closed_ = true;
    std::error_code ignored;
    listener.acceptor_.close(ignored);
    listener.retryTimer_.cancel();
    if (listener.queue_ && listener.stateHandler_) {
      listener.queue_->async([handler = listener.stateHandler_] { handler(State::cancelled, {}); });
    }
  });
}

void TcpListener::deliver(std::function<void()> report) {
  if (!queue_) return;
  queue_->async([self = shared_from_this(), report = std::move(report)] {
    if (!self->cancelled_) report();
  });
}

void TcpListener::reportState(State state, std::error_code error) {
  if (!stateHandler_) return;
  deliver([handler = stateHandler_, state, error] { handler(state, error); });
}

void TcpListener::acceptNext() {
  acceptor_.async_accept(pool_.context(),
                         asio::bind_executor(strand_, [self = shared_from_this()](std::error_code error,
                                                                                  asio::ip::tcp::socket socket) {
                           self->handleAccept(error, std::move(socket));
                         }));
}

void TcpListener::handleAccept(std::error_code error, asio::ip::tcp::socket socket) {
  if (closed_) return;
  if (!error) {
    retryDelay_ = firstRetryDelay;
    if (waiting_) {
      waiting_ = false;
      reportState(State::ready, {});
    }
    // One that cannot be watched could be held for ever: it is closed instead.
    if (connectionHandler_ && watchForVanishedPeer(socket, vanishedPeerLimits_)) {
      std::shared_ptr<Connection> connection = TcpConnection::adopt(std::move(socket));
      deliver([handler = connectionHandler_, connection] { handler(connection); });
    }
    acceptNext();
  } else if (isConnectionError(error)) {
    acceptNext();
  } else if (isResourceShortage(error)) {
    if (!waiting_) {
      waiting_ = true;
      reportState(State::waiting, error);
    }
    retryTimer_.expires_after(retryDelay_);
    retryDelay_ = std::min(retryDelay_ * 2, longestRetryDelay);
    retryTimer_.async_wait([self = shared_from_this()](std::error_code timerError) {
      if (!timerError && !self->closed_) self->acceptNext();
    });
  } else {
    reportState(State::failed, error);
    std::error_code ignored;
    acceptor_.close(ignored);
  }
}

const char* toString(TcpListener::State state) {
  switch (state) {
    case TcpListener::State::setup: return "setup";
    case TcpListener::State::waiting: return "waiting";
    case TcpListener::State::ready: return "ready";
    case TcpListener::State::failed: return "failed";
    case TcpListener::State::cancelled: return "cancelled";
  }
  return "unknown";
}

}  // namespace orvel
