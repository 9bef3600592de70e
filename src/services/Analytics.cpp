#include "services/Analytics.h"

#include "platform/Log.h"

namespace orvel {
namespace {

// Only the latest events are kept: a long-running receiver must not grow.
constexpr std::size_t keptEvents = 1000;

}  // namespace

Analytics& Analytics::shared() {
  static Analytics analytics;
  return analytics;
}

void Analytics::record(const std::string& name, nlohmann::json properties) {
  Log::write("[Analytics] " + name + " " + properties.dump());
  std::lock_guard lock(mutex_);
  if (events_.size() == keptEvents) events_.erase(events_.begin());
  events_.push_back({name, std::move(properties)});
}

std::vector<Analytics::Event> Analytics::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

}  // namespace orvel
