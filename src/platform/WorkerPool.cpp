#include "platform/WorkerPool.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace orvel {

WorkerPool::WorkerPool(unsigned threadCount)
    : workGuard_(asio::make_work_guard(context_)), running_(threadCount) {
  threads_.reserve(threadCount);
  for (unsigned i = 0; i < threadCount; ++i) {
    threads_.emplace_back([this] {
      context_.run();
      std::lock_guard lock(finishing_);
      --running_;
      finished_.notify_all();
    });
  }
}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::stop() {
  workGuard_.reset();
  context_.stop();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

unsigned WorkerPool::stop(std::chrono::milliseconds limit) {
  workGuard_.reset();
  context_.stop();
  {
    std::unique_lock lock(finishing_);
    if (!finished_.wait_for(lock, limit, [this] { return running_ == 0; })) return running_;
  }
  stop();
  return 0;
}

WorkerPool& WorkerPool::shared() {
  // The pool threads use OpenSSL, whose per-thread state is freed when a
  // thread ends, but only before OpenSSL's own exit-time cleanup has run.
  // Initialised first, OpenSSL is cleaned up after the pool has joined its threads.
  static const bool cryptoReady = OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr) == 1;
  (void)cryptoReady;
  static WorkerPool pool(std::max(2u, std::thread::hardware_concurrency()));
  return pool;
}

}  // namespace orvel
