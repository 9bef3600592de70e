#include "platform/TcpConnection.h"

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "platform/LoopbackSupport.h"
#include "support/TestSupport.h"

namespace orvel {
namespace {

using test::LoopbackClient;
using test::Recorder;
using test::RecordingListener;

struct Received {
  std::optional<Bytes> content;
  bool isComplete;
  std::error_code error;
  bool onQueue;
  std::size_t room = 0;  // the content's capacity as delivered; copies of it lose it
};

// One accepted connection, started on a queue of its own, and its blocking peer.
class TcpConnectionLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<LoopbackClient>(listening.listener->port());
    ASSERT_TRUE(listening.connections.waitForCount(1));
    connection = listening.connections.values().front();
    connection->setStateUpdateHandler([this](Connection::State state, std::error_code) {
      states.add({state, queue->isCurrent()});
    });
    connection->start(queue);
    ASSERT_TRUE(states.waitForCount(1));
  }

  void receive(std::size_t minimum, std::size_t maximum) {
    connection->receive(minimum, maximum, [this](std::optional<Bytes> content, bool isComplete, std::error_code error) {
      const auto room = content ? content->capacity() : 0;
      received.add({std::move(content), isComplete, error, queue->isCurrent(), room});
    });
  }
  void clientWrite(const std::string& text) { asio::write(client->socket(), asio::buffer(text)); }
  std::size_t countOf(Connection::State state) {
    std::size_t count = 0;
    for (auto& [reported, onQueue] : states.values()) count += reported == state;
    return count;
  }
  // Reads from the peer until the stream ends.
  std::string clientReadToEnd() {
    std::string all;
    std::error_code error;
    asio::read(client->socket(), asio::dynamic_buffer(all), error);
    EXPECT_EQ(error, asio::error::eof);
    return all;
  }

  RecordingListener listening;
  std::unique_ptr<LoopbackClient> client;
  std::shared_ptr<Connection> connection;
  std::shared_ptr<StrandQueue> queue = StrandQueue::create("test.connection");
  Recorder<std::pair<Connection::State, bool>> states;
  Recorder<Received> received;
};

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST_F(TcpConnectionLoopback, ReportsReadyOnItsQueue) {
  auto reported = states.values();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].first, Connection::State::ready);
  EXPECT_TRUE(reported[0].second);
}

TEST_F(TcpConnectionLoopback, ReadsExactlyTheAskedLengthAcrossSegments) {
  receive(4, 4);
  clientWrite("ab");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(received.values().empty()) << "a read completed with fewer bytes than asked";
  clientWrite("cdefghi");
  ASSERT_TRUE(received.waitForCount(1));
  receive(5, 5);
  ASSERT_TRUE(received.waitForCount(2));

  auto results = received.values();
  EXPECT_EQ(results[0].content, bytesOf("abcd"));
  EXPECT_EQ(results[1].content, bytesOf("efghi"));
  for (auto& result : results) {
    EXPECT_FALSE(result.isComplete);
    EXPECT_FALSE(result.error);
    EXPECT_TRUE(result.onQueue);
  }
}

TEST_F(TcpConnectionLoopback, ALargeReadTakesExactlyItsLengthAndLeavesTheRest) {
  constexpr std::size_t large = 4'999'999;
  std::string stream(large + 6, 'a');
  for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<char>('a' + i % 26);
  receive(large, large);
  std::thread writer([&] { clientWrite(stream); });
  ASSERT_TRUE(received.waitForCount(1));
  receive(6, 6);
  ASSERT_TRUE(received.waitForCount(2));
  writer.join();

  auto results = received.values();
  ASSERT_TRUE(results[0].content.has_value());
  EXPECT_EQ(results[0].content->size(), large);
  EXPECT_TRUE(std::equal(results[0].content->begin(), results[0].content->end(), stream.begin()));
  EXPECT_EQ(results[1].content, Bytes(stream.end() - 6, stream.end()));
}

// Room is made for what arrived, never for what was asked: a sender that
// announces a large frame and sends little of it costs little.
class TcpConnectionLoopbackEndOfStream : public TcpConnectionLoopback,
                                         public ::testing::WithParamInterface<std::size_t> {};

