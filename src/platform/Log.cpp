#include "platform/Log.h"

#include <syslog.h>

#include <algorithm>
#include <mutex>

namespace orvel {
namespace {

std::mutex& logMutex() {
  static std::mutex mutex;
  return mutex;
}
LogCapture* activeCapture = nullptr;  // guarded by logMutex()

void openSyslogOnce() {
  static std::once_flag once;
  std::call_once(once, [] { openlog("orvel", LOG_PID, LOG_USER); });
}

}  // namespace

void Log::write(std::string_view line) {
  openSyslogOnce();
  syslog(LOG_NOTICE, "%.*s", static_cast<int>(line.size()), line.data());
  std::lock_guard lock(logMutex());
  if (activeCapture) activeCapture->lines_.emplace_back(line);
}

LogCapture::LogCapture() {
  std::lock_guard lock(logMutex());
  previous_ = activeCapture;
  activeCapture = this;
}

LogCapture::~LogCapture() {
  std::lock_guard lock(logMutex());
  activeCapture = previous_;
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(logMutex());
  return lines_;
}

bool LogCapture::contains(std::string_view line) const {
  auto all = lines();
  return std::find(all.begin(), all.end(), line) != all.end();
}

std::vector<std::string> LogCapture::linesStartingWith(std::string_view prefix) const {
  std::vector<std::string> result;
  for (auto& line : lines()) {
    if (line.starts_with(prefix)) result.push_back(line);
  }
  return result;
}

void LogCapture::clear() {
  std::lock_guard lock(logMutex());
  lines_.clear();
}

}  // namespace orvel
