#include "platform/MainLoop.h"

#include <asio/post.hpp>

namespace orvel {

MainLoop& MainLoop::shared() {
  static MainLoop loop;
  return loop;
}

void MainLoop::async(std::function<void()> work) {
  {
    std::lock_guard lock(closing_);
    if (!closed_) {
      // Read on the main thread, which alone sets it.
      asio::post(context_, [this, work = std::move(work)] {
        if (!closed_) work();
      });
      return;
    }
  }
  // Closed: `work` and what it holds go here, outside the lock.
}

const std::string& MainLoop::label() const { return label_; }

void MainLoop::run() {
  auto guard = asio::make_work_guard(context_);
  context_.restart();
  context_.run();
}

void MainLoop::stop() { context_.stop(); }

void MainLoop::close() {
  {
    std::lock_guard lock(closing_);
    closed_ = true;
  }
  // Every queued item now only releases what it holds.
  context_.restart();
  context_.poll();
}

bool MainLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  auto guard = asio::make_work_guard(context_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  context_.restart();
  while (!done()) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    // Wake at least every 10 ms so that a condition changed by another thread is seen.
    context_.run_one_for(std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(10)));
    if (context_.stopped()) context_.restart();
  }
  return true;
}

}  // namespace orvel
