#include "platform/TxtRecord.h"

#include <stdexcept>

namespace orvel {

Bytes TxtRecord::data(const std::map<std::string, Bytes>& entries) {
  Bytes wire;
  for (const auto& [key, value] : entries) {
    if (key.empty() || key.find('=') != std::string::npos) throw std::invalid_argument("invalid TXT key");
    const std::size_t length = key.size() + 1 + value.size();
    if (length > maximumStringLength) throw std::invalid_argument("TXT entry too long: " + key);
    wire.push_back(static_cast<std::uint8_t>(length));
    wire.insert(wire.end(), key.begin(), key.end());
    wire.push_back('=');
    wire.insert(wire.end(), value.begin(), value.end());
  }
  return wire;
}

}  // namespace orvel
