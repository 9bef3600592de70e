#include "services/DeviceName.h"

#include <utf8proc.h>

#include "platform/HostName.h"
#include "platform/Settings.h"

namespace orvel {
namespace {

constexpr utf8proc_int32_t replacementCharacter = 0xFFFD;

void append(std::string& text, utf8proc_int32_t codePoint) {
  utf8proc_uint8_t buffer[4];
  auto length = utf8proc_encode_char(codePoint, buffer);
  text.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

}  // namespace

std::string DeviceName::current() {
  auto name = Settings::string(Settings::deviceNameKey);
  if (!name) name = HostName::localized();
  return fitted(name.value_or("Mac"));
}

std::string DeviceName::fitted(std::string_view name) {
  std::string result;    // whole clusters kept so far
  std::string cluster;   // the cluster being read
  std::size_t clusters = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t breakState = 0;

  // Keeps the finished cluster if it is within both limits; false once full.
  auto keepCluster = [&] {
    if (clusters == characterLimit || result.size() + cluster.size() > byteLimit) return false;
    result += cluster;
    ++clusters;
    cluster.clear();
    return true;
  };

  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(name.data());
  std::size_t offset = 0;
  while (offset < name.size()) {
    utf8proc_int32_t codePoint = 0;
    auto length = utf8proc_iterate(bytes + offset, static_cast<utf8proc_ssize_t>(name.size() - offset), &codePoint);
    if (length < 0) {  // an invalid byte stands for one replacement character
      codePoint = replacementCharacter;
      length = 1;
    }
    offset += static_cast<std::size_t>(length);
    if (previous >= 0 && utf8proc_grapheme_break_stateful(previous, codePoint, &breakState) && !keepCluster()) {
      return result;
    }
    append(cluster, codePoint);
    previous = codePoint;
  }
  if (!cluster.empty()) keepCluster();
  return result;
}

}  // namespace orvel
