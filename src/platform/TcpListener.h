#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

#include "platform/Connection.h"
#include "platform/SerialQueue.h"
#include "platform/WorkerPool.h"

namespace orvel {

// When the system gives up on a peer that left the network without a word
// (out of range, battery gone, address changed): after `idle` without a
// segment from it, it is probed every `probeInterval`; its connection fails
// with ETIMEDOUT once it has answered nothing for `silence`, or left data
// unacknowledged that long. A phone that is merely slow, or whose user has
// not answered yet, still answers the probes.
//
// Counted from the last segment received, t: a present phone answers a probe
// at least every `idle`, so a phone that leaves is given up at t + `silence`,
// within `silence` of its leaving (120 s). An outage is survived when the last
// probe before that, at t + `silence` - `probeInterval`, is answered; it
// starts before the probe at t + `idle` would be, so any outage shorter than
// `silence` - `idle` - `probeInterval` (105 s) survives, in every phase, also
// when the phone sends nothing of its own. A probe and its answer are two
// empty segments per `idle` of silence. Bytes of ours in flight when the
// outage starts are retried at doubling intervals instead, the last one
// between half of `silence` and all of it.
struct VanishedPeerLimits {
  std::chrono::seconds idle{10};
  std::chrono::seconds probeInterval{5};
  std::chrono::milliseconds silence{120'000};
};

// A listening TCP socket on every local address (IPv6 with v4-mapped
// addresses where the system has IPv6, else IPv4). State updates and new
// connections are delivered on the queue given to start(). Accepting goes on
// until cancel(); running out of descriptors or memory makes it wait (reported
// as `waiting`) and retry after a pause, and `ready` is reported again once a
// connection is accepted.
class TcpListener : public std::enable_shared_from_this<TcpListener> {
 public:
  enum class State { setup, waiting, ready, failed, cancelled };
  // `error` is set for waiting and failed.
  using StateUpdateHandler = std::function<void(State state, std::error_code error)>;
  using NewConnectionHandler = std::function<void(std::shared_ptr<Connection> connection)>;

  // Binds (with local address reuse) and listens on `port`, 0 for one chosen
  // by the system. Throws std::system_error when either fails, e.g. when the
  // port is taken. Each connection accepted fails once its peer vanished, by `limits`.
  static std::shared_ptr<TcpListener> create(std::uint16_t port, WorkerPool& pool = WorkerPool::shared(),
                                             VanishedPeerLimits limits = {});

  // Both before start().
  void setStateUpdateHandler(StateUpdateHandler handler);
  void setNewConnectionHandler(NewConnectionHandler handler);

  void start(std::shared_ptr<SerialQueue> queue);
  // Closes the socket; the state handler then reports cancelled, once, and
  // nothing else is reported after this call.
  void cancel();

  // The port the socket is bound to.
  std::uint16_t port() const { return port_; }

 private:
  TcpListener(asio::ip::tcp::acceptor acceptor, WorkerPool& pool, VanishedPeerLimits limits);

  template <class Work>
  void onStrand(Work work);
  void deliver(std::function<void()> report);
  void reportState(State state, std::error_code error);
  void acceptNext();
  void handleAccept(std::error_code error, asio::ip::tcp::socket socket);

  WorkerPool& pool_;
  asio::ip::tcp::acceptor acceptor_;
  asio::strand<asio::io_context::executor_type> strand_;
  asio::steady_timer retryTimer_;
  const std::uint16_t port_;
  const VanishedPeerLimits vanishedPeerLimits_;
  std::atomic<bool> cancelled_ = false;  // set at once by cancel(), checked on the owner's queue

  // Confined to the strand.
  std::shared_ptr<SerialQueue> queue_;
  StateUpdateHandler stateHandler_;
  NewConnectionHandler connectionHandler_;
  bool started_ = false;
  bool closed_ = false;
  bool waiting_ = false;
  std::chrono::milliseconds retryDelay_;
};

const char* toString(TcpListener::State state);

}  // namespace orvel
