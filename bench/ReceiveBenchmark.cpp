// End-to-end receive cost of the real engine over loopback. The receiver runs
// in a child process (ConnectionManager, accepting every transfer), so its CPU
// time and peak memory are its own; the senders here encrypt on several
// threads so that they are not what limits the transfer. Beside it, in the
// same run, the "crypto floor": one core doing nothing but HMAC-SHA256 and
// AES-256-CBC decryption of as many bytes with plain OpenSSL.
//
//   ReceiveBenchmark [--size-mib N] [--senders N] [--threads N]
//
// One sender of 1024 MiB by default; --senders 200 --size-mib 16 runs 200
// concurrent senders of 16 MiB each, each from a loopback address of its own.
// Not run in CI: it takes seconds and gigabytes of disk.
#include <sys/resource.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/BenchFile.h"
#include "support/CostFloors.h"
#include "support/ReceiverProcess.h"
#include "support/ScratchHome.h"
#include "support/SenderSession.h"

namespace {

using namespace orvel;
using namespace orvel::bench;
using Clock = std::chrono::steady_clock;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGiB = 1024.0 * kMiB;
constexpr auto kSocketTimeout = std::chrono::seconds(60);
constexpr double kCpuGoal = 1.3;           // receiver CPU per GiB against the floor
constexpr double kResidentGoalMB = 64.0;   // peak resident memory of the receiver, one file of any size

struct Options {
  std::int64_t sizeMiB = 1024;
  int senders = 1;
  unsigned threads = std::min(6u, std::max(2u, std::thread::hardware_concurrency()));
};

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) throw std::invalid_argument("missing value after " + flag);
    const long long value = std::atoll(argv[++i]);
    if (flag == "--size-mib" && value >= 0) {
      options.sizeMiB = value;
    } else if (flag == "--senders" && value >= 1 && value <= 5000) {
      options.senders = static_cast<int>(value);
    } else if (flag == "--threads" && value >= 1 && value <= 256) {
      options.threads = static_cast<unsigned>(value);
    } else {
      throw std::invalid_argument("usage: ReceiveBenchmark [--size-mib N] [--senders N] [--threads N]");
    }
  }
  return options;
}

// Each connection costs a socket here and a socket, a file and a folder
// handle in the receiver.
void raiseDescriptorLimit(int senders) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t needed = static_cast<rlim_t>(senders) * 4 + 64;
  if (limit.rlim_cur < needed) {
    limit.rlim_cur = std::min(limit.rlim_max, std::max(needed, limit.rlim_cur));
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur < needed) {
    throw std::runtime_error("the descriptor limit " + std::to_string(limit.rlim_cur) + " is below the " +
                             std::to_string(needed) + " needed");
  }
}

// One file over one connection: a pool of threads encrypts chunks, each under
// its own sequence number, and this thread writes them in order. At most
// `window` encrypted chunks wait at any time.
void sendPipelined(SenderSession& session, const BenchFile& file, unsigned threads) {
  const std::int64_t count = file.chunkCount();
  const std::int64_t window = 2 * static_cast<std::int64_t>(threads);
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::int64_t, Bytes> ready;
  std::int64_t nextToClaim = 0, written = 0;
  std::exception_ptr failure;
  bool stopping = false;

  auto encryptChunks = [&] {
    std::unique_lock lock(mutex);
    while (true) {
      changed.wait(lock, [&] { return stopping || nextToClaim >= count || nextToClaim < written + window; });
      if (stopping || nextToClaim >= count) return;
      const std::int64_t index = nextToClaim++;
      lock.unlock();
      Bytes frame;
      try {
        frame = session.chunkFrame(file, index);
      } catch (...) {
        lock.lock();
        if (!failure) failure = std::current_exception();
        stopping = true;
        changed.notify_all();
        return;
      }
      lock.lock();
      ready.emplace(index, std::move(frame));
      changed.notify_all();
    }
  };
  std::vector<std::thread> pool;
  for (unsigned i = 0; i < threads; ++i) pool.emplace_back(encryptChunks);

  try {
    for (std::int64_t index = 0; index < count; ++index) {
      Bytes frame;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stopping || ready.contains(index); });
        if (stopping) break;
        frame = std::move(ready.extract(index).mapped());
      }
      session.send(frame);
      std::lock_guard lock(mutex);
      written = index + 1;
      changed.notify_all();
    }
  } catch (...) {
    std::lock_guard lock(mutex);
    if (!failure) failure = std::current_exception();
  }
  {
    std::lock_guard lock(mutex);
    stopping = true;
    changed.notify_all();
  }
  for (auto& thread : pool) thread.join();
  if (failure) std::rethrow_exception(failure);
  session.awaitCompletion();
}

// Many files, one per connection, on a few threads: every connection is
// opened and accepted first, then each thread sends one chunk to each of its
// connections in turn, so that all transfers run at the same time.
std::vector<std::string> sendConcurrently(std::uint16_t port, const std::vector<BenchFile>& files, unsigned threads) {
  std::vector<std::unique_ptr<SenderSession>> sessions(files.size());
  std::vector<std::string> errors(files.size());
  auto forEachMine = [&](unsigned thread, auto step) {
    for (std::size_t i = thread; i < files.size(); i += threads) {
      if (!errors[i].empty()) continue;
      try {
        step(i);
      } catch (const std::exception& error) {
        errors[i] = error.what();
        sessions[i].reset();  // closes the connection: the receiver drops it
      }
    }
  };
  auto onThreads = [&](auto work) {
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work, t);
    for (auto& thread : pool) thread.join();
  };

  onThreads([&](unsigned t) {
    forEachMine(t, [&](std::size_t i) {
      // Each from an address of its own, as separate phones are: the receiver
      // lets one address keep only two offers waiting for an answer.
      const auto address = 0x7f000002 + static_cast<std::uint32_t>(i);
      sessions[i] = std::make_unique<SenderSession>(port, kSocketTimeout, "Sender " + std::to_string(i), address);
      sessions[i]->openUntilAccepted(files[i]);
    });
  });
  onThreads([&](unsigned t) {
    std::int64_t rounds = 0;
    for (const auto& file : files) rounds = std::max(rounds, file.chunkCount());
    for (std::int64_t index = 0; index < rounds; ++index) {
      forEachMine(t, [&](std::size_t i) {
        if (index < files[i].chunkCount()) sessions[i]->send(sessions[i]->chunkFrame(files[i], index));
      });
    }
    forEachMine(t, [&](std::size_t i) { sessions[i]->awaitCompletion(); });
  });
  return errors;
}

