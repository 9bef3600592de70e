#include "platform/HostName.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>

namespace orvel {
namespace {

// A shell word as machine-info writes it: "double" (backslash escapes),
// 'single', or bare up to the end of the line or a comment.
std::string unquote(std::string_view value) {
  std::string result;
  if (value.starts_with('"')) {
    for (std::size_t i = 1; i < value.size() && value[i] != '"'; ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) ++i;
      result += value[i];
    }
  } else if (value.starts_with('\'')) {
    auto end = value.find('\'', 1);
    result = value.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1);
  } else {
    result = value.substr(0, value.find_first_of(" \t#"));
  }
  return result;
}

std::optional<std::string> kernelHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
  return std::string(name);
}

}  // namespace

std::optional<std::string> HostName::prettyHostName(std::string_view text) {
  constexpr std::string_view key = "PRETTY_HOSTNAME=";
  std::optional<std::string> found;
  while (!text.empty()) {
    auto end = text.find('\n');
    auto line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
    if (line.starts_with(key)) found = unquote(line.substr(key.size()));  // the last assignment wins
  }
  if (!found || found->empty()) return std::nullopt;
  return found;
}

std::optional<std::string> HostName::localized(const std::filesystem::path& machineInfo) {
  std::ifstream file(machineInfo);
  if (file) {
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (auto pretty = prettyHostName(text)) return pretty;
  }
  return kernelHostName();
}

}  // namespace orvel
