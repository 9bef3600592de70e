#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/SerialQueue.h"

namespace orvel {

// The main loop of the process: an io_context run by the main thread. Every
// call into the shell, and every callback of the mDNS registration, runs here.
class MainLoop final : public SerialQueue {
 public:
  static MainLoop& shared();

  void async(std::function<void()> work) override;
  const std::string& label() const override;

  asio::io_context& context() { return context_; }

  // Runs the loop on the calling thread until stop().
  void run();
  void stop();
  // At exit, on the main thread once the loop stopped: drops every item still
  // queued without running it, and from then on drops new work at once, on
  // the thread that gives it. Nothing queued here may outlive the worker pool
  // and the services its items refer to.
  void close();

  // For tests and shutdown: runs the loop on the calling thread until `done`
  // returns true (checked after each handler) or `timeout` passes. Returns `done()`.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

 private:
  MainLoop() = default;
  const std::string label_ = "main";
  asio::io_context context_;
  std::mutex closing_;
  bool closed_ = false;  // written under closing_, on the main thread
};

}  // namespace orvel
