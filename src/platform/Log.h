#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvel {

// The system log: one line per event, written to syslog under the identity
// "orvel". Tests read the exact lines through a LogCapture.
namespace Log {
// Control characters in `text` are escaped ("\n", "\x1b", "\u0085"), so that
// whatever it holds stays one line; the capture sees the escaped line.
void write(std::string_view text);
}

// While alive, collects every line written by any thread (in addition to syslog).
// Captures do not nest: the newest one receives the lines.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  bool contains(std::string_view line) const;
  // Lines that start with the given text, in order.
  std::vector<std::string> linesStartingWith(std::string_view prefix) const;
  void clear();

 private:
  friend void Log::write(std::string_view);
  LogCapture* previous_;
  std::vector<std::string> lines_;  // guarded by the log's mutex
};

}  // namespace orvel
