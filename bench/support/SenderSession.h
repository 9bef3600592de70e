#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/BenchFile.h"
#include "support/FrameSocket.h"
#include "support/TestSender.h"

namespace orvel::bench {

// One sending phone on one loopback connection, offering one file.
class SenderSession {
 public:
  SenderSession(std::uint16_t port, std::chrono::seconds timeout, std::string senderName,
                std::uint32_t sourceAddress = 0x7f000001, Narrowing narrowing = {});

  // Connection request, key exchange and paired keys: the encrypted channel
  // is open and the receiver waits for an INTRODUCTION.
  void openChannel();
  // Connection request, key exchange, paired keys and the INTRODUCTION;
  // returns once the receiver has accepted. Throws std::runtime_error.
  void openUntilAccepted(const BenchFile& file);
  // The INTRODUCTION on an open channel; returns once the receiver has accepted.
  void offerUntilAccepted(const BenchFile& file);
  // The encrypted frame of chunk `index`, under its own sequence number. It
  // only reads the keys, so several threads may build frames at once.
  Bytes chunkFrame(const BenchFile& file, std::int64_t index);
  void send(ByteView frame) { socket_.send(frame); }
  void sendRaw(ByteView bytes) { socket_.sendRaw(bytes); }
  std::uint16_t localPort() const { return socket_.localPort(); }
  // Waits for the receiver's answer to the INTRODUCTION: true for ACCEPT, false for REJECT.
  bool awaitAnswer();
  test::TestSender& sender() { return sender_; }
  // Waits for the receiver's notice that every file is written.
  void awaitCompletion();

 private:
  std::vector<Bytes> introduction(const BenchFile& file);
  template <class Predicate>
  test::TestSender::Received receiveUntil(Predicate isWanted, const char* what);

  test::TestSender sender_;
  FrameSocket socket_;
  std::int32_t firstChunkSequenceNumber_ = 0;
};

}  // namespace orvel::bench
