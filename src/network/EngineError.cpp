#include "network/EngineError.h"

namespace orvel {

std::string describe(const EngineError& error) {
  return std::visit(
      [](const auto& value) -> std::string {
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::error_code>) {
          return value.message();
        } else {
          return std::string(toString(value));
        }
      },
      error);
}

}  // namespace orvel
