#pragma once

#include <chrono>
#include <cstdint>

#include "protocol/ByteHelpers.h"

namespace orvel::bench {

// A blocking TCP connection to the receiver on 127.0.0.1 that carries
// length-prefixed frames. Every send and receive gives up after `timeout`
// (std::runtime_error), so a stalled receiver cannot hang the benchmark.
class FrameSocket {
 public:
  FrameSocket(std::uint16_t port, std::chrono::seconds timeout);
  ~FrameSocket();
  FrameSocket(FrameSocket&& other) noexcept;
  FrameSocket(const FrameSocket&) = delete;
  FrameSocket& operator=(const FrameSocket&) = delete;
  FrameSocket& operator=(FrameSocket&&) = delete;

  void send(ByteView body);
  Bytes receive();

 private:
  void readExactly(std::uint8_t* data, std::size_t length);
  int descriptor_ = -1;
};

}  // namespace orvel::bench
