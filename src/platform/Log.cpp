#include "platform/Log.h"

#include <syslog.h>

#include <algorithm>
#include <mutex>

#include "platform/Unicode.h"

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

// Most lines are plain ASCII and pass unchanged without a copy.
bool needsEscaping(std::string_view line) {
  return std::any_of(line.begin(), line.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte >= 0x7f;
  });
}

void appendHex(std::string& text, const char* prefix, unsigned value, int digits) {
  static constexpr char hexDigits[] = "0123456789abcdef";
  text += prefix;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += hexDigits[(value >> shift) & 0xf];
}

// Text that a peer chose (names, file names, MIME types) must not end a line
// or start another: tab, line feed and carriage return become \t, \n and \r,
// the other C0 controls and DEL \xNN, the C1 controls and the line and
// paragraph separators \u0080 to \u009f, \u2028 and \u2029, and each byte
// that is not UTF-8 \xNN. Everything else, backslashes included, stays.
std::string escaped(std::string_view line) {
  std::string result;
  result.reserve(line.size() + 16);
  while (!line.empty()) {
    auto character = Unicode::first(line);
    const char32_t c = character.value;
    if (!character.valid) {
      appendHex(result, "\\x", static_cast<unsigned char>(line.front()), 2);
    } else if (c == '\t' || c == '\n' || c == '\r') {
      result += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      appendHex(result, "\\x", c, 2);
    } else if (Unicode::isControl(c) || c == 0x2028 || c == 0x2029) {
      appendHex(result, "\\u", c, 4);
    } else {
      result += line.substr(0, character.length);
    }
    line.remove_prefix(character.length);
  }
  return result;
}

}  // namespace

void Log::write(std::string_view text) {
  std::string escapedText;
  std::string_view line = text;
  if (needsEscaping(text)) line = escapedText = escaped(text);
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