// Every file must be in the download folder with the sent bytes, and nothing
// else may be left there. Removes what it checked.
int countIntactFiles(const std::filesystem::path& downloads, const std::vector<BenchFile>& files) {
  int intact = 0;
  for (const auto& file : files) {
    const auto path = downloads / file.name;
    const std::string received = sha256OfPath(path);
    if (!received.empty() && received == file.sha256()) {
      ++intact;
    } else {
      std::fprintf(stderr, "%s: %s\n", file.name.c_str(), received.empty() ? "missing" : "contents differ");
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  for (const auto& left : std::filesystem::directory_iterator(downloads)) {
    std::fprintf(stderr, "left in the download folder: %s\n", left.path().filename().c_str());
  }
  return intact;
}

const char* verdict(bool met) { return met ? "met" : "MISSED"; }

int run(const Options& options) {
  raiseDescriptorLimit(options.senders);
  ScratchHome home;

  std::vector<BenchFile> files;
  const std::int64_t size = options.sizeMiB * 1024 * 1024;
  for (int i = 0; i < options.senders; ++i) {
    files.push_back({"received-" + std::to_string(i) + ".bin", 1000 + i, size, 0x5EEDull + static_cast<unsigned>(i)});
  }
  const double totalBytes = static_cast<double>(size) * options.senders;
  const auto limit = std::chrono::seconds(120 + static_cast<long>(totalBytes / (20 * kMiB)));

  // Forked before any thread exists here.
  ReceiverProcess receiver(options.senders, limit);
  const double floor = cryptoFloorSecondsPerGiB();
  const double ioFloor = kernelIoSecondsPerGiB(home.downloads());

  std::vector<std::string> errors(files.size());
  const auto start = Clock::now();
  try {
    if (options.senders == 1) {
      SenderSession session(receiver.port(), kSocketTimeout, "Pixel 9");
      session.openUntilAccepted(files[0]);
      sendPipelined(session, files[0], options.threads);
    } else {
      errors = sendConcurrently(receiver.port(), files, options.threads);
    }
  } catch (const std::exception& error) {
    errors[0] = error.what();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const auto result = receiver.finish(std::chrono::seconds(30));

  int senderFailures = 0;
  for (std::size_t i = 0; i < errors.size(); ++i) {
    if (errors[i].empty()) continue;
    if (++senderFailures <= 5) std::fprintf(stderr, "sender %zu: %s\n", i, errors[i].c_str());
  }
  const int intact = countIntactFiles(home.downloads(), files);

  const double cpu = result.userSeconds + result.systemSeconds;
  const double cpuPerGiB = totalBytes > 0 ? cpu * kGiB / totalBytes : 0;
  const double residentMB = static_cast<double>(result.peakResidentKiB) * 1024.0 / 1e6;
  std::printf("Receive over 127.0.0.1: %d sender(s) x %lld MiB, %u sender threads\n", options.senders,
              static_cast<long long>(options.sizeMiB), options.threads);
  std::printf("  completed / failed      %d / %d (intact files %d of %d, sender errors %d)\n", result.completed,
              result.failed, intact, options.senders, senderFailures);
  std::printf("  throughput              %.1f MiB/s (%.2f s)\n", totalBytes / kMiB / seconds, seconds);
  std::printf("  receiver CPU            %.3f s (user %.3f, system %.3f) = %.3f s/GiB\n", cpu, result.userSeconds,
              result.systemSeconds, cpuPerGiB);
  std::printf("  crypto floor            %.3f s/GiB (HMAC-SHA256 + AES-256-CBC decrypt, one core)\n", floor);
  std::printf("  ratio CPU / floor       %.2f (goal <= %.1f: %s)\n", cpuPerGiB / floor, kCpuGoal,
              verdict(cpuPerGiB / floor <= kCpuGoal));
  std::printf("  kernel I/O alone        %.3f s/GiB (loopback receive + file write, one core; for comparison)\n",
              ioFloor);
  std::printf("  ratio CPU / (floor + I/O) %.2f\n", cpuPerGiB / (floor + ioFloor));
  if (options.senders == 1) {
    std::printf("  peak resident memory    %.1f MB (goal < %.0f MB: %s)\n", residentMB, kResidentGoalMB,
                verdict(residentMB < kResidentGoalMB));
  } else {
    // Each connection may hold one whole frame (a 512 KiB chunk) while it waits its turn.
    std::printf("  peak resident memory    %.1f MB (%.2f MB per connection)\n", residentMB,
                residentMB / options.senders);
  }
  const bool allGood = result.exitedCleanly && result.completed == options.senders && result.failed == 0 &&
                       intact == options.senders && senderFailures == 0;
  std::printf("  all transfers intact    %s\n", allGood ? "yes" : "NO");
  return allGood ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // A receiver that drops a connection must fail a send, not end this process.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return run(parseOptions(argc, argv));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "ReceiveBenchmark: %s\n", error.what());
    return 2;
  }
}
