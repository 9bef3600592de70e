#include "support/FrameSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace orvel::bench {
namespace {

constexpr std::uint32_t kLongestFrame = 4'999'999;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

FrameSocket::FrameSocket(std::uint16_t port, std::chrono::seconds timeout, std::uint32_t sourceAddress,
                         Narrowing narrowing) {
  descriptor_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (descriptor_ < 0) fail("socket");
  timeval limit{static_cast<time_t>(timeout.count()), 0};
  ::setsockopt(descriptor_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(descriptor_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  int on = 1;
  ::setsockopt(descriptor_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (narrowing.receiveBufferBytes > 0) {
    ::setsockopt(descriptor_, SOL_SOCKET, SO_RCVBUF, &narrowing.receiveBufferBytes,
                 sizeof narrowing.receiveBufferBytes);
  }
  if (narrowing.segmentBytes > 0) {
    ::setsockopt(descriptor_, IPPROTO_TCP, TCP_MAXSEG, &narrowing.segmentBytes, sizeof narrowing.segmentBytes);
  }
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl(sourceAddress);
  if (sourceAddress != INADDR_LOOPBACK && ::bind(descriptor_, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
    int error = errno;
    ::close(descriptor_);
    errno = error;
    fail("bind");
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    ::close(descriptor_);
    errno = error;
    fail("connect to 127.0.0.1:" + std::to_string(port));
  }
}

FrameSocket::~FrameSocket() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

FrameSocket::FrameSocket(FrameSocket&& other) noexcept : descriptor_(other.descriptor_) { other.descriptor_ = -1; }

// The prefix and the body leave in one call, without joining them first.
void FrameSocket::send(ByteView body) {
  auto prefix = bigEndian32(static_cast<std::uint32_t>(body.size()));
  iovec parts[2] = {{prefix.data(), prefix.size()}, {const_cast<std::uint8_t*>(body.data()), body.size()}};
  sendParts(parts, 2);
}

void FrameSocket::sendRaw(ByteView bytes) {
  iovec part{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
  sendParts(&part, 1);
}

void FrameSocket::sendParts(iovec* part, int count) {
  std::size_t remaining = 0;
  for (int i = 0; i < count; ++i) remaining += part[i].iov_len;
  while (remaining > 0) {
    ssize_t sent = ::writev(descriptor_, part, count);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) fail("send");
    remaining -= static_cast<std::size_t>(sent);
    auto done = static_cast<std::size_t>(sent);
    while (count > 0 && done >= part->iov_len) {
      done -= part->iov_len;
      ++part;
      --count;
    }
    if (count > 0) {
      part->iov_base = static_cast<std::uint8_t*>(part->iov_base) + done;
      part->iov_len -= done;
    }
  }
}

Bytes FrameSocket::receive() {
  std::uint8_t prefix[4];
  readExactly(prefix, sizeof prefix);
  const std::uint32_t length = fromBigEndian32(prefix);
  if (length == 0 || length > kLongestFrame) throw std::runtime_error("receiver sent a frame of bad length");
  Bytes body(length);
  readExactly(body.data(), body.size());
  return body;
}

std::uint16_t FrameSocket::localPort() const {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (::getsockname(descriptor_, reinterpret_cast<sockaddr*>(&local), &size) != 0) fail("getsockname");
  return ntohs(local.sin_port);
}

void FrameSocket::readExactly(std::uint8_t* data, std::size_t length) {
  while (length > 0) {
    ssize_t got = ::recv(descriptor_, data, length, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) throw std::runtime_error("receiver closed the connection");
    if (got < 0) fail("receive");
    data += got;
    length -= static_cast<std::size_t>(got);
  }
}

}  // namespace orvel::bench
