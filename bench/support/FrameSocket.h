#pragma once

#include <chrono>
#include <cstdint>

#include <sys/uio.h>

#include "protocol/ByteHelpers.h"

namespace orvel::bench {

// A blocking TCP connection to the receiver on 127.0.0.1, from 127.0.0.1 or
// another loopback address given in host order (0x7f000002: 127.0.0.2, as
// another device would be), that carries length-prefixed frames. Every send and receive gives up after `timeout`
// (std::runtime_error), so a stalled receiver cannot hang the benchmark.
// A peer that reads little: a small receive buffer keeps its receive window
// small, and small segments keep the receiver's send buffer small. Fixed
// before it connects; 0 leaves the system's own.
struct Narrowing {
  int receiveBufferBytes = 0;
  int segmentBytes = 0;
};

class FrameSocket {
 public:
  FrameSocket(std::uint16_t port, std::chrono::seconds timeout, std::uint32_t sourceAddress = 0x7f000001,
              Narrowing narrowing = {});
  ~FrameSocket();
  FrameSocket(FrameSocket&& other) noexcept;
  FrameSocket(const FrameSocket&) = delete;
  FrameSocket& operator=(const FrameSocket&) = delete;
  FrameSocket& operator=(FrameSocket&&) = delete;

  void send(ByteView body);
  // Bytes as they are, for a frame sent in part.
  void sendRaw(ByteView bytes);
  Bytes receive();
  std::uint16_t localPort() const;
  int descriptor() const { return descriptor_; }

 private:
  void readExactly(std::uint8_t* data, std::size_t length);
  void sendParts(iovec* parts, int count);
  int descriptor_ = -1;
};

}  // namespace orvel::bench
