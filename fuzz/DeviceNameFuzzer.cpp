// Any byte string as a stored device name or host name: the fitted name is
// valid UTF-8 within both limits, a prefix of whole characters, and stable.
#include <utf8proc.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "services/DeviceName.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string fitted = orvel::DeviceName::fitted(input);
  if (fitted.size() > orvel::DeviceName::byteLimit) std::abort();

  std::size_t characters = fitted.empty() ? 0 : 1;
  utf8proc_int32_t previous = -1, state = 0;
  for (std::size_t offset = 0; offset < fitted.size();) {
    utf8proc_int32_t codePoint = 0;
    auto length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(fitted.data()) + offset,
                                   static_cast<utf8proc_ssize_t>(fitted.size() - offset), &codePoint);
    if (length <= 0) std::abort();  // not valid UTF-8
    if (previous >= 0 && utf8proc_grapheme_break_stateful(previous, codePoint, &state)) ++characters;
    previous = codePoint;
    offset += static_cast<std::size_t>(length);
  }
  if (characters > orvel::DeviceName::characterLimit) std::abort();
  if (orvel::DeviceName::fitted(fitted) != fitted) std::abort();
  return 0;
}
