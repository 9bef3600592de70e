#include "platform/ServiceRegistration.h"

namespace orvel {

std::string describe(const ServiceErrorDictionary& errors) {
  if (errors.empty()) return "[:]";
  std::string text = "[";
  for (const auto& [key, value] : errors) {
    if (text.size() > 1) text += ", ";
    text += "\"" + key + "\": " + std::to_string(value);
  }
  return text + "]";
}

}  // namespace orvel
