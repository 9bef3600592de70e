#include "platform/MainLoop.h"

#include <asio/post.hpp>

namespace orvel {

MainLoop& MainLoop::shared() {
  static MainLoop loop;
  return loop;
}

void MainLoop::async(std::function<void()> work) { asio::post(context_, std::move(work)); }

const std::string& MainLoop::label() const {
  static const std::string name = "main";
  return name;
}

void MainLoop::run() {
  auto guard = asio::make_work_guard(context_);
  context_.restart();
  context_.run();
}

void MainLoop::stop() { context_.stop(); }

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
