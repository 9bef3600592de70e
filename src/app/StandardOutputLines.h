#pragma once

#include <atomic>
#include <functional>
#include <streambuf>
#include <string>

namespace orvel {

// Takes what the engine writes to std::cout (the "File saved to: " lines),
// from any thread, and hands each whole line to `deliver`, so that it reaches
// the terminal where the question on screen can be shown again after it.
// Once `writeDirectly` is called, lines go straight to standard output.
class StandardOutputLines final : public std::streambuf {
 public:
  explicit StandardOutputLines(std::function<void(std::string line)> deliver);

  // For the time after the main loop stopped, which no longer delivers.
  void writeDirectly() { direct_ = true; }

 protected:
  int_type overflow(int_type character) override;
  std::streamsize xsputn(const char* text, std::streamsize length) override;

 private:
  void take(char character);

  const std::function<void(std::string line)> deliver_;
  std::atomic<bool> direct_ = false;
};

}  // namespace orvel
