#pragma once

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/StrandQueue.h"
#include "platform/TcpListener.h"

namespace orvel::test {

// Values reported from other threads, with a bounded wait for them.
template <class T>
class Recorder {
 public:
  void add(T value) {
    // Notified under the lock: the waiter may destroy the recorder as soon as it sees the value.
    std::lock_guard lock(mutex_);
    values_.push_back(std::move(value));
    changed_.notify_all();
  }
  void clear() {
    std::lock_guard lock(mutex_);
    values_.clear();
  }
  std::vector<T> values() const {
    std::lock_guard lock(mutex_);
    return values_;
  }
  // Waits until at least `count` values arrived; false after a generous time.
  bool waitForCount(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return waitUntil([&](const std::vector<T>& values) { return values.size() >= count; }, timeout);
  }
  bool waitUntil(const std::function<bool(const std::vector<T>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(values_); });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<T> values_;
};

// A blocking peer for the sockets under test; talks only to loopback.
class LoopbackClient {
 public:
  explicit LoopbackClient(std::uint16_t port, const asio::ip::address& address = asio::ip::address_v4::loopback())
      : socket_(context_) {
    socket_.connect(asio::ip::tcp::endpoint(address, port));
  }
  // A peer that reads nothing: the smallest receive buffer the system allows,
  // so that what it leaves unread soon fills it.
  struct NotReading {
    asio::ip::address source = asio::ip::address_v4::loopback();
  };
  LoopbackClient(std::uint16_t port, NotReading notReading) : socket_(context_) {
    socket_.open(asio::ip::tcp::v4());
    socket_.set_option(asio::socket_base::receive_buffer_size(1));
    socket_.bind(asio::ip::tcp::endpoint(notReading.source, 0));
    socket_.connect(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port));
  }
  // One from another loopback address (127.0.0.2 and on), as another device's would be.
  struct From {
    asio::ip::address source;
  };
  LoopbackClient(std::uint16_t port, From from) : socket_(context_) {
    socket_.open(asio::ip::tcp::v4());
    socket_.bind(asio::ip::tcp::endpoint(from.source, 0));
    socket_.connect(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port));
  }
  asio::ip::tcp::socket& socket() { return socket_; }

 private:
  asio::io_context context_;
  asio::ip::tcp::socket socket_;
};

// The descriptor of the accepted end of `client`'s connection, a socket of
// this process, once it is accepted; -1 if it is not within a generous while.
inline int acceptedEndOf(asio::ip::tcp::socket& client) {
  const auto wanted = std::make_pair(client.remote_endpoint().port(), client.local_endpoint().port());
  auto portOf = [](const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                                               : reinterpret_cast<const sockaddr_in&>(address).sin_port);
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      int descriptor = std::stoi(entry.path().filename().string());
      sockaddr_storage local{}, peer{};
      socklen_t localSize = sizeof local, peerSize = sizeof peer;
      if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &localSize) == 0 &&
          ::getpeername(descriptor, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0 &&
          std::make_pair(portOf(local), portOf(peer)) == wanted) {
        return descriptor;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return -1;
}

// Gives the accepted end of `client`'s connection the smallest send buffer
// the system allows (which also stops the system from growing it), so that a
// peer that reads nothing soon leaves sends waiting in the connection. Waits
// until the socket is accepted.
inline bool shrinkSendBufferOfAcceptedEnd(asio::ip::tcp::socket& client) {
  int descriptor = acceptedEndOf(client);
  int smallest = 1;
  return descriptor >= 0 && ::setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest) == 0;
}

// A listener on a system-chosen port whose new connections are recorded.
struct RecordingListener {
  std::shared_ptr<StrandQueue> queue = StrandQueue::create("test.listener");
  std::shared_ptr<TcpListener> listener = TcpListener::create(0);
  Recorder<std::pair<TcpListener::State, std::error_code>> states;
  Recorder<std::shared_ptr<Connection>> connections;

  RecordingListener() { record(); }
  explicit RecordingListener(std::shared_ptr<TcpListener> given) : listener(std::move(given)) { record(); }
  void record() {
    listener->setStateUpdateHandler([this](TcpListener::State state, std::error_code error) {
      states.add({state, error});
    });
    listener->setNewConnectionHandler([this](std::shared_ptr<Connection> connection) {
      connections.add(std::move(connection));
    });
    listener->start(queue);
  }
  // The handlers point at this object: it lives until the cancelled report ran.
  ~RecordingListener() {
    listener->cancel();
    waitFor(TcpListener::State::cancelled, 1);
  }
  bool waitFor(TcpListener::State state, std::size_t count) const {
    return states.waitUntil([&](const auto& values) { return countOf(values, state) >= count; });
  }
  std::size_t countOf(TcpListener::State state) const { return countOf(states.values(), state); }
  static std::size_t countOf(const std::vector<std::pair<TcpListener::State, std::error_code>>& values,
                             TcpListener::State state) {
    std::size_t count = 0;
    for (auto& [reported, error] : values) count += reported == state;
    return count;
  }
};

}  // namespace orvel::test