TEST_P(TcpConnectionLoopbackEndOfStream, DeliversThePartialContentThenNothing) {
  const std::size_t asked = GetParam();
  std::string sent = asked == 4 ? "xyz" : std::string(100'000, 'a');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('x' + i % 3);
  clientWrite(sent);
  client->socket().shutdown(asio::socket_base::shutdown_send);
  receive(asked, asked);
  ASSERT_TRUE(received.waitForCount(1));
  receive(4, 4);
  ASSERT_TRUE(received.waitForCount(2));

  auto results = received.values();
  EXPECT_EQ(results[0].content, bytesOf(sent));
  ASSERT_TRUE(results[0].content.has_value());
  EXPECT_LE(results[0].room, 2 * sent.size());
  EXPECT_TRUE(results[0].isComplete);
  EXPECT_FALSE(results[0].error);
  EXPECT_FALSE(results[1].content.has_value());
  EXPECT_TRUE(results[1].isComplete);
  EXPECT_FALSE(results[1].error);
}

INSTANTIATE_TEST_SUITE_P(Asked, TcpConnectionLoopbackEndOfStream, ::testing::Values(4, 4'999'999));

// Length-prefixed frames, read the way the engine reads them: a 4-byte
// prefix, then exactly the body, the next receive asked from the completion.
class TcpConnectionFraming : public TcpConnectionLoopback,
                             public ::testing::WithParamInterface<std::size_t> {
 protected:
  static std::string framed(const std::vector<std::size_t>& bodySizes) {
    std::string stream;
    for (std::size_t index = 0; index < bodySizes.size(); ++index) {
      auto size = static_cast<std::uint32_t>(bodySizes[index]);
      stream += {static_cast<char>(size >> 24), static_cast<char>(size >> 16), static_cast<char>(size >> 8),
                 static_cast<char>(size)};
      for (std::size_t i = 0; i < size; ++i) stream += static_cast<char>('a' + (index + i) % 26);
    }
    return stream;
  }

  void readFrames() {
    connection->receive(4, 4, [this](std::optional<Bytes> prefix, bool isComplete, std::error_code error) {
      if (!prefix || prefix->size() != 4 || error) return frames.add({std::move(prefix), isComplete, error, true});
      auto& p = *prefix;
      std::size_t length = std::size_t{p[0]} << 24 | std::size_t{p[1]} << 16 | std::size_t{p[2]} << 8 | p[3];
      connection->receive(length, length, [this](std::optional<Bytes> body, bool ended, std::error_code failure) {
        frames.add({std::move(body), ended, failure, queue->isCurrent()});
        if (!failure && !ended) readFrames();
      });
    });
  }

  Recorder<Received> frames;
};

TEST_P(TcpConnectionFraming, CutsFramesExactlyHoweverTheStreamIsSegmented) {
  // Bodies below, at and above the size the connection reads ahead.
  const std::vector<std::size_t> sizes = {5, 1, 3, 70'000, 65'536, 200, 65'535, 2};
  const std::string stream = framed(sizes);
  const std::size_t piece = GetParam() == 0 ? stream.size() : GetParam();
  readFrames();
  std::thread writer([&] {
    for (std::size_t offset = 0; offset < stream.size(); offset += piece) clientWrite(stream.substr(offset, piece));
    client->socket().shutdown(asio::socket_base::shutdown_send);
  });
  ASSERT_TRUE(frames.waitForCount(sizes.size() + 1));
  writer.join();

  auto results = frames.values();
  std::size_t offset = 0;
  for (std::size_t index = 0; index < sizes.size(); ++index) {
    offset += 4;
    ASSERT_TRUE(results[index].content.has_value()) << "frame " << index;
    EXPECT_EQ(*results[index].content, bytesOf(stream.substr(offset, sizes[index]))) << "frame " << index;
    EXPECT_FALSE(results[index].isComplete);
    EXPECT_FALSE(results[index].error);
    EXPECT_TRUE(results[index].onQueue);
    offset += sizes[index];
  }
  EXPECT_FALSE(results.back().content.has_value()) << "bytes after the last frame";
  EXPECT_TRUE(results.back().isComplete);
}

// 0: the whole stream in one write; else pieces of that many bytes.
INSTANTIATE_TEST_SUITE_P(Segmentations, TcpConnectionFraming, ::testing::Values(0, 7, 1500, 70'001));

TEST_F(TcpConnectionLoopback, EndOfStreamAfterBufferedBytesIsReportedWithTheLastOfThem) {
  clientWrite("abcdefgh");
  client->socket().shutdown(asio::socket_base::shutdown_send);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the end is there before the first read
  receive(4, 4);
  ASSERT_TRUE(received.waitForCount(1));
  receive(6, 6);
  ASSERT_TRUE(received.waitForCount(2));
  receive(4, 4);
  ASSERT_TRUE(received.waitForCount(3));

  auto results = received.values();
  EXPECT_EQ(results[0].content, bytesOf("abcd"));
  EXPECT_FALSE(results[0].isComplete);
  EXPECT_EQ(results[1].content, bytesOf("efgh"));
  EXPECT_TRUE(results[1].isComplete);
  EXPECT_FALSE(results[2].content.has_value());
  EXPECT_TRUE(results[2].isComplete);
  for (auto& result : results) EXPECT_FALSE(result.error);
}

TEST_F(TcpConnectionLoopback, AnEmptyReceiveTakesNothingFromTheStream) {
  clientWrite("abcd");
  receive(0, 0);
  ASSERT_TRUE(received.waitForCount(1));
  receive(4, 4);
  ASSERT_TRUE(received.waitForCount(2));
  auto results = received.values();
  EXPECT_EQ(results[0].content, Bytes{});
  EXPECT_FALSE(results[0].isComplete);
  EXPECT_EQ(results[1].content, bytesOf("abcd"));
}

TEST_F(TcpConnectionLoopback, CancelSilencesReceivesThatBufferedBytesCouldServe) {
  clientWrite("abcdefgh");
  receive(4, 4);
  ASSERT_TRUE(received.waitForCount(1));
  connection->cancel();
  receive(4, 4);
  ASSERT_TRUE(states.waitUntil([](auto& values) { return values.size() >= 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  EXPECT_EQ(received.values().size(), 1u);
  EXPECT_EQ(received.values().front().content, bytesOf("abcd"));
  EXPECT_EQ(countOf(Connection::State::cancelled), 1u);
}

TEST_F(TcpConnectionLoopback, PeerResetIsReportedAsAnError) {
  receive(4, 4);
  client->socket().set_option(asio::socket_base::linger(true, 0));
  client->socket().close();
  ASSERT_TRUE(received.waitForCount(1));
  auto result = received.values().front();
  EXPECT_FALSE(result.content.has_value());
  EXPECT_EQ(result.error, asio::error::connection_reset);
}

TEST_F(TcpConnectionLoopback, SendsFromSeveralThreadsLeaveWholeAndInCallOrder) {
  // 4 KiB messages, so that large parts of the stream are in flight at once,
  // but never more than a connection may have waiting to be sent.
  constexpr int threads = 4;
  constexpr int perThread = 60;
  constexpr std::size_t size = 4096;
  Recorder<std::error_code> completions;
  std::vector<std::thread> senders;
  for (int sender = 0; sender < threads; ++sender) {
    senders.emplace_back([&, sender] {
      for (int index = 0; index < perThread; ++index) {
        Bytes message(size, static_cast<std::uint8_t>(sender));
        message[1] = static_cast<std::uint8_t>(index >> 8);
        message[2] = static_cast<std::uint8_t>(index & 0xff);
        connection->send(std::move(message), [&](std::error_code error) { completions.add(error); });
      }
    });
  }
  std::map<int, int> nextIndex;
  Bytes message(size);
  for (int count = 0; count < threads * perThread; ++count) {
    asio::read(client->socket(), asio::buffer(message));
    int sender = message[0];
    ASSERT_TRUE(std::all_of(message.begin() + 3, message.end(), [&](auto byte) { return byte == sender; }))
        << "messages were interleaved";
    ASSERT_EQ(message[1] * 256 + message[2], nextIndex[sender]++) << "sender " << sender << " out of order";
  }
  for (auto& thread : senders) thread.join();
  ASSERT_TRUE(completions.waitForCount(threads * perThread));
  for (auto& error : completions.values()) EXPECT_FALSE(error);
}

// A peer that reads nothing: sends past what may wait fail, and every one
// after them too, so that what the peer reads later has no gap.
TEST_F(TcpConnectionLoopback, SendsPastWhatMayWaitForAPeerThatDoesNotReadFailFromThenOn) {
  constexpr int count = 1000;
  constexpr std::size_t size = 16 * 1024;  // far more in all than the sockets' buffers and the limit hold
  Recorder<std::pair<int, std::error_code>> completions;
  for (int index = 0; index < count; ++index) {
    Bytes message(size, static_cast<std::uint8_t>(index));
    message[0] = static_cast<std::uint8_t>(index >> 8);
    connection->send(std::move(message), [&, index](std::error_code error) { completions.add({index, error}); });
  }
  // Refused sends complete at once, the others as the peer reads them.
  auto firstRefused = [](const auto& values) {
    int first = count;
    for (auto& [index, error] : values) {
      if (error) first = std::min(first, index);
    }
    return first;
  };
  ASSERT_TRUE(completions.waitUntil([&](const auto& values) {
    auto first = firstRefused(values);
    return first < count && values.size() >= static_cast<std::size_t>(count - first);
  }));
  const int accepted = firstRefused(completions.values());

  Bytes message(size);
  for (int index = 0; index < accepted; ++index) {
    asio::read(client->socket(), asio::buffer(message));
    ASSERT_EQ(message[0], static_cast<std::uint8_t>(index >> 8)) << index;
    ASSERT_EQ(message[1], static_cast<std::uint8_t>(index)) << index;
  }
  ASSERT_TRUE(completions.waitForCount(count));
  for (auto& [index, error] : completions.values()) {
    if (index < accepted) {
      EXPECT_FALSE(error) << index;
    } else {
      EXPECT_EQ(error, std::errc::no_buffer_space) << index;
    }
  }
  client->socket().non_blocking(true);
  std::error_code error;
  client->socket().read_some(asio::buffer(message), error);
  EXPECT_EQ(error, asio::error::would_block) << "a refused send left";
}

// What a connection read ahead is given back once nothing more can come
// through it: at the end of the stream, and when it is cancelled.
class TcpConnectionLoopbackReadAhead : public TcpConnectionLoopback, public ::testing::WithParamInterface<bool> {};

TEST_P(TcpConnectionLoopbackReadAhead, IsReleasedOnceReadingEnds) {
  const bool cancelled = GetParam();
  clientWrite(cancelled ? "abcdefgh" : "abcd");
  if (!cancelled) client->socket().shutdown(asio::socket_base::shutdown_send);
  receive(4, 4);
  ASSERT_TRUE(received.waitForCount(1));
  const auto reading = static_cast<std::int64_t>(test::heapInUse());
  if (cancelled) {
    connection->cancel();
    ASSERT_TRUE(states.waitForCount(2));
  } else {
    receive(4, 4);
    ASSERT_TRUE(received.waitForCount(2));
    EXPECT_TRUE(received.values().back().isComplete);
  }
  EXPECT_LT(static_cast<std::int64_t>(test::heapInUse()) - reading, -32 * 1024);
}

INSTANTIATE_TEST_SUITE_P(Ends, TcpConnectionLoopbackReadAhead, ::testing::Bool(),
                         [](const auto& row) { return row.param ? "Cancelled" : "EndOfStream"; });

TEST_F(TcpConnectionLoopback, SendsFromOneThreadKeepTheirOrder) {
  connection->send(bytesOf("one "), {});
  connection->send(bytesOf("two "), {});
  connection->send(bytesOf("three"), {});
  std::string text(13, '\0');
  asio::read(client->socket(), asio::buffer(text));
  EXPECT_EQ(text, "one two three");
}

TEST_F(TcpConnectionLoopback, CancelReportsCancelledOnceAndSilencesCompletions) {
  receive(4, 4);
  connection->cancel();
  connection->cancel();
  connection->send(bytesOf("late"), [&](std::error_code error) { received.add({{}, false, error, true}); });
  receive(4, 4);
  ASSERT_TRUE(states.waitUntil([](auto& values) { return values.size() >= 2; }));
  EXPECT_EQ(clientReadToEnd(), "");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));

  EXPECT_EQ(countOf(Connection::State::cancelled), 1u);
  EXPECT_TRUE(states.values().back().second);
  EXPECT_TRUE(received.values().empty());
}

TEST_F(TcpConnectionLoopback, DroppingTheConnectionClosesTheSocket) {
  receive(4, 4);
  connection.reset();
  listening.connections.clear();
  EXPECT_EQ(clientReadToEnd(), "");
}

}  // namespace
}  // namespace orvel
