// A sending phone for the script tests that run the real receiver, over
// loopback only:
//   send_probe send PORT FOLDER [--pause|--hold-last] [--from ADDRESS] [--name NAME]
//       offers every file of FOLDER in one transfer, as NAME ("Probe" by
//       default), and sends it once
//       accepted; with --pause it stops after the first chunk, prints
//       "paused", and goes on when a line (or the end) comes on standard input;
//       with --hold-last it does so before the very last chunk, printing
//       "ready"; --from connects from another local address, IPv4 or IPv6
//       (then to ::1), as another phone would. Exits 0 once the receiver says
//       the files are written.
//   send_probe hold PORT COUNT [--from ADDRESS] [--reopen]  opens COUNT
//       connections that send nothing, from 127.0.0.2, .3 and .4 in turn
//       (other devices than the senders) or all from ADDRESS, prints
//       "holding", and keeps them until standard input ends; with --reopen
//       each one the receiver closes is opened again, and the number reopened
//       is printed at the end.
//   send_probe flood PORT  opens connections that fail at once (a frame length
//       of zero) from several threads until the receiver stops listening.
//   send_probe stall PORT COUNT  introduces a file, then reads nothing more and
//       sends COUNT plaintext KEEP_ALIVEs, each of which the receiver answers,
//       until a send fails; then closes its sending side, prints "stalled", and
//       keeps the connection until standard input ends.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>
#include <sys/resource.h>

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/MemoryConnection.h"
#include "support/TestSender.h"
#include "support/TestSupport.h"

namespace {

using namespace orvel;
using test::TestSender;
using Socket = asio::ip::tcp::socket;

// From an IPv6 address the connection goes to ::1, the receiver's loopback of that family.
Socket connectTo(asio::io_context& context, std::uint16_t port,
                 asio::ip::address source = asio::ip::address_v4::loopback()) {
  Socket socket(context);
  socket.open(source.is_v6() ? asio::ip::tcp::v6() : asio::ip::tcp::v4());
  socket.bind({source, 0});
  socket.connect({source.is_v6() ? asio::ip::address(asio::ip::address_v6::loopback())
                                 : asio::ip::address(asio::ip::address_v4::loopback()),
                  port});
  return socket;
}

void send(Socket& socket, ByteView body) { asio::write(socket, asio::buffer(test::framed(body))); }
void send(Socket& socket, const std::vector<Bytes>& bodies) {
  for (const auto& body : bodies) send(socket, body);
}

Bytes receive(Socket& socket) {
  std::uint8_t prefix[4];
  asio::read(socket, asio::buffer(prefix));
  Bytes body(fromBigEndian32(prefix));
  asio::read(socket, asio::buffer(body));
  return body;
}

// The receiver's frames up to the one `isWanted` picks; the handshake answers
// and the completion notice come in plaintext, the rest encrypted.
template <class Predicate>
void receiveUntil(Socket& socket, TestSender& sender, Predicate isWanted) {
  for (;;) {
    Bytes body = receive(socket);
    TestSender::Received received;
    try {
      received = sender.openEncrypted(body);
    } catch (...) {
      received = TestSender::openPlaintext(body);
    }
    if (isWanted(received)) return;
  }
}

// The key exchange and the paired-key frames, up to where the offer goes.
void openEncryptedChannel(Socket& socket, TestSender& sender) {
  send(socket, sender.connectionRequest());
  send(socket, sender.clientInit());
  send(socket, sender.clientFinish(receive(socket)));
  send(socket, sender.connectionResponse());
  send(socket, sender.pairedKeyEncryption());
  send(socket, sender.pairedKeyResult());
}

std::vector<test::TestFile> filesOf(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::vector<test::TestFile> files;
  for (const auto& path : paths) {
    auto contents = test::readFile(path);
    files.push_back({path.filename().string(), Bytes(contents.begin(), contents.end()),
                     static_cast<std::int64_t>(files.size() + 1)});
  }
  return files;
}

enum class Pause { none, afterFirstChunk, beforeLastChunk };

// Until a line (or the end) comes on standard input.
void waitForALine(const char* saying) {
  std::cout << saying << std::endl;
  std::string line;
  std::getline(std::cin, line);
}

int sendFolder(std::uint16_t port, const std::filesystem::path& folder, Pause pause,
               asio::ip::address source, const std::string& name) {
  const auto files = filesOf(folder);
  asio::io_context context;
  Socket socket = connectTo(context, port, source);
  TestSender sender(name);
  openEncryptedChannel(socket, sender);
  send(socket, sender.introduction(files));
  receiveUntil(socket, sender, [](const TestSender::Received& received) {
    if (!received.sharing || received.sharing->v1().type() != sharing::nearby::V1Frame::RESPONSE) return false;
    if (received.sharing->v1().connection_response().status() != sharing::nearby::ConnectionResponseFrame::ACCEPT) {
      throw std::runtime_error("the receiver declined");
    }
    return true;
  });
  std::vector<Bytes> chunks;
  for (const auto& file : files) {
    for (auto& chunk : sender.fileChunks(file)) chunks.push_back(std::move(chunk));
  }
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (i + 1 == chunks.size() && pause == Pause::beforeLastChunk) waitForALine("ready");
    send(socket, chunks[i]);
    if (i == 0 && pause == Pause::afterFirstChunk) waitForALine("paused");
  }
  receiveUntil(socket, sender, [](const TestSender::Received& received) {
    return !received.sequenceNumber && received.frame.v1().disconnection().ack_safe_to_disconnect();
  });
  return 0;
}

void raiseOpenFileLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

int hold(std::uint16_t port, int count, std::optional<asio::ip::address> from, bool reopen) {
  raiseOpenFileLimit();
  asio::io_context context;
  std::vector<Socket> sockets;
  auto sourceOf = [&](int i) {
    return from ? *from : asio::ip::address(asio::ip::address_v4(0x7f000002 + static_cast<std::uint32_t>(i % 3)));
  };
  for (int i = 0; i < count; ++i) sockets.push_back(connectTo(context, port, sourceOf(i)));
  std::cout << "holding" << std::endl;
  if (!reopen) {
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
    return 0;
  }
  // The receiver sends nothing to a connection before its request: anything
  // readable is the end of one it closed.
  std::size_t reopened = 0;
  for (;;) {
    std::vector<pollfd> watched{{STDIN_FILENO, POLLIN, 0}};
    for (auto& socket : sockets) watched.push_back({socket.native_handle(), POLLIN, 0});
    if (::poll(watched.data(), watched.size(), -1) < 0) continue;
    if (watched[0].revents != 0) {
      char buffer[256];
      if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    }
    for (std::size_t i = 0; i < sockets.size(); ++i) {
      if (watched[i + 1].revents == 0) continue;
      sockets[i] = connectTo(context, port, sourceOf(static_cast<int>(i)));
      ++reopened;
    }
  }
  std::cout << "reopened " << reopened << std::endl;
  return 0;
}

int flood(std::uint16_t port) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([port] {
      asio::io_context context;
      const Bytes zeroLength(4, 0);
      for (;;) {
        std::error_code error;
        Socket socket(context);
        socket.connect({asio::ip::address_v4::loopback(), port}, error);
        if (error == asio::error::connection_refused) return;  // the receiver stopped
        if (!error) asio::write(socket, asio::buffer(zeroLength), error);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return 0;
}

int stall(std::uint16_t port, std::size_t count) {
  asio::io_context context;
  Socket socket(context);
  socket.open(asio::ip::tcp::v4());
  // The receiver's answers fill this side's buffer, and then its own, soon.
  socket.set_option(asio::socket_base::receive_buffer_size(1));
  socket.set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_MAXSEG>(536));
  socket.connect({asio::ip::address_v4::loopback(), port});
  TestSender sender("Stalling");
  openEncryptedChannel(socket, sender);
  send(socket, sender.introduction({{"stalled.bin", Bytes(10, 0x61), 1}}));
  Bytes batch;
  for (int i = 0; i < 1000; ++i) {
    auto frame = test::framed(TestSender::keepAlive());
    batch.insert(batch.end(), frame.begin(), frame.end());
  }
  std::error_code error;
  for (std::size_t sent = 0; sent < count && !error; sent += 1000) asio::write(socket, asio::buffer(batch), error);
  socket.shutdown(asio::socket_base::shutdown_send, error);
  std::cout << "stalled" << std::endl;
  std::string ignored;
  while (std::getline(std::cin, ignored)) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a receiver that went away fails a send, it does not end the probe
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2) {
      const auto port = static_cast<std::uint16_t>(std::stoi(args[1]));
      if (args[0] == "send" && args.size() >= 3) {
        auto pause = Pause::none;
        asio::ip::address source = asio::ip::address_v4::loopback();
        std::string name = "Probe";
        bool understood = true;
        for (std::size_t i = 3; i < args.size() && understood; ++i) {
          if (args[i] == "--pause") {
            pause = Pause::afterFirstChunk;
          } else if (args[i] == "--hold-last") {
            pause = Pause::beforeLastChunk;
          } else if (args[i] == "--from" && i + 1 < args.size()) {
            source = asio::ip::make_address(args[++i]);
          } else if (args[i] == "--name" && i + 1 < args.size()) {
            name = args[++i];
          } else {
            understood = false;
          }
        }
        if (understood) return sendFolder(port, args[2], pause, source, name);
      }
      if (args[0] == "hold" && args.size() >= 3) {
        std::optional<asio::ip::address> from;
        bool reopen = false;
        bool understood = true;
        for (std::size_t i = 3; i < args.size() && understood; ++i) {
          if (args[i] == "--from" && i + 1 < args.size()) {
            from = asio::ip::make_address(args[++i]);
          } else if (args[i] == "--reopen") {
            reopen = true;
          } else {
            understood = false;
          }
        }
        if (understood) return hold(port, std::stoi(args[2]), from, reopen);
      }
      if (args[0] == "flood" && args.size() == 2) return flood(port);
      if (args[0] == "stall" && args.size() == 3) return stall(port, std::stoul(args[2]));
    }
    std::cerr << "usage: send_probe send PORT FOLDER [--pause|--hold-last] [--from ADDRESS] [--name NAME]"
                 " | hold PORT COUNT [--from ADDRESS] [--reopen] | flood PORT | stall PORT COUNT\n";
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "send_probe: " << error.what() << "\n";
    return 1;
  }
}
