#include "app/StandardOutputLines.h"

#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

namespace orvel {
namespace {

// Each thread writes whole lines of its own: pieces of two threads' lines never mix.
thread_local std::string partialLine;

void writeOut(std::string_view text) {
  while (!text.empty()) {
    auto written = ::write(STDOUT_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace

StandardOutputLines::StandardOutputLines(std::function<void(std::string line)> deliver)
    : deliver_(std::move(deliver)) {}

StandardOutputLines::int_type StandardOutputLines::overflow(int_type character) {
  if (!traits_type::eq_int_type(character, traits_type::eof())) take(traits_type::to_char_type(character));
  return traits_type::not_eof(character);
}

std::streamsize StandardOutputLines::xsputn(const char* text, std::streamsize length) {
  for (std::streamsize index = 0; index < length; ++index) take(text[index]);
  return length;
}

void StandardOutputLines::take(char character) {
  if (character != '\n') {
    partialLine += character;
    return;
  }
  auto line = std::move(partialLine);
  partialLine.clear();
  if (direct_) {
    writeOut(line + "\n");
  } else {
    deliver_(std::move(line));
  }
}

}  // namespace orvel
