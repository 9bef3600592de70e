#pragma once

#include <asio/ip/tcp.hpp>
#include <memory>
#include <string>

#include "platform/Connection.h"

namespace orvel {

// A TCP connection over an accepted socket. Socket work runs on a strand of
// its own; everything reported to the owner runs on the queue given to
// start(). After cancel() (or once the object is dropped) no receive or send
// completion is called any more; the state handler reports cancelled once.
class TcpConnection final : public Connection {
 public:
  // Takes over a connected socket whose executor belongs to the worker pool.
  static std::shared_ptr<TcpConnection> adopt(asio::ip::tcp::socket socket);
  ~TcpConnection() override;

  void setStateUpdateHandler(StateUpdateHandler handler) override;
  void start(std::shared_ptr<SerialQueue> queue) override;
  // Completes once at least minimumIncompleteLength bytes (at most
  // maximumLength) arrived, or with what there was when the stream ended.
  // A small receive may read up to 64 KiB ahead; later receives take those
  // bytes first.
  void receive(std::size_t minimumIncompleteLength, std::size_t maximumLength, ReceiveCompletion completion) override;
  // While 256 sends or 1 MiB wait for a peer that does not read, a send fails
  // with no_buffer_space, and so does every later one.
  void send(Bytes content, SendCompletion completion) override;
  void cancel() override;
  void cancelAfterSends(std::chrono::steady_clock::duration linger) override;
  std::string remoteEndpointDescription() const override;
  ReceiveProgress receiveProgress() const override;

 private:
  class Core;
  explicit TcpConnection(std::shared_ptr<Core> core);
  // Pending operations keep the core alive; dropping this handle cancels them.
  std::shared_ptr<Core> core_;
};

// "127.0.0.1:5000" for IPv4 and v4-mapped addresses, "[::1]:5000" for IPv6.
std::string describeEndpoint(const asio::ip::tcp::endpoint& endpoint);

}  // namespace orvel
