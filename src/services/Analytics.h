#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace orvel {

// The application's usage events, recorded in the process and written to the
// log. Nothing leaves the machine.
class Analytics {
 public:
  struct Event {
    std::string name;
    nlohmann::json properties;
  };

  static Analytics& shared();

  // Any thread.
  void record(const std::string& name, nlohmann::json properties = nlohmann::json::object());
  // The latest events, oldest first.
  std::vector<Event> events() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

}  // namespace orvel
